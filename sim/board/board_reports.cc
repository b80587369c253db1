// What the board hears from its parts, turned into lines of its record: the camera's console
// and error output, the watchdog daemon, the MCU peer and the GPIO lines.
#include <array>
#include <cstdio>
#include <sstream>
#include <string>
#include <string_view>

#include "sim/board/board.h"

namespace sim::board {

namespace {

constexpr std::array<std::string_view, 4> kLedColours = {"off", "red", "green", "blue"};

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

void Board::on_watchdog(const std::string& line) {
  std::istringstream words(line);
  std::string what;
  words >> what;
  if (what == "keepalive") {
    int64_t type = 0, since = 0;
    words >> type >> since;
    add(EventKind::kWatchdog,
        "watchdog keep-alive (" + std::to_string(since) + " ms after the last)",
        {{"type", type}, {"since_ms", since}});
  } else if (what == "gap") {
    int64_t silent = 0;
    words >> silent;
    add(EventKind::kWatchdogGap, "watchdog: no keep-alive for " + std::to_string(silent) + " ms",
        {{"silent_ms", silent}});
  } else if (what == "message") {
    int64_t type = 0;
    words >> type;
    add(EventKind::kWatchdog, "watchdog message of type " + std::to_string(type), {{"type", type}});
  }
}

void Board::on_mcu(const sim::McuRecord& record) {
  const bool toMcu = record.direction == sim::PeerDirection::kCameraToPeer;
  // A message the MCU kept back never was on the line: say so, not as if it had been sent.
  std::string text = toMcu         ? "camera -> MCU  "
                     : record.sent ? "MCU -> camera  "
                                   : "MCU kept back  ";
  text += record.member.empty() ? "?" : record.member;
  if (!record.detail.empty()) {
    text += "  " + record.detail;
  }
  if (record.retry) {
    text += "  (retry)";
  }
  add(EventKind::kSerial, text,
      {{"line", std::string("ttyS1")},
       {"direction", std::string(toMcu ? "camera->mcu" : "mcu->camera")},
       {"member", record.member},
       {"detail", record.detail},
       {"retry", record.retry},
       {"sent", record.sent}});
  if (toMcu && record.member == "set_status_led_request") {
    const sim::McuStatusLed led = mcu_->status_led();
    const std::string colour =
        led.colour < kLedColours.size() ? std::string(kLedColours[led.colour]) : "?";
    add(EventKind::kStatusLed, "status LED " + colour + (led.blinking ? " blinking" : ""),
        {{"colour", colour},
         {"blinking", led.blinking},
         {"blink_period_ms", int64_t{led.blinkPeriodMs}}});
  }
}

void Board::on_gpio(const GpioChange& change) {
  const GpioLine* line = find_gpio_line(change.line);
  const std::string name = line != nullptr ? std::string(line->name) : "unknown line";
  std::string text = "GPIO " + std::to_string(change.line) + " " + name + " ";
  if (change.what == "value") {
    text += change.from + " -> " + change.to;
  } else if (change.what == "direction") {
    text += "direction " + change.to;
  } else {
    text += change.what + "ed";
  }
  add(EventKind::kGpio, text,
      {{"line", int64_t{change.line}},
       {"name", name},
       {"what", change.what},
       {"from", change.from},
       {"to", change.to},
       {"input", line != nullptr && line->input}});
}

}  // namespace sim::board
