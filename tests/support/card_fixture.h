// A card for the tests of the card code (storage, naming, log archive, power-down) inside the
// camera sandbox: the partitions are size-limited tmpfs mounts named mmcblk0p1 / mmcblk0p2 (so
// "mount | grep mmcblk0p1" finds them and statfs reports real free space), the block devices are
// files in the sandbox's /dev and the card-detect line is the sandbox's GPIO 43. The operating
// system is watched: every command is recorded before it runs, and waits are recorded instead
// of slept.
#pragma once

#include <algorithm>
#include <cstdlib>
#include <filesystem>
#include <fstream>
#include <functional>
#include <mutex>
#include <string>
#include <string_view>
#include <thread>
#include <vector>

#include <gtest/gtest.h>

#include "app/config/camera_config.h"
#include "app/records/log/app_log.h"
#include "app/storage/sd_card.h"
#include "app/system/core/shell.h"
#include "app/system/core/sys_info.h"
#include "app/system/os/os.h"

#include "tests/support/file_lines.h"
#include "tests/support/shared_records.h"

namespace storage_test {

// What the camera ran and waited for, in order. Any of its threads may record, so a test
// reads these once the camera's work is over.
inline std::vector<std::string> commands;
inline std::vector<unsigned> sleeps;
inline std::mutex recording;
// Called on every recorded wait, so a test can let another thread's work finish meanwhile.
inline std::function<void()> on_sleep;

inline void record_command(const char* command) {
  std::lock_guard lock(recording);
  commands.emplace_back(command);
}

inline int record_and_run(const char* command) {
  record_command(command);
  return real_os().system(command);
}

// A card whose partitions keep their files while unmounted, as a real card's do: unmounting
// /sdcard/primary or /sdcard/secondary moves its tmpfs aside, and any mount of its device there
// moves it back. Every other command runs as it is; all are recorded.
inline int run_on_remountable_card(const char* command) {
  record_command(command);
  const std::string_view text = command;
  struct Partition {
    const char* device;
    const char* point;
    const char* aside;
  };
  for (const Partition& p : {Partition{"/dev/mmcblk0p1", "/sdcard/primary", "/run/aside-p1"},
                             Partition{"/dev/mmcblk0p2", "/sdcard/secondary", "/run/aside-p2"}}) {
    const bool unmount = text.starts_with("umount") && text.ends_with(p.point);
    const bool mount = text.starts_with("mount ") &&
                       text.find(p.device) != std::string_view::npos &&
                       text.find(p.point) != std::string_view::npos;
    if (unmount || mount) {
      const std::string from = unmount ? p.point : p.aside;
      const std::string to = unmount ? p.aside : p.point;
      return system(
          ("mountpoint -q " + from + " && mkdir -p " + to + " && mount --move " + from + " " + to)
              .c_str());
    }
  }
  return system(command);
}

// A wait is recorded, not slept; the thread yields, so a poll for another thread's work spins
// no harder than it must.
inline void record_sleep(uint64_t microseconds) {
  {
    std::lock_guard lock(recording);
    sleeps.push_back(static_cast<unsigned>(microseconds / 1000));
  }
  if (on_sleep) {
    on_sleep();
  }
  std::this_thread::yield();
}

// Every command of the camera goes to `run` (which returns what system(3) would); every wait
// is recorded.
inline void watch_commands(int (*run)(const char*)) {
  os_replace({.system = run, .sleep_us = record_sleep});
}

inline void sh(const std::string& command) {
  ASSERT_EQ(system(command.c_str()), 0) << command;
}

// A file of the given text, or of `bytes` filler bytes.
using test_support::write_file;
inline void write_file(const std::string& path, std::size_t bytes) {
  write_file(path, std::string(bytes, 'x'));
}

inline int count_of(const std::string& command) {
  return static_cast<int>(std::count(commands.begin(), commands.end(), command));
}

inline int log_lines_with(const std::string& text) {
  app_log_close();
  int count = 0;
  for (const std::string& line : test_support::read_lines(kAppLogPath)) {
    count += line.find(text) != std::string::npos;
  }
  return count;
}

// Puts every test on an empty slot with nothing mounted, fresh records and a watched shell.
inline void reset_card() {
  init_record_locks();
  test_support::use_fresh_shared_records();
  app_log_close();
  system(
      "umount /sdcard/primary /sdcard/secondary /run/aside-p1 /run/aside-p2 2>/dev/null; "
      "rm -f /dev/mmcblk0* "
      "/tmp/app.log; rm -rf /sdcard/primary/* /sdcard/secondary/*");
  std::ofstream(kCardDetectPath) << "0\n";
  commands.clear();
  sleeps.clear();
  on_sleep = nullptr;
  watch_commands(record_and_run);
}

// A card with `count` partitions; `mounted` of them (from 1) mounted, `read_only` partition
// (0 none) mounted read-only.
inline void insert_card(int count, int mounted, int read_only = 0, int primary_mb = 8) {
  sh("touch /dev/mmcblk0");
  for (int partition = 1; partition <= count; ++partition) {
    sh("touch /dev/mmcblk0p" + std::to_string(partition));
  }
  for (int partition = 1; partition <= mounted; ++partition) {
    sh("mount -t tmpfs -o size=" + std::to_string(partition == 1 ? primary_mb : 4) + "m" +
       (partition == read_only ? ",ro" : "") + " mmcblk0p" + std::to_string(partition) +
       (partition == 1 ? " /sdcard/primary" : " /sdcard/secondary"));
  }
}

class CardTest : public testing::Test {
 protected:
  void SetUp() override { reset_card(); }
  void TearDown() override { os_restore(); }
};

}  // namespace storage_test
