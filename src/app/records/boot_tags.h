// The boot tag environment: values the boot loader and the previous run left for this start.
//
// Writing goes through the board's tool /system/bin/tag_env_info; reading through the kernel
// command line, once at start. A damaged tag partition is re-flashed from its stored image.
#pragma once

#include <atomic>
#include <cstdint>

#include "app/records/boot_tag_parse.h"

inline constexpr char kProcCmdlinePath[] = "/proc/cmdline";
inline constexpr char kTagReflashCommand[] =
    "flash_eraseall /dev/mtd1 && flashcp /system/opt/tag/tag.bin /dev/mtd1";

// The boot tag values of this start, shared by every thread. Written once at start under
// sysInfoLock; read without a lock. The fields that the system record also keeps
// (boot_reason, prev_ir_mode, orve_model, the watchdog-reboot and tag-reflashed flags) are
// stored there as well.
struct BootTags {
  std::atomic<int32_t> boot_reason{0};
  std::atomic<uint8_t> cap_mode{0};
  std::atomic<uint8_t> tag_corrupt{0};
  std::atomic<uint8_t> exp_reuse{0};
  std::atomic<int32_t> prev_ir_mode{0};
  std::atomic<int32_t> last_ev_value{0};
  std::atomic<uint16_t> adc{0};
  std::atomic<int32_t> irIntensity{1};  // IR glow: 1 low glow, 0 no glow
  std::atomic<int8_t> warnActive{0};
  std::atomic<int32_t> warnDuration{15};
  std::atomic<int32_t> warnMaxTimeMultiplicator{5};
  std::atomic<int32_t> warnPattern{0};
  std::atomic<int32_t> warnClosingMechanism{0};
  std::atomic<int32_t> quality_mode{0};
  std::atomic<int32_t> orve_model{0};
  std::atomic<int32_t> time_format{0};
  std::atomic<int32_t> multishot{0};
  std::atomic<int8_t> wdmReboot{0};
  std::atomic<int8_t> tagReflashed{0};
};

// Process-wide; lives for the process.
extern BootTags bootTags;

// Reads /proc/cmdline and stores every value in bootTags and SysInfo (taking sysInfoLock for
// each store). A watchdog reboot record becomes a reboot-log entry; a damaged tag partition
// is re-flashed and the values worth keeping are written back. Called once by start-up,
// before the application threads start. Returns 0, or -1 when the command line could not be
// read (every value then keeps its default).
int read_boot_tags();

// The same, from another file standing for /proc/cmdline.
int read_boot_tags_from(const char* cmdline_path);
