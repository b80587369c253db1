// The watchdog and capture-error records: one decimal epoch in a file in /config, or a boot tag.
#include <sys/stat.h>
#include <unistd.h>

#include <cerrno>
#include <cstdio>
#include <cstring>
#include <ctime>

#include "app/records/log/app_log.h"
#include "app/records/reboot_log.h"
#include "app/system/boot_checks.h"
#include "app/system/core/shell.h"
#include "app/system/core/sys_info.h"

namespace {

struct BootRecord {
  int module;
  Flag SysInfo::*flag;
  const char* path;
  const char* tag_reset_command;
  int reboot_reason;
  const char* from_tag;
  const char* from_config;
  const char* unreadable;
  const char* unopenable;
};

constexpr BootRecord kWdmRecord = {
    MOD_MCU_UART,
    &SysInfo::wdmReboot,
    kWdmRecordPath,
    "tag_env_info --set dovu wdm_reboot 0",
    REBOOT_WDM_TRIGGERED,
    "WDM was triggered last boot (from tag).",
    "WDM was triggered last boot (from config).",
    "Failed to read epoch from WDM file, using current time.",
    "Could not open WDM file (%s): %s",
};

constexpr BootRecord kCapErrorRecord = {
    MOD_INIT,
    &SysInfo::capErrorReboot,
    kCapErrorRecordPath,
    "tag_env_info --set dovu cap_error_reboot 0",
    REBOOT_CAP_ERROR,
    "Cap error was triggered last boot (from tag).",
    "Cap error was triggered last boot (from config).",
    "Failed to read epoch from CAP ERROR file, using current time.",
    "Could not open CAP ERROR file (%s): %s",
};

// The current time, through local broken-down time back to seconds.
long current_local_seconds() {
  time_t now = time(nullptr);
  struct tm local {};
  if (now == static_cast<time_t>(-1) || localtime_r(&now, &local) == nullptr) {
    app_log(MOD_MCU_UART, LEVEL_ERR, "Could not fetch correct time for reboot log.");
    return static_cast<long>(now);
  }
  return static_cast<long>(mktime(&local));
}

int read_boot_record(const BootRecord& record) {
  if (sysInfo->*record.flag) {
    app_log(record.module, LEVEL_INFO, "%s", record.from_tag);
    run_shell(record.tag_reset_command);
    unlink(record.path);
    return 0;
  }
  struct stat info {};
  if (stat(record.path, &info) != 0) {
    return 0;
  }
  app_log(record.module, LEVEL_INFO, "%s", record.from_config);
  {
    SemLock lock(&sysInfoLock);
    sysInfo->*record.flag = 1;
  }
  long epoch = current_local_seconds();
  if (FILE* file = fopen(record.path, "r"); file == nullptr) {
#pragma GCC diagnostic push
#pragma GCC diagnostic ignored "-Wformat-nonliteral"
    app_log(record.module, LEVEL_ERR, record.unopenable, record.path, strerror(errno));
#pragma GCC diagnostic pop
  } else {
    unsigned long stored = 0;
    if (fscanf(file, "%lu", &stored) == 1) {
      epoch = static_cast<long>(stored);
    } else {
      app_log(record.module, LEVEL_ERR, "%s", record.unreadable);
    }
    fclose(file);
  }
  write_reboot_log(REBOOT_SOURCE_ISP, record.reboot_reason, epoch);
  unlink(record.path);
  return 0;
}

}  // namespace

int read_wdm_record() {
  return read_boot_record(kWdmRecord);
}
int read_cap_error_record() {
  return read_boot_record(kCapErrorRecord);
}
