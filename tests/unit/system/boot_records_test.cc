// The watchdog and capture-error records of the previous run.
#include <sys/stat.h>
#include <unistd.h>

#include <cstdlib>
#include <ctime>
#include <filesystem>
#include <fstream>
#include <string>

#include <gtest/gtest.h>

#include "app/records/log/app_log.h"
#include "app/records/reboot_log.h"
#include "app/system/boot_checks.h"
#include "app/system/core/sys_info.h"

#include "tests/support/file_lines.h"
#include "tests/support/system_fixture.h"

namespace {

using test_support::logged;
using test_support::read_file;

using std::filesystem::exists;
using test_support::write_file;

// A stand-in tag tool on the PATH that records how it was called.
constexpr char kTagCalls[] = "/tmp/tag_calls";

class BootRecordsTest : public testing::Test {
 protected:
  void SetUp() override {
    setenv("TZ", "UTC", 1);
    tzset();
    init_record_locks();
    test_support::use_fresh_shared_records();
    ASSERT_EQ(system("mkdir -p /tmp/bin && printf '#!/bin/sh\\necho \"$@\" >> /tmp/tag_calls\\n'"
                     " > /tmp/bin/tag_env_info && chmod +x /tmp/bin/tag_env_info"),
              0);
    setenv("PATH", ("/tmp/bin:" + std::string(getenv("PATH"))).c_str(), 1);
    for (const char* path :
         {kTagCalls, kWdmRecordPath, kCapErrorRecordPath, kRebootLogConfigPath}) {
      unlink(path);
    }
    app_log_close();
    unlink(kAppLogPath);
  }
};

// (A readable watchdog file is followed on the board, by the start-up tests.)
TEST_F(BootRecordsTest, UnreadableCaptureErrorFileStillGivesAnEntryWithTheCurrentTime) {
  write_file(kCapErrorRecordPath, "garbage");
  const time_t before = time(nullptr);
  ASSERT_EQ(read_cap_error_record(), 0);

  EXPECT_EQ(sysInfo->capErrorReboot, 1);
  EXPECT_FALSE(exists(kCapErrorRecordPath));
  std::string entry = read_file(kRebootLogConfigPath);
  EXPECT_NE(entry.find("] - ISP - cap error reboot\n"), std::string::npos) << entry;
  struct tm stamp {};
  ASSERT_NE(strptime(entry.c_str(), "[%Y/%m/%d %H:%M:%S]", &stamp), nullptr);
  EXPECT_GE(timegm(&stamp), before);
  EXPECT_NE(logged().find("Failed to read epoch from CAP ERROR file, using current time."),
            std::string::npos);
  EXPECT_FALSE(exists(kTagCalls)) << "the tag is only reset when the tag reported the restart";
}

TEST_F(BootRecordsTest, RestartReportedByTheTagResetsTheTagAndDeletesTheFile) {
  sysInfo->wdmReboot = 1;
  sysInfo->capErrorReboot = 1;
  write_file(kWdmRecordPath, "1709834709\n");
  ASSERT_EQ(read_wdm_record(), 0);
  ASSERT_EQ(read_cap_error_record(), 0);

  EXPECT_FALSE(exists(kWdmRecordPath));
  EXPECT_EQ(read_file(kTagCalls), "--set dovu wdm_reboot 0\n--set dovu cap_error_reboot 0\n");
  EXPECT_FALSE(exists(kRebootLogConfigPath)) << "the tag's restart was logged when it happened";
  std::string log = logged();
  EXPECT_NE(log.find("WDM was triggered last boot (from tag)."), std::string::npos);
  EXPECT_NE(log.find("Cap error was triggered last boot (from tag)."), std::string::npos);
}

TEST_F(BootRecordsTest, NoRecordNoEntry) {
  ASSERT_EQ(read_wdm_record(), 0);
  ASSERT_EQ(read_cap_error_record(), 0);
  EXPECT_EQ(sysInfo->wdmReboot, 0);
  EXPECT_EQ(sysInfo->capErrorReboot, 0);
  EXPECT_FALSE(exists(kRebootLogConfigPath));
}

}  // namespace
