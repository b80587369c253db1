// The application log: one line per call, to the console and to /tmp/app.log.
#pragma once

#include <cstddef>
#include <ctime>

enum LogLevel : int {
  LEVEL_FATAL = 0,
  LEVEL_ERR = 1,
  LEVEL_WARN = 2,
  LEVEL_INFO = 3,
  LEVEL_DEBUG = 4,
};

enum LogModule : int {
  MOD_MAIN = 0,
  MOD_POSTPROCESS = 1,
  MOD_PHOTO_AV = 2,
  MOD_VID_ENC = 3,
  MOD_LED_MGR = 4,
  MOD_SD_CONF = 5,
  MOD_CONF_SET = 6,
  MOD_MCU_UART = 7,
  MOD_MODEM_UART = 8,
  MOD_INIT = 9,
  MOD_FIRSTBOOT = 10,
  MOD_CAP_DET = 11,
  MOD_SYNC = 12,
  MOD_CAP_TIMELAPSE = 13,
  MOD_CAP_TEST = 14,
  MOD_INST_REQ = 15,
  MOD_PWR_DWN = 16,
  MOD_LOG = 17,
};

inline constexpr char kAppLogPath[] = "/tmp/app.log";
// The file is deleted and started afresh once this many bytes were written to it.
inline constexpr long kAppLogRotateBytes = 5L * 1024 * 1024;

// Opens /tmp/app.log for appending. Returns true when the file could be opened; on false the
// next app_log() call tries again. Called once, before any other thread exists.
bool app_log_init();

// Logs one line "<time> : <module> : <level> : <message>". Levels 5 and above are dropped.
void app_log(int module, int level, const char* format, ...) __attribute__((format(printf, 3, 4)));

// Closes the file (flushing it); the next app_log() reopens it.
void app_log_close();

// Returns 1 when a line of /proc/mounts contains `text` as a substring, else 0.
int is_path_mounted(const char* text);

// Bytes written to the file since start or since the last rotation (for tests and benchmarks).
long app_log_written_bytes();
