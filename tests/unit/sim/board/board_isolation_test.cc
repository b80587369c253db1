// Nothing the application runs reaches the host: not its clock, mounts, devices, flash or
// files outside the run folder. The stand-in camera runs what a misbehaving application could:
// date -s (through the board clock, and the system's own date without it), umount, a mount,
// flash_eraseall, writes to /sdcard and /tmp/app.log.
//
// Deliberately not run inside a test sandbox of its own: "the host" must be the real one.
#include <sys/stat.h>
#include <time.h>

#include <cstdint>
#include <filesystem>
#include <fstream>
#include <string>
#include <vector>

#include <gtest/gtest.h>

#include "tests/unit/sim/board/probe_board.h"

namespace {

using board_test::ProbeBoard;
using board_test::read_file;

// What changes when a path is created, removed, replaced or written: "" when it does not exist.
std::string state_of(const char* path) {
  struct stat info {};
  if (lstat(path, &info) != 0) {
    return "";
  }
  return std::to_string(info.st_ino) + " " + std::to_string(info.st_size) + " " +
         std::to_string(info.st_mtim.tv_sec) + "." + std::to_string(info.st_mtim.tv_nsec);
}

// Mount points of the host's mount namespace.
std::vector<std::string> host_mount_points() {
  std::vector<std::string> points;
  std::ifstream mountinfo("/proc/self/mountinfo");
  for (std::string line; std::getline(mountinfo, line);) {
    std::istringstream fields(line);
    std::string id, parent, device, root, point;
    fields >> id >> parent >> device >> root >> point;
    points.push_back(point);
  }
  return points;
}

int year_of(time_t seconds) {
  tm parts{};
  gmtime_r(&seconds, &parts);
  return parts.tm_year + 1900;
}

TEST(BoardIsolation, TheHostIsUnchangedByWhatTheCameraRuns) {
  // The host's /tmp/app.log is checked by content below: other tests running beside this one
  // write their own lines into it.
  const char* kHostPaths[] = {"/config", "/sdcard", "/dev/mtd1", "/sys/class/gpio"};
  std::vector<std::string> before;
  for (const char* path : kHostPaths) {
    before.push_back(state_of(path));
  }
  const std::vector<std::string> mountsBefore = host_mount_points();
  const time_t hostBefore = time(nullptr);

  ProbeBoard probe;
  ASSERT_TRUE(probe.ok());
  probe.script({
      // The board's date (the system's date under the board clock) sets the board's clock.
      "sh date -s @946684800 > /dev/null",
      // The system's own date, with nothing between it and the kernel, is refused.
      "sh env -u LD_PRELOAD date -s @946684800 > /dev/null 2>&1",
      "sh echo hello > /sdcard/primary/hello.txt",
      "sh echo 'not the host' >> /tmp/app.log",
      "sh echo 1 > /sys/class/gpio/gpio42/value",
      "sh mount -t tmpfs -o size=1m tmpfs /sdcard/secondary && echo inside > "
      "/sdcard/secondary/only-inside.txt",
      "sh flash_eraseall /dev/mtd1",
      // Nothing of the host but its system: no home, no optional software, no project tree.
      std::string("sh test ! -e /root -a ! -e /opt -a ! -e /var/lib -a ! -e ") + __FILE__,
      "done",
      // Last, as nothing can be written to /config afterwards (lazily: the probe still reads
      // its script from there).
      "sh umount -l /config; echo $? > /sdcard/primary/umount-status",
  });
  ASSERT_EQ(probe.wake(), 0);
  ASSERT_TRUE(probe.wait_done());
  // The shell makes the file before it writes the status into it.
  const std::string umountStatus = probe.board().run_dir() + "/sdcard/primary/umount-status";
  ASSERT_TRUE(test_support::eventually([&] { return !read_file(umountStatus).empty(); }));
  probe.board().cut_power("test over");
  ASSERT_TRUE(probe.board().wait_power_off(board_test::kPatience));

  const std::vector<std::string> results = probe.out_lines("sh");
  ASSERT_GE(results.size(), 8u);
  EXPECT_EQ(results[0].rfind("0 date -s", 0), 0u) << results[0];
  EXPECT_NE(results[1].rfind("0 ", 0), 0u)
      << "the kernel refuses the sandbox a clock set: " << results[1];
  for (std::size_t i = 2; i < 8; ++i) {
    EXPECT_EQ(results[i].rfind("0 ", 0), 0u) << results[i];
  }
  EXPECT_EQ(read_file(umountStatus), "0\n");

  // The board's clock moved; the host's did not.
  EXPECT_LT(probe.board().time().epoch_ms(), int64_t{978307200} * 1000) << "board clock: 2000";
  const time_t hostAfter = time(nullptr);
  EXPECT_EQ(year_of(hostAfter), year_of(hostBefore));
  EXPECT_GE(hostAfter, hostBefore);

  // The camera's paths on the host, and its mounts.
  for (std::size_t i = 0; i < before.size(); ++i) {
    EXPECT_EQ(before[i], state_of(kHostPaths[i])) << kHostPaths[i] << " changed";
  }
  EXPECT_EQ(host_mount_points(), mountsBefore);
  EXPECT_EQ(read_file("/tmp/app.log").find("not the host"), std::string::npos);

  // What the camera did, it did to the board.
  const std::string run = probe.board().run_dir();
  EXPECT_EQ(read_file(run + "/sdcard/primary/hello.txt"), "hello\n");
  EXPECT_FALSE(std::filesystem::exists(run + "/sdcard/secondary/only-inside.txt"))
      << "the card's tmpfs lived inside the sandbox only";
  EXPECT_TRUE(std::filesystem::exists(run + "/config/probe.cmd")) << "umount removed nothing";
  const std::string store = read_file(run + "/tagstore.bin");
  ASSERT_FALSE(store.empty());
  EXPECT_EQ(store.find_first_not_of('\xff'), std::string::npos) << "flash_eraseall erased the "
                                                                   "board's tag store";
  EXPECT_EQ(read_file(probe.board().wake_dir(1) + "/app.log"), "not the host\n");
}

}  // namespace
