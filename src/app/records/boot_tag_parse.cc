#include "app/records/boot_tag_parse.h"

#include <array>
#include <cstdio>
#include <cstdlib>
#include <memory>

namespace {

struct FileCloser {
  void operator()(FILE* file) const { fclose(file); }
};

// The base-10 number that follows `key`, as strtoll reads it (wide enough for an epoch past
// 2038 on a 32-bit processor); absent keys give nothing.
bool find_number(std::string_view text, std::string_view key, long long& ret_value) {
  std::size_t at = text.find(key);
  if (at == std::string_view::npos) {
    return false;
  }
  // The text is a view into a string with a terminator, but the number may run to the view's
  // end: copy the digits into a bounded buffer first.
  std::string_view rest = text.substr(at + key.size());
  char digits[32];
  std::size_t length = 0;
  while (length < rest.size() && length + 1 < sizeof digits && rest[length] != ';' &&
         rest[length] != ' ' && rest[length] != '\n') {
    digits[length] = rest[length];
    ++length;
  }
  digits[length] = '\0';
  ret_value = strtoll(digits, nullptr, 10);
  return true;
}

int32_t number_or(std::string_view text, std::string_view key, int32_t absent) {
  long long value;
  return find_number(text, key, value) ? static_cast<int32_t>(value) : absent;
}

// The bracket list: after the last blank, "[" is skipped; the character after a "," or "]"
// ends the number collected so far; digits and "-" are collected; everything else is skipped.
std::array<long, 7> scan_bracket_list(std::string_view text) {
  std::array<long, 7> numbers{};
  std::size_t start = text.rfind(' ');
  start = start == std::string_view::npos ? 0 : start + 1;
  std::size_t stored = 0;
  char collected[32];
  std::size_t length = 0;
  for (std::size_t i = start; i < text.size() && stored < numbers.size(); ++i) {
    char c = text[i];
    if (c == '[') {
      continue;
    }
    char before = i > start ? text[i - 1] : '\0';
    if (before == ',' || before == ']') {
      collected[length] = '\0';
      numbers[stored++] = strtol(collected, nullptr, 10);
      length = 0;
      continue;
    }
    if (((c >= '0' && c <= '9') || c == '-') && length + 1 < sizeof collected) {
      collected[length++] = c;
    }
  }
  return numbers;
}

}  // namespace

int read_cmdline_text(const char* path, std::string& ret_text) {
  ret_text.clear();
  std::unique_ptr<FILE, FileCloser> file(fopen(path, "r"));
  if (file == nullptr) {
    return -1;
  }
  constexpr std::size_t kLimit = kCmdlineBufferSize - 1;
  std::string text;
  bool cut = false;
  for (int c; (c = fgetc(file.get())) != EOF;) {
    text.push_back(static_cast<char>(c));
    if (text.size() > 2 * kLimit) {
      // Only the end is kept; drop the head as it goes so a huge file costs bounded memory.
      text.erase(0, text.size() - kLimit - 1);
      cut = true;
    }
  }
  if (text.size() > kLimit) {
    cut = true;
    // One character more than fits is kept, so that the cut can tell whether the first kept
    // character starts a word.
    text.erase(0, text.size() - kLimit - 1);
  }
  if (cut) {
    std::size_t blank = text.find(' ');
    text.erase(0, blank == std::string::npos ? text.size() : blank + 1);
  }
  ret_text = std::move(text);
  return 0;
}

BootTagValues parse_boot_tags(std::string_view text) {
  BootTagValues values;

  long long tagbk, riscv_fw, sensor_setting_fw;
  if (find_number(text, "tagbk=", tagbk) && find_number(text, "riscv_fw=", riscv_fw) &&
      find_number(text, "sensor_setting_fw=", sensor_setting_fw)) {
    values.tagbk = static_cast<int32_t>(tagbk);
    values.riscv_fw = static_cast<int32_t>(riscv_fw);
    values.sensor_setting_fw = static_cast<int32_t>(sensor_setting_fw);
  }

  values.dovu_glow = number_or(text, "dovu_glow=", 1);

  long long wdm_reboot;
  if (find_number(text, "wdm_reboot=", wdm_reboot)) {
    values.wdm_reboot = wdm_reboot == 1;
  }
  values.wdm_reboot_epoch_present = find_number(text, "wdm_rebootEpoch=", values.wdm_reboot_epoch);

  long long active, duration, mtm, pattern, closemech;
  if (find_number(text, "warn_active=", active) && find_number(text, "warn_duration=", duration) &&
      find_number(text, "warn_mtm=", mtm) && find_number(text, "warn_pattern=", pattern) &&
      find_number(text, "warn_closemech=", closemech)) {
    values.warn_active = active != 0 ? 1 : 0;
    values.warn_duration = static_cast<int32_t>(duration);
    values.warn_mtm = static_cast<int32_t>(mtm);
    values.warn_pattern = static_cast<int32_t>(pattern);
    values.warn_closemech = static_cast<int32_t>(closemech);
  }

  values.quality_mode = number_or(text, "quality_mode=", 0);
  values.orve_model = number_or(text, "orve_model=", 0);
  values.time_format = number_or(text, "time_format=", 0);
  values.multishot = number_or(text, "multishot=", 0);

  std::array<long, 7> brackets = scan_bracket_list(text);
  values.boot_reason = static_cast<int32_t>(brackets[0]);
  values.cap_mode = static_cast<uint8_t>(brackets[1]);
  values.tag_corrupt = static_cast<uint8_t>(brackets[2]);
  values.exp_reuse = static_cast<uint8_t>(brackets[3]);
  values.prev_ir_mode = static_cast<int32_t>(brackets[4]);
  values.last_ev_value = static_cast<int32_t>(brackets[5]);
  values.adc = static_cast<uint16_t>(brackets[6]);
  return values;
}

std::string describe_boot_tags(const BootTagValues& values) {
  const std::array<std::pair<const char*, long>, 7> named = {{
      {"boot_reason", values.boot_reason},
      {"cap_mode", values.cap_mode},
      {"tag_corrupt", values.tag_corrupt},
      {"exp_reuse", values.exp_reuse},
      {"prev_ir_mode", values.prev_ir_mode},
      {"last_ev_value", values.last_ev_value},
      {"adc", values.adc},
  }};
  std::string line;
  char part[64];
  for (const auto& [name, value] : named) {
    snprintf(part, sizeof part, "%s : %d , ", name, static_cast<int>(value));
    line += part;
  }
  snprintf(part, sizeof part, "irIntesity : %d , ", values.dovu_glow);
  line += part;
  return line;
}
