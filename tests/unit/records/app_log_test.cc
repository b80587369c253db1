// The application log, run in the sandbox where /tmp/app.log is the test's own.
#include "app/records/log/app_log.h"

#include <sys/mount.h>
#include <sys/stat.h>
#include <unistd.h>

#include <atomic>
#include <cstdlib>
#include <string>
#include <thread>
#include <vector>

#include <gtest/gtest.h>

#include "app/system/os/os.h"

#include "tests/support/file_lines.h"
#include "tests/support/posix_pattern.h"

namespace {

using test_support::read_file;
using test_support::read_lines;

time_t known_time() {
  return 1709834709;
}  // 2024-03-07 18:05:09 UTC

class AppLogTest : public testing::Test {
 protected:
  void SetUp() override {
    setenv("TZ", "UTC", 1);
    tzset();
    os_replace({.now = known_time});
    app_log_close();
    unlink(kAppLogPath);
  }
  void TearDown() override { os_restore(); }

  // Closing flushes the ordinary stdio buffer, so the file holds every line.
  static std::vector<std::string> file_lines() {
    app_log_close();
    return read_lines(kAppLogPath);
  }
};

TEST_F(AppLogTest, LineCarriesTimeModuleLevelAndExpandedMessage) {
  ASSERT_TRUE(app_log_init());
  testing::internal::CaptureStdout();
  app_log(MOD_MCU_UART, LEVEL_INFO, "camera state %d of %s", 4, "MCU");
  app_log(MOD_LOG, LEVEL_ERR, "failed");
  app_log(MOD_PWR_DWN, LEVEL_DEBUG, "bytes");
  app_log(MOD_MAIN, LEVEL_FATAL, "end\n");
  std::string console = testing::internal::GetCapturedStdout();

  const std::vector<std::string> expected = {
      "2024-03-07 18:05:09 : MCU_UART : INFO : camera state 4 of MCU",
      "2024-03-07 18:05:09 : LOG : ERR : failed",
      "2024-03-07 18:05:09 : PWR_DWN : DEBUG : bytes",
      // A message ending in a newline is followed by an empty line.
      "2024-03-07 18:05:09 : MAIN : FATAL : end",
      "",
  };
  EXPECT_EQ(file_lines(), expected);
  EXPECT_EQ(console, read_file(kAppLogPath));
}

TEST_F(AppLogTest, LevelsFiveAndAboveReachNeitherConsoleNorFile) {
  testing::internal::CaptureStdout();
  app_log(MOD_MAIN, 5, "dropped %d", 5);
  app_log(MOD_MAIN, 6, "dropped %d", 6);
  EXPECT_EQ(testing::internal::GetCapturedStdout(), "");
  struct stat info {};
  EXPECT_NE(stat(kAppLogPath, &info), 0) << "the file must not even be created";
}

TEST_F(AppLogTest, OverlongFormatIsCutBetweenConversionsAndEndsTheLine) {
  std::string format(1000, 'x');
  format += "%s%d";
  {
    test_support::SilencedStdout quiet;
    app_log(MOD_MAIN, LEVEL_INFO, format.c_str(), "never", 1);
  }
  std::vector<std::string> lines = file_lines();
  ASSERT_EQ(lines.size(), 1u);
  EXPECT_LT(lines[0].size(), 1024u);
  EXPECT_EQ(lines[0].find("never"), std::string::npos);
  EXPECT_EQ(lines[0].find('%'), std::string::npos) << "no half conversion may be left";
}

TEST_F(AppLogTest, RotationStartsANewFileWithTheTriggeringLine) {
  test_support::SilencedStdout quiet;
  const std::string filler(1000, 'f');
  long before = app_log_written_bytes();
  while (app_log_written_bytes() < kAppLogRotateBytes) {
    app_log(MOD_MAIN, LEVEL_INFO, "%s", filler.c_str());
  }
  // The counter started where earlier tests left it, so the file holds at most 5 MiB.
  app_log_close();
  EXPECT_LE(static_cast<long>(read_file(kAppLogPath).size()), kAppLogRotateBytes - before + 1100);

  app_log(MOD_MAIN, LEVEL_WARN, "after rotation %d", 1);
  std::string content = (app_log_close(), read_file(kAppLogPath));
  EXPECT_EQ(content, "2024-03-07 18:05:09 : MAIN : WARN : after rotation 1\n");
  EXPECT_EQ(app_log_written_bytes(), static_cast<long>(content.size()));
}

// Writers that start together on a closed log race for opening the file and for the byte
// count: without the lock a second file handle appears, and its lines never reach the file.
// Each round reopens the closed log, which must append to what the earlier rounds wrote.
TEST_F(AppLogTest, ConcurrentWritersLoseNoLineAndNeverInterleave) {
  constexpr int kThreads = 4;
  constexpr int kRounds = 200;
  constexpr int kLinesEach = 4;
  const long counted_before = app_log_written_bytes();
  {
    test_support::SilencedStdout quiet;
    for (int round = 0; round < kRounds; ++round) {
      app_log_close();
      std::atomic<int> ready{0};
      std::vector<std::thread> writers;
      for (int t = 0; t < kThreads; ++t) {
        writers.emplace_back([t, &ready] {
          for (++ready; ready < kThreads;) {
          }
          for (int i = 0; i < kLinesEach; ++i) {
            app_log(MOD_SD_CONF, LEVEL_INFO, "writer %d line %d %s", t, i,
                    "................................................................");
          }
        });
      }
      for (std::thread& writer : writers) {
        writer.join();
      }
    }
  }
  const test_support::Pattern whole_line(
      R"(2024-03-07 18:05:09 : SD_CONF : INFO : writer [0-9] line [0-9]+ \.{64})");
  ASSERT_TRUE(whole_line.ok());
  std::vector<std::string> lines = file_lines();
  ASSERT_EQ(lines.size(), static_cast<size_t>(kRounds * kThreads * kLinesEach));
  for (const std::string& line : lines) {
    ASSERT_TRUE(whole_line.matches_whole(line)) << line;
  }
  EXPECT_EQ(app_log_written_bytes() - counted_before,
            static_cast<long>(read_file(kAppLogPath).size()));
}

TEST(IsPathMounted, MatchesAnyMountLineContainingTheText) {
  // The sandbox lets the test mount; a mount point that merely starts with the text matches.
  ASSERT_EQ(mkdir("/sdcard/primary_extra", 0755), 0);
  ASSERT_EQ(mount("none", "/sdcard/primary_extra", "tmpfs", 0, "size=64k"), 0);
  EXPECT_EQ(is_path_mounted("/sdcard/primary"), 1);
  EXPECT_EQ(is_path_mounted("/sdcard/secondary"), 0);
  ASSERT_EQ(umount("/sdcard/primary_extra"), 0);
  EXPECT_EQ(is_path_mounted("/sdcard/primary"), 0);
}

}  // namespace
