#include "sim/tagstore/boot_loader.h"

#include <optional>

namespace sim::tagstore {

std::string boot_cmdline(const std::vector<uint8_t>& store_bytes, const WakeUp& wake_up) {
  std::optional<TagEnv> env = decode_tag_env(store_bytes);
  std::string line = wake_up.base_args;
  auto word = [&line](const std::string& text) {
    if (!line.empty()) {
      line += ' ';
    }
    line += text;
  };

  if (env) {
    word("tagbk=" + std::to_string(env->markers.tagbk));
    word("riscv_fw=" + std::to_string(env->markers.riscv_fw));
    word("sensor_setting_fw=" + std::to_string(env->markers.sensor_setting_fw));
    std::vector<std::string> spaces;
    for (const Tag& tag : env->tags) {
      bool seen = false;
      for (const std::string& space : spaces) {
        seen = seen || space == tag.space;
      }
      if (!seen) {
        spaces.push_back(tag.space);
      }
    }
    for (const std::string& space : spaces) {
      std::string group = space + "=";
      for (const Tag& tag : env->tags) {
        if (tag.space == space) {
          group += tag.key + "=" + std::to_string(tag.value) + ";";
        }
      }
      word(group);
    }
  }

  auto dovu = [&env](const char* key) -> long {
    return env ? env->get("dovu", key).value_or(0) : 0;
  };
  const long numbers[7] = {wake_up.boot_reason, dovu("cap_mode"),     env ? 0 : 1,
                           wake_up.exp_reuse,   dovu("prev_ir_mode"), dovu("last_ev_value"),
                           wake_up.adc};
  std::string list;
  for (long number : numbers) {
    list += (list.empty() ? "[" : ",[") + std::to_string(number) + "]";
  }
  word(list);
  return line;
}

std::string boot_cmdline(const std::string& store_path, const WakeUp& wake_up) {
  std::vector<uint8_t> bytes;
  if (read_store(store_path, bytes) != 0) {
    bytes.clear();
  }
  return boot_cmdline(bytes, wake_up);
}

}  // namespace sim::tagstore
