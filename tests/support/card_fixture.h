// A card for the tests of the card code (storage, naming, log archive, power-down) inside the
// camera sandbox: the partitions are size-limited tmpfs mounts named mmcblk0p1 / mmcblk0p2 (so
// "mount | grep mmcblk0p1" finds them and statfs reports real free space), the block devices are
// files in the sandbox's /dev and the card-detect line is the sandbox's GPIO 43. The shell is
// watched: every command is recorded before it runs, and waits are recorded instead of slept.
#pragma once

#include <algorithm>
#include <cstdlib>
#include <filesystem>
#include <fstream>
#include <functional>
#include <string>
#include <string_view>
#include <vector>

#include <gtest/gtest.h>

#include "app/config/camera_config.h"
#include "app/records/log/app_log.h"
#include "app/storage/sd_card.h"
#include "app/storage/storage_shell.h"
#include "app/system/core/shell.h"
#include "app/system/core/sys_info.h"

#include "tests/support/file_lines.h"
#include "tests/support/shared_records.h"

namespace storage_test {

inline std::vector<std::string> commands;
inline std::vector<unsigned> sleeps;
// Called on every recorded wait, so a test can let another thread's work finish meanwhile.
inline std::function<void()> on_sleep;

inline int record_and_run(const char* command) {
  commands.emplace_back(command);
  return run_shell(command);
}

// A card whose partitions keep their files while unmounted, as a real card's do: unmounting
// /sdcard/primary or /sdcard/secondary moves its tmpfs aside, and any mount of its device there
// moves it back. Every other command runs as it is; all are recorded.
inline int run_on_remountable_card(const char* command) {
  commands.emplace_back(command);
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
      return system(("mountpoint -q " + from + " && mkdir -p " + to + " && mount --move " + from +
                     " " + to)
                        .c_str()) == 0
                 ? 0
                 : -1;
    }
  }
  return run_shell(command);
}

inline void record_sleep(unsigned milliseconds) {
  sleeps.push_back(milliseconds);
  if (on_sleep) {
    on_sleep();
  }
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
  set_storage_shell({record_and_run, record_sleep});
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
  void TearDown() override { reset_storage_shell(); }
};

}  // namespace storage_test
