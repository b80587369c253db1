// The auxiliary ADC as a board part: /dev/jz_adc_aux_0 inside the sandbox, showing the
// voltage of the thermistor divider for the temperature the scenario sets.
//   temperature C        (set-up, or "at TIME temperature C" in a wake-up)
//   adc missing|present  the driver is not loaded (no device node), or is again
#pragma once

#include <memory>
#include <span>
#include <string>

#include "sim/board/board_part.h"

namespace sim::adc {

class AdcPart final : public board::BoardPart {
 public:
  std::string_view name() const override { return "adc"; }
  int attach(board::Board& board, std::string* ret_error) override;
  void sandbox_options(const board::WakeContext& wake, board::SandboxOptions* options) override;
  int power_up(const board::WakeContext& wake, std::string* ret_error) override;

  // The air around the camera; the pin follows at once. 0, or -1 when the device file
  // cannot be written.
  int set_temperature(double celsius);
  void set_missing(bool missing);
  double temperature() const { return celsius_; }
  int32_t millivolts() const { return millivolts_; }

 private:
  int write_device();

  board::Board* board_ = nullptr;
  std::string device_;
  double celsius_ = 20.0;
  int32_t millivolts_ = 0;
  bool missing_ = false;
};

std::unique_ptr<board::BoardPart> make_adc_part();
extern const std::span<const board::DirectiveSyntax> kAdcDirectives;

}  // namespace sim::adc
