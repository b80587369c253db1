// The reboot log: one line per reboot of the camera processor, the Modem or the MCU.
//
// The log lives on the card when its primary partition is mounted, else on the configuration
// partition, else in RAM. Lines written to the two fallback places move to the card file the
// next time an entry is written while the card is mounted.
#pragma once

#include <cstddef>
#include <cstdint>
#include <ctime>

inline constexpr char kRebootLogCardPath[] = "/sdcard/primary/reboot_log.txt";
inline constexpr char kRebootLogConfigPath[] = "/config/reboot_log.txt";
inline constexpr char kRebootLogRamPath[] = "/tmp/reboot_log.txt";

// Who rebooted.
enum RebootSource : int {
  REBOOT_SOURCE_ISP = 0,
  REBOOT_SOURCE_MODEM = 1,
  REBOOT_SOURCE_MCU = 2,
};

// Why; the index is also the code the Modem reports.
enum RebootReason : int {
  REBOOT_LOAD = 0,
  REBOOT_MEMORY = 1,
  REBOOT_UPTIME = 2,
  REBOOT_DAEMON_MISSING = 3,
  REBOOT_MANUAL = 4,
  REBOOT_FIRMWARE_UPDATE = 5,
  REBOOT_FOTA = 6,
  REBOOT_SYNC_TIMEOUT = 7,
  REBOOT_SYSTEM_RECOVERY = 8,
  REBOOT_SD_UPDATE = 9,
  REBOOT_UNKNOWN = 10,
  REBOOT_UPTIME_WATCHDOG = 11,
  REBOOT_WDM_TRIGGERED = 12,
  REBOOT_INITIAL_BOOT = 13,
  REBOOT_CAP_ERROR = 14,
};

// Text of a reason index; "unknown" for an index outside the table.
const char* reboot_reason_text(int reason);
// Name of a source ("ISP", "Modem", "MCU"); "unknown" outside the table.
const char* reboot_source_name(int source);
// Reason index for a code reported by the Modem: codes above 10 are recorded as "unknown".
int modem_reboot_reason(uint32_t code);

// Formats the line for one entry (with its line end) into `ret_line`. Returns its length.
int format_reboot_log_line(int source, int reason, time_t epoch, char* ret_line, std::size_t size);

// Moves waiting entries to the card, then appends one entry to the preferred place.
// Returns 0, or -1 when the file could not be opened.
int write_reboot_log(int source, int reason, time_t epoch);

// While the card is mounted: appends the /config and /tmp files to the card file and removes
// each one that was appended whole.
void merge_reboot_logs();

// Appends the lines of `source_path` to `target_path`. A missing source is nothing to do (0);
// -1 when a file cannot be opened or a write fails.
int append_reboot_log(const char* source_path, const char* target_path);
