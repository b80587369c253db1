// Reading the boot tag environment that the boot loader put on the kernel command line.
//
// The command line holds key=value words (some grouped by ";") and, as its last word, seven
// bracketed numbers: [boot_reason],[cap_mode],[tag_corrupt],[exp_reuse],[prev_ir_mode],
// [last_ev_value],[adc].
#pragma once

#include <cstddef>
#include <cstdint>
#include <string>
#include <string_view>

// The command line is read into a buffer of this size (text plus its terminator).
inline constexpr std::size_t kCmdlineBufferSize = 984;

// Everything the command line says, before it is stored anywhere.
struct BootTagValues {
  // The bracket list, with the widths the system keeps them in.
  int32_t boot_reason = 0;
  uint8_t cap_mode = 0;
  uint8_t tag_corrupt = 0;
  uint8_t exp_reuse = 0;
  int32_t prev_ir_mode = 0;
  int32_t last_ev_value = 0;
  uint16_t adc = 0;

  // Corruption markers; all 0 unless all three keys are present.
  int32_t tagbk = 0;
  int32_t riscv_fw = 0;
  int32_t sensor_setting_fw = 0;

  int32_t dovu_glow = 1;  // IR glow intensity

  // Watchdog reboot record left by the watchdog daemon.
  bool wdm_reboot = false;
  bool wdm_reboot_epoch_present = false;
  long long wdm_reboot_epoch = 0;

  // Warning light; the defaults unless all five keys are present.
  int8_t warn_active = 0;
  int32_t warn_duration = 15;
  int32_t warn_mtm = 5;
  int32_t warn_pattern = 0;
  int32_t warn_closemech = 0;

  int32_t quality_mode = 0;
  int32_t orve_model = 0;
  int32_t time_format = 0;
  int32_t multishot = 0;

  // True when the markers or the boot loader say the tag partition is damaged.
  bool partition_corrupt() const {
    return tag_corrupt == 1 || tagbk != 0 || riscv_fw != 0 || sensor_setting_fw != 0;
  }
};

// Reads the command line file into at most kCmdlineBufferSize - 1 characters. A longer line
// keeps its end (the boot loader appends the tags and the bracket list last), starting at the
// first whole word, so no cut word can pose as a key. Returns 0, or -1 when the file cannot be
// opened (ret_text is then empty).
int read_cmdline_text(const char* path, std::string& ret_text);

// Parses a command line text (as read by read_cmdline_text, line end included).
BootTagValues parse_boot_tags(std::string_view text);

// The one-line summary of the bracket list and the glow intensity that start-up logs.
std::string describe_boot_tags(const BootTagValues& values);
