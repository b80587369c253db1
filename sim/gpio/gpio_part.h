// The board's GPIO bank as a board part: the /sys/class/gpio tree of each power-up, every change
// of level or direction recorded (kind "gpio"), and the inputs the scenario drives:
//   gpio LINE LEVEL          (set-up, or "at TIME gpio LINE LEVEL" in a wake-up)
// LINE is 43 or card-detect, 63 or format-button; LEVEL 0 or 1.
#pragma once

#include <memory>

#include "sim/board/board_part.h"
#include "sim/gpio/gpio_bank.h"

namespace sim::gpio {

class GpioPart final : public board::BoardPart {
 public:
  GpioPart();
  std::string_view name() const override { return "gpio"; }
  int attach(board::Board& board, std::string* ret_error) override;
  int power_up(const board::WakeContext& wake, std::string* ret_error) override;
  void powered_off(const board::WakeContext& wake) override;

  GpioBank& bank() { return bank_; }
  // Drives an input line (recorded also while the camera is off). Returns 0 or -1.
  int set_input(int line, int level);

 private:
  void on_change(const GpioChange& change);

  board::Board* board_ = nullptr;
  GpioBank bank_;
};

// For the parts that drive or read the board's inputs (the card slot's detect line, the
// panel's format button): the board itself knows no GPIO line.
// Drives an input through the board's GPIO part (recorded also while the camera is off).
// Returns 0, or -1 when the board has no GPIO part or the line is not an input it drives.
int drive_gpio_input(board::Board& board, int line, int level);
// The level the board drives on an input line; -1 when the board has no GPIO part or the line
// is not an input it drives.
int gpio_input(board::Board& board, int line);

std::unique_ptr<board::BoardPart> make_gpio_part();
extern const std::span<const board::DirectiveSyntax> kGpioDirectives;

}  // namespace sim::gpio
