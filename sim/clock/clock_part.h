// The board clock as a board part: the clock page and the shim preloaded into every process of
// the sandbox, so that the camera's date, time and waits are the board's. Directive:
//   at TIME date DATE TIME     set the camera's date and time in the middle of a wake-up
// (the date at the start and the time compression are the board's set-up: date, speed).
#pragma once

#include <memory>

#include "sim/board/board_part.h"

namespace sim::board {

class ClockPart final : public BoardPart {
 public:
  std::string_view name() const override { return "clock"; }
  int attach(Board& board, std::string* ret_error) override;
  void sandbox_options(const WakeContext& wake, SandboxOptions* options) override;

 private:
  Board* board_ = nullptr;
};

std::unique_ptr<BoardPart> make_clock_part();
extern const std::span<const DirectiveSyntax> kClockDirectives;

}  // namespace sim::board
