#include "app/records/reboot_log.h"

#include <unistd.h>

#include <array>
#include <cerrno>
#include <cstdio>
#include <cstring>
#include <memory>

#include "app/records/log/app_log.h"
#include "app/system/core/shell.h"

namespace {

constexpr std::array<const char*, 15> kReasonTexts = {
    "load",             // 0
    "memory",           // 1
    "uptime",           // 2
    "daemon missing",   // 3
    "manual",           // 4
    "firmware update",  // 5
    "fota",             // 6
    "sync timeout",     // 7
    "system recovery",  // 8
    "sd update",        // 9
    "unknown",          // 10
    "uptime watchdog",  // 11
    "wdm triggered",    // 12
    "Initial boot",     // 13
    "cap error reboot"  // 14
};

constexpr std::array<const char*, 3> kSourceNames = {"ISP", "Modem", "MCU"};

// Lines of the log are at most 127 characters.
constexpr std::size_t kLineSize = 128;
constexpr std::size_t kStampSize = 24;
constexpr std::size_t kCommandSize = 128;
constexpr char kCardMount[] = "/sdcard/primary";
constexpr char kConfigMount[] = "/config";

struct FileCloser {
  void operator()(FILE* file) const { fclose(file); }
};
using File = std::unique_ptr<FILE, FileCloser>;

const char* choose_place() {
  if (is_path_mounted(kCardMount)) {
    app_log(MOD_LOG, LEVEL_DEBUG, "reboot log: Primary path selected");
    return kRebootLogCardPath;
  }
  if (is_path_mounted(kConfigMount)) {
    app_log(MOD_LOG, LEVEL_DEBUG, "reboot log: config path selected");
    return kRebootLogConfigPath;
  }
  app_log(MOD_LOG, LEVEL_DEBUG, "reboot log: tmp path selected");
  return kRebootLogRamPath;
}

void remove_merged_file(const char* path) {
  char command[kCommandSize];
  snprintf(command, sizeof command, "rm -f %s", path);
  run_shell(command);
}

}  // namespace

const char* reboot_reason_text(int reason) {
  if (reason < 0 || static_cast<std::size_t>(reason) >= kReasonTexts.size()) {
    return kReasonTexts[REBOOT_UNKNOWN];
  }
  return kReasonTexts[static_cast<std::size_t>(reason)];
}

const char* reboot_source_name(int source) {
  if (source < 0 || static_cast<std::size_t>(source) >= kSourceNames.size()) {
    return "unknown";
  }
  return kSourceNames[static_cast<std::size_t>(source)];
}

int modem_reboot_reason(uint32_t code) {
  return code <= REBOOT_UNKNOWN ? static_cast<int>(code) : REBOOT_UNKNOWN;
}

int format_reboot_log_line(int source, int reason, time_t epoch, char* ret_line, std::size_t size) {
  char stamp[kStampSize] = "";
  struct tm local {};
  if (localtime_r(&epoch, &local) != nullptr) {
    strftime(stamp, sizeof stamp, "[%Y/%m/%d %H:%M:%S]", &local);
  }
  int length;
  if (source == REBOOT_SOURCE_ISP && reason == REBOOT_INITIAL_BOOT) {
    // The first boot of a camera stands out in the log.
    length = snprintf(ret_line, size, "******** %s - %s ********\n", stamp,
                      reboot_reason_text(REBOOT_INITIAL_BOOT));
  } else {
    char entry[kLineSize];
    snprintf(entry, sizeof entry, "%s - %s", reboot_source_name(source),
             reboot_reason_text(reason));
    length = snprintf(ret_line, size, "%s - %s\n", stamp, entry);
  }
  if (length < 0) {
    return 0;
  }
  return static_cast<std::size_t>(length) < size ? length : static_cast<int>(size) - 1;
}

int write_reboot_log(int source, int reason, time_t epoch) {
  merge_reboot_logs();
  const char* path = choose_place();

  char line[kLineSize];
  format_reboot_log_line(source, reason, epoch, line, sizeof line);

  File file(fopen(path, "a"));
  if (file == nullptr) {
    app_log(MOD_LOG, LEVEL_ERR, "Could not open \"%s\" to write log, %s", path, strerror(errno));
    return -1;
  }
  fputs(line, file.get());
  app_log(MOD_LOG, LEVEL_DEBUG, "wrtie reboot log: \"%s\" to \"%s\"", line, path);
  file.reset();
  run_shell("sync");
  return 0;
}

void merge_reboot_logs() {
  if (!is_path_mounted(kCardMount)) {
    return;
  }
  // A fallback file whose lines did not all reach the card stays where it is: the next entry
  // tries again, and nothing is lost.
  for (const char* fallback : {kRebootLogConfigPath, kRebootLogRamPath}) {
    if (append_reboot_log(fallback, kRebootLogCardPath) == 0) {
      remove_merged_file(fallback);
    }
  }
  run_shell("sync");
}

int append_reboot_log(const char* source_path, const char* target_path) {
  if (access(source_path, F_OK) != 0) {
    return 0;
  }
  File source(fopen(source_path, "r"));
  if (source == nullptr) {
    app_log(MOD_LOG, LEVEL_ERR, "Could not open source file \"%s\" to append log: %s", source_path,
            strerror(errno));
    return -1;
  }
  File target(fopen(target_path, "a"));
  if (target == nullptr) {
    app_log(MOD_LOG, LEVEL_ERR, "Cannot open destination file \"%s\" to append log: %s",
            target_path, strerror(errno));
    return -1;
  }
  app_log(MOD_LOG, LEVEL_DEBUG, "Appending reboot logs from %s to %s", source_path, target_path);
  char line[kLineSize];
  while (fgets(line, sizeof line, source.get()) != nullptr) {
    if (fputs(line, target.get()) == EOF) {
      app_log(MOD_LOG, LEVEL_ERR, "Failed to write to destination file \"%s\": %s", target_path,
              strerror(errno));
      return -1;
    }
  }
  // Buffered lines reach the file only when it is closed; a failing close is a failed write.
  if (fclose(target.release()) != 0) {
    app_log(MOD_LOG, LEVEL_ERR, "Failed to write to destination file \"%s\": %s", target_path,
            strerror(errno));
    return -1;
  }
  app_log(MOD_LOG, LEVEL_DEBUG, "Logs appended successfully from %s to %s", source_path,
          target_path);
  return 0;
}
