#include "app/records/archive/log_archive.h"

#include <dirent.h>
#include <ftw.h>
#include <sys/stat.h>

#include <cstdio>
#include <cstdlib>
#include <string_view>

#include "app/records/log/app_log.h"
#include "app/storage/sd_card.h"
#include "app/system/core/shell.h"
#include "app/system/core/sys_info.h"

std::atomic<int32_t> logFileNumber{0};
std::atomic<bool> riscvLogCopied{false};

namespace {

// The highest number read from the first digit of the names of `folder` that start with
// `prefix` and end with `suffix` at a fixed length, kept within 1..`largest`.
int highest_numbered_name(const char* folder, std::string_view prefix, std::string_view suffix,
                          std::size_t length, int largest) {
  dirent** entries = nullptr;
  const int count = scandir(folder, &entries, nullptr, alphasort);
  int highest = 0;
  for (int i = count - 1; i >= 0; --i) {
    const std::string_view name = entries[i]->d_name;
    if (name.size() == length && name.starts_with(prefix) && name.ends_with(suffix)) {
      const std::size_t digit = name.find_first_of("0123456789");
      const int value = digit == std::string_view::npos ? 0 : atoi(name.data() + digit);
      if (value >= 1 && value <= largest && value > highest) {
        highest = value;
      }
    }
    free(entries[i]);
  }
  free(entries);
  return highest;
}

thread_local long long g_walk_bytes = 0;

int add_file_size(const char*, const struct stat* info, int kind) {
  if (kind == FTW_F) {
    g_walk_bytes += info->st_size;
  }
  return 0;
}

bool file_exists(const char* path) {
  struct stat info;
  return stat(path, &info) == 0;
}

}  // namespace

int next_log_file_number() {
  // app_NNNN.log: "app_", four characters, ".log".
  return highest_numbered_name(kLogsFolder, "app_", ".log", 12, 9999) + 1;
}

int highest_log_tar_number() {
  // logs.N.tar
  return highest_numbered_name("/sdcard/primary/", "logs.", ".tar", 10, 9);
}

long long logs_folder_size() {
  g_walk_bytes = 0;
  if (ftw(kLogsFolder, add_file_size, 1) != 0) {
    perror("ftw");
    return 2;
  }
  return g_walk_bytes;
}

int pack_logs_if_large() {
  if (logs_folder_size() <= kLogsPackAboveBytes) {
    return 0;
  }
  const bool older = highest_log_tar_number() > 0;
  if (older) {
    run_shell("mv /sdcard/primary/logs.1.tar /sdcard/primary/logs.2.tar");
  }
  run_shell("sync");
  if (run_shell("cd /sdcard/primary/ && tar -cvf logs.1.tar logs > /dev/null 2>&1 && cd") != 0) {
    // The logs are only in the folder: they stay there, and the generation before goes back
    // to its name in place of the broken archive.
    app_log(MOD_LOG, LEVEL_ERR, "Packing the logs failed: the logs folder is kept");
    run_shell("rm -f /sdcard/primary/logs.1.tar");
    if (older) {
      run_shell("mv /sdcard/primary/logs.2.tar /sdcard/primary/logs.1.tar");
    }
    return 0;
  }
  run_shell("rm -rf /sdcard/primary/logs/*");
  run_shell("sync");
  return 1;
}

int archive_logs() {
  // Closing the log flushes its lines to /tmp/app.log before the copy; the next line reopens it.
  app_log_close();
  run_shell("mkdir -p /sdcard/primary/logs");
  if (logFileNumber == 0) {
    const int number = next_log_file_number();
    {
      SemLock lock(&sysInfoLock);
      logFileNumber = number;
    }
    app_log(MOD_LOG, LEVEL_INFO, "Current log file value is %d", number);
  }
  const int number = logFileNumber;
  run_shellf("cp /tmp/app.log /sdcard/primary/logs/app_%04d.log", number);
  run_shell("dmesg -c >> /tmp/dmesg.log");
  run_shellf("cp /tmp/dmesg.log /sdcard/primary/logs/dmesg_%04d.log", number);
  if (file_exists("/tmp/postprocess.log")) {
    run_shellf("cp /tmp/postprocess.log /sdcard/primary/logs/postprocess_%04d.log", number);
  }
  if (sysInfo->boot_reason == 1 && !riscvLogCopied) {
    run_shellf("cp /tmp/riscv.log /sdcard/primary/logs/riscv_%04d.log", number);
    SemLock lock(&sysInfoLock);
    riscvLogCopied = true;
  }
  if (sysInfo->state == STATE_POWERDOWN) {
    pack_logs_if_large();
  }
  app_log(MOD_LOG, LEVEL_INFO, "SD card mounted to ISP and copied logs to SD card");
  return 1;
}

int archive_logs_if_sd_ready() {
  if (check_sd_card() == SD_MOUNTED && is_primary_usable() == 1) {
    return archive_logs();
  }
  app_log(MOD_MAIN, LEVEL_INFO, "SD card mounted to Modem and hence log updation interrupted");
  return 0;
}
