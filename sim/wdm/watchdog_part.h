// The watchdog daemon model as a board part: wdm_daemon runs in the sandbox beside camera_app,
// and what it reports is recorded (kind "watchdog": keep-alives, other messages, and gaps with
// no keep-alive for longer than the limit). Directive:
//   watchdog-limit TIME      the daemon reports a gap after this long (default 10s)
#pragma once

#include <memory>
#include <string>

#include "sim/board/board_part.h"

namespace sim::wdm {

class WatchdogPart final : public board::BoardPart {
 public:
  std::string_view name() const override { return "watchdog"; }
  int attach(board::Board& board, std::string* ret_error) override;

  // The daemon's command line, started in the sandbox before camera_app.
  std::string command() const;
  // One line of the daemon's report.
  void on_line(const std::string& line);
  void set_limit_ms(int64_t limitMs) { limitMs_ = limitMs; }

 private:
  board::Board* board_ = nullptr;
  int64_t limitMs_ = 10000;
};

std::unique_ptr<board::BoardPart> make_watchdog_part();
extern const std::span<const board::DirectiveSyntax> kWatchdogDirectives;

}  // namespace sim::wdm
