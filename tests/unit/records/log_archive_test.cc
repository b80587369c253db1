// Log archival to the card: the run's file number and the tar generations.
#include "app/records/archive/log_archive.h"

#include "tests/support/card_fixture.h"

namespace storage_test {
namespace {

namespace fs = std::filesystem;

class LogArchiveTest : public CardTest {
 protected:
  void SetUp() override {
    CardTest::SetUp();
    logFileNumber = 0;
    fs::create_directories(kLogsFolder);
  }
  static void sparse_file(const std::string& path, long long bytes) {
    sh("truncate -s " + std::to_string(bytes) + " " + path);
  }
};

TEST_F(LogArchiveTest, RunTakesTheNextNumberAndKeepsItForTheRun) {
  for (int number = 1; number <= 7; ++number) {
    write_file(std::string(kLogsFolder) + "/app_000" + std::to_string(number) + ".log", 1);
  }
  write_file(std::string(kLogsFolder) + "/app_0050.log.old", 1);  // not one of the camera's
  EXPECT_EQ(archive_logs(), 1);
  EXPECT_EQ(logFileNumber, 8);
  EXPECT_TRUE(fs::exists(std::string(kLogsFolder) + "/app_0008.log"));
  EXPECT_TRUE(fs::exists(std::string(kLogsFolder) + "/dmesg_0008.log"));
  archive_logs();
  EXPECT_FALSE(fs::exists(std::string(kLogsFolder) + "/app_0009.log"));
  EXPECT_GT(fs::file_size(std::string(kLogsFolder) + "/app_0008.log"), 0u);
  fs::remove_all(kLogsFolder);
  EXPECT_EQ(next_log_file_number(), 1);
  EXPECT_EQ(logs_folder_size(), 2);  // the walk fails on a missing folder
}

TEST_F(LogArchiveTest, FolderIsPackedOnlyAbove20000000Bytes) {
  const std::string big = std::string(kLogsFolder) + "/app_0001.log";
  sparse_file(big, kLogsPackAboveBytes);
  write_file("/sdcard/primary/logs.1.tar", 3);
  EXPECT_EQ(pack_logs_if_large(), 0);
  EXPECT_TRUE(fs::exists(big));
  EXPECT_FALSE(fs::exists("/sdcard/primary/logs.2.tar"));

  sparse_file(big, kLogsPackAboveBytes + 1);
  EXPECT_EQ(pack_logs_if_large(), 1);
  EXPECT_EQ(fs::file_size("/sdcard/primary/logs.2.tar"), 3u);  // the older generation moved
  EXPECT_GT(fs::file_size("/sdcard/primary/logs.1.tar"), 20000000u);
  EXPECT_TRUE(fs::is_empty(kLogsFolder));
  sh("tar -tf /sdcard/primary/logs.1.tar | grep -qx logs/app_0001.log");
  EXPECT_EQ(highest_log_tar_number(), 2);

  // On a card without room for the archive the logs stay, and so does the newest archive.
  insert_card(1, 1);
  fs::create_directories(kLogsFolder);
  sparse_file(big, kLogsPackAboveBytes + 1);
  write_file("/sdcard/primary/logs.1.tar", 3);
  EXPECT_EQ(pack_logs_if_large(), 0);
  EXPECT_TRUE(fs::exists(big));
  EXPECT_EQ(fs::file_size("/sdcard/primary/logs.1.tar"), 3u);
}

TEST_F(LogArchiveTest, NothingIsCopiedWhileTheCardIsWithTheModem) {
  insert_card(2, 2);
  sysInfo->primaryLent = 1;
  EXPECT_EQ(archive_logs_if_sd_ready(), 0);
  EXPECT_FALSE(fs::exists(kLogsFolder));
  EXPECT_EQ(log_lines_with("SD card mounted to Modem and hence log updation interrupted"), 1);
}

}  // namespace
}  // namespace storage_test
