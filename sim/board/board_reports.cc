// What the board hears from the camera, turned into lines of its record: its console (state
// changes, errors) and its error output.
#include <array>
#include <cstdio>
#include <sstream>
#include <string>
#include <string_view>

#include "sim/board/board.h"

namespace sim::board {

namespace {

constexpr std::string_view kStateChange = "State changes from ";

// The part of a log line after its level ("... : MAIN : ERR : text" -> level, text).
bool split_log_line(const std::string& line, std::string* ret_module, std::string* ret_level,
                    std::string* ret_text) {
  // "<date> <time> : <module> : <level> : <message>"
  const std::size_t first = line.find(" : ");
  if (first == std::string::npos) {
    return false;
  }
  const std::size_t second = line.find(" : ", first + 3);
  if (second == std::string::npos) {
    return false;
  }
  const std::size_t third = line.find(" : ", second + 3);
  if (third == std::string::npos) {
    return false;
  }
  *ret_module = line.substr(first + 3, second - first - 3);
  *ret_level = line.substr(second + 3, third - second - 3);
  *ret_text = line.substr(third + 3);
  return true;
}

}  // namespace

void Board::on_console(const std::string& line) {
  {
    std::lock_guard lock(mutex_);
    if (console_ != nullptr) {
      fprintf(console_, "%s\n", line.c_str());
      fflush(console_);
    }
  }
  std::string module, level, text;
  if (!split_log_line(line, &module, &level, &text)) {
    return;
  }
  if (text.rfind(kStateChange, 0) == 0) {
    const std::string rest = text.substr(kStateChange.size());
    const std::size_t to = rest.find(" to ");
    const std::string from = rest.substr(0, to);
    const std::string next = to == std::string::npos ? "" : rest.substr(to + 4);
    add(EventKind::kState, "state " + from + " -> " + next,
        {{"from", from}, {"to", next}, {"module", module}});
  } else if (level == "ERR" || level == "FATAL") {
    add(EventKind::kLog, module + " " + level + ": " + text,
        {{"module", module}, {"level", level}, {"message", text}});
  }
}

void Board::on_error_line(const std::string& line) {
  {
    std::lock_guard lock(mutex_);
    if (errors_ != nullptr) {
      fprintf(errors_, "%s\n", line.c_str());
      fflush(errors_);
    }
  }
  if (!line.empty()) {
    add(EventKind::kLog, "stderr: " + line, {{"stream", std::string("stderr")}, {"message", line}});
  }
}

}  // namespace sim::board
