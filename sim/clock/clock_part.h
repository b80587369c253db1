// The board clock as a board part: the clock page and the shim preloaded into every process of
// the sandbox, so that the camera's date, time and waits are the board's. Directive:
//   at TIME date DATE TIME     set the camera's date and time in the middle of a wake-up
// (the date at the start and the time compression are the board's set-up: date, speed).
#pragma once

#include <memory>

#include "sim/board/board_part.h"

namespace sim::clock {

class ClockPart final : public board::BoardPart {
 public:
  std::string_view name() const override { return "clock"; }
  int attach(board::Board& board, std::string* ret_error) override;
  void sandbox_options(const board::WakeContext& wake, board::SandboxOptions* options) override;

 private:
  board::Board* board_ = nullptr;
};

std::unique_ptr<board::BoardPart> make_clock_part();
extern const std::span<const board::DirectiveSyntax> kClockDirectives;

}  // namespace sim::clock
