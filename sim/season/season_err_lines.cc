#include "sim/season/season_err_lines.h"

#include <algorithm>
#include <set>

namespace sim::season {

std::string_view err_text(std::string_view line) {
  // "2024-06-01 06:30:00 : MAIN : ERR : text"
  constexpr std::string_view kErr = " : ERR : ";
  const std::size_t at = line.find(kErr);
  if (at == std::string_view::npos) {
    return {};
  }
  std::string_view text = line.substr(at + kErr.size());
  while (!text.empty() && (text.back() == '\r' || text.back() == ' ')) {
    text.remove_suffix(1);
  }
  return text;
}

void add_log_err_lines(const std::string& name, std::string_view log,
                       std::map<std::string, std::vector<std::string>>& errLines) {
  std::vector<std::string> errors;
  while (!log.empty()) {
    const std::size_t end = std::min(log.find('\n'), log.size());
    if (const std::string_view text = err_text(log.substr(0, end)); !text.empty()) {
      errors.emplace_back(text);
    }
    log.remove_prefix(std::min(end + 1, log.size()));
  }
  std::vector<std::string>& kept = errLines[name];
  if (errors.size() >= kept.size()) {
    kept = std::move(errors);
  }
}

void add_tar_err_lines(std::string_view tar,
                       std::map<std::string, std::vector<std::string>>& errLines) {
  // A tar archive is a run of 512-byte headers, each followed by its member's bytes padded to
  // 512; the name is the header's first 100 bytes, the size 12 octal digits at 124.
  constexpr std::size_t kBlock = 512;
  constexpr std::string_view kLogsFolder = "logs/";
  std::size_t at = 0;
  while (at + kBlock <= tar.size() && tar[at] != '\0') {
    const std::string_view header = tar.substr(at, kBlock);
    const std::string_view name = header.substr(0, std::min(header.find('\0'), std::size_t{100}));
    std::size_t size = 0;
    for (const char digit : header.substr(124, 12)) {
      if (digit >= '0' && digit <= '7') {
        size = size * 8 + static_cast<std::size_t>(digit - '0');
      }
    }
    const char type = header[156];
    if ((type == '0' || type == '\0') && name.starts_with(kLogsFolder) && name.ends_with(".log") &&
        name.find('/', kLogsFolder.size()) == std::string_view::npos) {
      add_log_err_lines(std::string(name.substr(kLogsFolder.size())),
                        tar.substr(at + kBlock, std::min(size, tar.size() - at - kBlock)),
                        errLines);
    }
    at += kBlock + (size + kBlock - 1) / kBlock * kBlock;
  }
}

std::vector<std::string> new_err_lines(const CardView& before, const CardView& after) {
  std::vector<std::string> lines;
  for (const auto& [file, errors] : after.errLines) {
    const auto old = before.errLines.find(file);
    std::size_t seen = old == before.errLines.end() ? 0 : old->second.size();
    if (seen > errors.size()) {
      seen = 0;
    }
    lines.insert(lines.end(), errors.begin() + static_cast<std::ptrdiff_t>(seen), errors.end());
  }
  return lines;
}

namespace {

// A repair line of a partition the board found not clean before the wake-up.
bool repair_of_damage(std::string_view line, std::string_view fsckBefore) {
  if (!line.starts_with(kRepairStart) || !line.ends_with(kRepairEnd) ||
      line.size() < kRepairStart.size() + kRepairEnd.size()) {
    return false;
  }
  const std::string_view partition =
      line.substr(kRepairStart.size(), line.size() - kRepairStart.size() - kRepairEnd.size());
  return fsckBefore.find(std::string(partition) + ": NOT CLEAN,") != std::string_view::npos;
}

}  // namespace

std::vector<Finding> check_err_lines(const std::vector<std::string>& lines,
                                     const std::vector<Fault>& faults,
                                     const std::vector<Fault>& faultsBefore, bool firstStart,
                                     int wake, std::string_view fsckBefore) {
  std::vector<Finding> findings;
  std::set<std::string_view> reported;
  for (const std::string& line : lines) {
    const bool normal =
        std::any_of(kNormalErrLines.begin(), kNormalErrLines.end(), [&](const NormalErrLine& n) {
          return n.text == line && (firstStart || !n.firstStartOnly);
        });
    const bool explained =
        std::any_of(kFaultErrLines.begin(), kFaultErrLines.end(), [&](const FaultErrLine& f) {
          const std::vector<Fault>& in = f.nextWakeUp ? faultsBefore : faults;
          return line.starts_with(f.start) && line.ends_with(f.end) &&
                 std::find(in.begin(), in.end(), f.fault) != in.end();
        });
    if (!normal && !explained && !repair_of_damage(line, fsckBefore) &&
        reported.insert(line).second) {
      findings.push_back({5, "wake-up " + std::to_string(wake) +
                                 ": an ERR line neither of normal work nor of a fault injected "
                                 "in it: \"" +
                                 line + "\""});
    }
  }
  return findings;
}

}  // namespace sim::season
