// The reboot log: both line forms, the reason table, and where entries go with and without
// the card.
#include "app/records/reboot_log.h"

#include <sys/mount.h>
#include <sys/stat.h>
#include <unistd.h>

#include <cerrno>
#include <cstdlib>
#include <cstring>
#include <ctime>
#include <filesystem>
#include <fstream>
#include <string>
#include <vector>

#include <gtest/gtest.h>

#include "tests/support/file_lines.h"
#include "tests/support/tag_board.h"

namespace {

using test_support::read_lines;

constexpr char kCardMount[] = "/sdcard/primary";

// The epoch of a UTC time written as the log writes it.
time_t utc(const char* text) {
  tm fields{};
  strptime(text, "%Y/%m/%d %H:%M:%S", &fields);
  return timegm(&fields);
}

std::string line_for(int source, int reason, time_t epoch) {
  char line[128];
  format_reboot_log_line(source, reason, epoch, line, sizeof line);
  return line;
}

using std::filesystem::exists;
using test_support::write_file;

class RebootLog : public ::testing::Test {
 protected:
  void SetUp() override {
    setenv("TZ", "UTC", 1);
    tzset();
    tag_board::clear_app_log();
    for (const char* path : {kRebootLogCardPath, kRebootLogConfigPath, kRebootLogRamPath}) {
      unlink(path);
    }
  }
  void TearDown() override {
    if (card_mounted_) {
      umount2(kCardMount, MNT_DETACH);
    }
  }

  void insert_card() {
    ASSERT_EQ(mount("tmpfs", kCardMount, "tmpfs", 0, "size=1m"), 0) << strerror(errno);
    card_mounted_ = true;
  }

  bool card_mounted_ = false;
};

TEST_F(RebootLog, LinesCarryTheTimeTheSourceAndTheReasonText) {
  const time_t when = utc("2024/03/07 18:05:09");
  EXPECT_EQ(line_for(REBOOT_SOURCE_MODEM, REBOOT_MEMORY, when),
            "[2024/03/07 18:05:09] - Modem - memory\n");
  EXPECT_EQ(line_for(REBOOT_SOURCE_ISP, REBOOT_DAEMON_MISSING, utc("2023/12/31 23:59:59")),
            "[2023/12/31 23:59:59] - ISP - daemon missing\n");
  // The camera processor's own first boot is framed in asterisks; no other source's is.
  EXPECT_EQ(line_for(REBOOT_SOURCE_ISP, REBOOT_INITIAL_BOOT, when),
            "******** [2024/03/07 18:05:09] - Initial boot ********\n");
  EXPECT_EQ(line_for(REBOOT_SOURCE_MODEM, REBOOT_INITIAL_BOOT, when),
            "[2024/03/07 18:05:09] - Modem - Initial boot\n");
  // Reasons outside the table; a Modem that reports "wdm triggered" (12) is recorded as
  // "unknown".
  EXPECT_STREQ(reboot_reason_text(15), "unknown");
  EXPECT_STREQ(reboot_reason_text(-1), "unknown");
  EXPECT_EQ(modem_reboot_reason(0), REBOOT_LOAD);
  for (uint32_t code : {10u, 12u, 0xFFFFFFFFu}) {
    EXPECT_EQ(line_for(REBOOT_SOURCE_MODEM, modem_reboot_reason(code), when),
              "[2024/03/07 18:05:09] - Modem - unknown\n")
        << code;
  }
}

TEST_F(RebootLog, WithoutTheCardEntriesGoToTheConfigurationPartition) {
  ASSERT_EQ(write_reboot_log(REBOOT_SOURCE_ISP, REBOOT_MANUAL, utc("2024/05/01 08:00:00")), 0);
  ASSERT_EQ(write_reboot_log(REBOOT_SOURCE_MCU, REBOOT_FOTA, utc("2024/05/01 09:00:00")), 0);
  EXPECT_EQ(read_lines(kRebootLogConfigPath),
            (std::vector<std::string>{"[2024/05/01 08:00:00] - ISP - manual",
                                      "[2024/05/01 09:00:00] - MCU - fota"}));
  EXPECT_FALSE(exists(kRebootLogCardPath));
  EXPECT_FALSE(exists(kRebootLogRamPath));
}

TEST_F(RebootLog, WithTheCardWaitingEntriesMoveThereFirstThenTheNewOneFollows) {
  write_file(kRebootLogConfigPath,
             "[2024/05/01 08:00:00] - ISP - manual\n[2024/05/01 09:00:00] - MCU - fota\n");
  write_file(kRebootLogRamPath, "[2024/05/01 10:00:00] - Modem - load\n");
  insert_card();
  write_file(kRebootLogCardPath, "[2024/04/30 07:00:00] - ISP - sd update\n");

  ASSERT_EQ(write_reboot_log(REBOOT_SOURCE_ISP, REBOOT_SYNC_TIMEOUT, utc("2024/05/02 06:00:00")),
            0);

  EXPECT_EQ(read_lines(kRebootLogCardPath),
            (std::vector<std::string>{
                "[2024/04/30 07:00:00] - ISP - sd update", "[2024/05/01 08:00:00] - ISP - manual",
                "[2024/05/01 09:00:00] - MCU - fota", "[2024/05/01 10:00:00] - Modem - load",
                "[2024/05/02 06:00:00] - ISP - sync timeout"}));
  EXPECT_FALSE(exists(kRebootLogConfigPath));
  EXPECT_FALSE(exists(kRebootLogRamPath));
}

TEST_F(RebootLog, AFallbackFileThatCannotReachTheCardIsKept) {
  const std::string waiting = "[2024/05/01 08:00:00] - ISP - manual\n";
  write_file(kRebootLogConfigPath, waiting);
  insert_card();
  // A card file that cannot be opened for appending (here a folder in its place).
  ASSERT_EQ(mkdir(kRebootLogCardPath, 0755), 0);

  EXPECT_EQ(write_reboot_log(REBOOT_SOURCE_ISP, REBOOT_MANUAL, utc("2024/05/02 06:00:00")), -1);
  EXPECT_EQ(test_support::read_file(kRebootLogConfigPath), waiting);
  rmdir(kRebootLogCardPath);
}

TEST_F(RebootLog, WithNeitherTheCardNorTheConfigurationPartitionEntriesStayInRam) {
  ASSERT_EQ(umount2("/config", MNT_DETACH), 0) << strerror(errno);
  int written = write_reboot_log(REBOOT_SOURCE_MODEM, REBOOT_SD_UPDATE, utc("2024/06/01 00:00:00"));
  std::vector<std::string> ram = read_lines(kRebootLogRamPath);
  // Give the rest of the suite its configuration partition back.
  ASSERT_EQ(mount("tmpfs", "/config", "tmpfs", 0, "size=1m"), 0) << strerror(errno);

  EXPECT_EQ(written, 0);
  EXPECT_EQ(ram, std::vector<std::string>{"[2024/06/01 00:00:00] - Modem - sd update"});
}

// (Appending an existing file is the move to the card above.)
TEST_F(RebootLog, AppendIgnoresAMissingSource) {
  EXPECT_EQ(append_reboot_log("/tmp/no-such-log.txt", "/tmp/target.txt"), 0);
  EXPECT_FALSE(exists("/tmp/target.txt"));
}

}  // namespace
