// The boot loader model: what the camera's boot loader puts on the kernel command line for
// one wake-up, from the tag store and the reason the MCU woke the application processor.
//
// The command line is the base arguments, the three partition markers, one word per tag
// namespace ("dovu=cap_mode=0;multishot=1;...;") and, last, the bracket list
// [boot_reason],[cap_mode],[tag_corrupt],[exp_reuse],[prev_ir_mode],[last_ev_value],[adc].
// A damaged or erased store gives tag_corrupt 1, no markers and no tags.
#pragma once

#include <cstdint>
#include <string>
#include <vector>

#include "sim/tagstore/tag_store.h"

namespace sim::tagstore {

inline constexpr char kDefaultBaseArgs[] = "console=ttyS1,115200n8 mem=64M";

struct WakeUp {
  int boot_reason = 0;  // 1 PIR; the other wake-up reasons of the MCU
  int exp_reuse = 0;    // the exposure of the previous capture may be reused
  int adc = 0;          // the boot loader's ADC reading
  std::string base_args = kDefaultBaseArgs;
};

// The command line text, without the line end /proc/cmdline adds.
std::string boot_cmdline(const std::vector<uint8_t>& store_bytes, const WakeUp& wake_up);
// The same from a store file; a store that cannot be read counts as erased.
std::string boot_cmdline(const std::string& store_path, const WakeUp& wake_up);

}  // namespace sim::tagstore
