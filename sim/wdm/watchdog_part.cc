#include "sim/wdm/watchdog_part.h"

#include <array>
#include <sstream>

#include "sim/board/board.h"
#include "sim/board/directive_words.h"

namespace sim::wdm {

namespace {

int parse_limit(const std::vector<std::string>& args, board::BoardAction* ret_action,
                std::string* ret_error) {
  std::chrono::milliseconds limit{0};
  if (args.size() != 1 || !board::parse_duration(args[0], &limit) || limit.count() <= 0) {
    *ret_error = "expected one time, such as 10s";
    return -1;
  }
  *ret_action = [limit](board::Board& board, std::string*) {
    board.part<WatchdogPart>()->set_limit_ms(limit.count());
    return 0;
  };
  return 0;
}

constexpr std::array kDirectives = {
    board::DirectiveSyntax{"watchdog-limit", "watchdog-limit TIME",
                           "the watchdog daemon reports a gap after this long without a keep-alive",
                           true, false, parse_limit},
};

}  // namespace

const std::span<const board::DirectiveSyntax> kWatchdogDirectives = kDirectives;

std::unique_ptr<board::BoardPart> make_watchdog_part() {
  return std::make_unique<WatchdogPart>();
}

int WatchdogPart::attach(board::Board& board, std::string* ret_error) {
  (void)ret_error;
  board_ = &board;
  limitMs_ = board.setup().watchdogLimitMs;
  // The daemon's limit may change after the set-up ("watchdog-limit"): its command line is
  // made at each power-up.
  board.set_watchdog_daemon([this] { return command(); },
                            [this](const std::string& line) { on_line(line); });
  return 0;
}

std::string WatchdogPart::command() const {
  return "wdm_daemon --limit-ms " + std::to_string(limitMs_);
}

void WatchdogPart::on_line(const std::string& line) {
  std::istringstream words(line);
  std::string what;
  words >> what;
  if (what == "keepalive") {
    int64_t type = 0, since = 0;
    words >> type >> since;
    board_->part_event("watchdog", "keep-alive (" + std::to_string(since) + " ms after the last)",
                       {{"what", std::string("keepalive")}, {"type", type}, {"since_ms", since}});
  } else if (what == "gap") {
    int64_t silent = 0;
    words >> silent;
    board_->part_event("watchdog", "no keep-alive for " + std::to_string(silent) + " ms",
                       {{"what", std::string("gap")}, {"silent_ms", silent}});
  } else if (what == "message") {
    int64_t type = 0;
    words >> type;
    board_->part_event("watchdog", "message of type " + std::to_string(type),
                       {{"what", std::string("message")}, {"type", type}});
  }
}

}  // namespace sim::wdm
