// Boot tags: what the command line says, and what start-up does with it on the board.
#include "app/records/boot_tags.h"

#include <unistd.h>

#include <algorithm>
#include <cstdio>
#include <ctime>
#include <fstream>
#include <string>
#include <vector>

#include <gtest/gtest.h>

#include "app/records/reboot_log.h"
#include "app/system/sys_info.h"
#include "sim/tagstore/boot_loader.h"
#include "sim/tagstore/tag_store.h"

#include "tests/support/file_lines.h"
#include "tests/unit/records/tag_board.h"

namespace {

using sim::tagstore::kDevicePath;

constexpr char kCmdline[] = "/tmp/cmdline";

void write_cmdline(const std::string& text) {
  std::ofstream(kCmdline, std::ios::trunc) << text;
}

// ---- What the command line says ------------------------------------------------------------

TEST(BootTagParse, BracketListEdges) {
  // Negative numbers keep their sign; a short list leaves the rest 0.
  BootTagValues short_list = parse_boot_tags("a=1 [4],[0],[0],[1],[1],[-3]\n");
  EXPECT_EQ(short_list.boot_reason, 4);
  EXPECT_EQ(short_list.exp_reuse, 1);
  EXPECT_EQ(short_list.last_ev_value, -3);
  EXPECT_EQ(short_list.adc, 0);
  // Only the last word counts, and only its first seven numbers.
  BootTagValues long_list = parse_boot_tags("[9],[9] [2],[0],[0],[0],[0],[0],[7],[8]\n");
  EXPECT_EQ(long_list.boot_reason, 2);
  EXPECT_EQ(long_list.adc, 7);
  // A number is complete only once a character follows its bracket: the line end does that.
  EXPECT_EQ(parse_boot_tags("x [1],[0],[0],[0],[0],[0],[300]").adc, 0);
  // No list at all.
  BootTagValues none = parse_boot_tags("console=ttyS1,115200n8 mem=64M\n");
  EXPECT_EQ(none.boot_reason, 0);
  EXPECT_EQ(none.cap_mode, 0);
}

TEST(BootTagParse, CorruptionMarkersCountOnlyWhenAllThreeArePresent) {
  BootTagValues two = parse_boot_tags("tagbk=1 riscv_fw=0 [1],[0],[0],[0],[0],[0],[0]\n");
  EXPECT_EQ(two.tagbk, 0);
  EXPECT_FALSE(two.partition_corrupt());

  BootTagValues three =
      parse_boot_tags("tagbk=0 riscv_fw=2 sensor_setting_fw=0 [1],[0],[0],[0],[0],[0],[0]\n");
  EXPECT_EQ(three.riscv_fw, 2);
  EXPECT_TRUE(three.partition_corrupt());

  EXPECT_TRUE(parse_boot_tags("x [1],[0],[1],[0],[0],[0],[0]\n").partition_corrupt());
  EXPECT_FALSE(parse_boot_tags("x [1],[0],[2],[0],[0],[0],[0]\n").partition_corrupt());
}

TEST(BootTagParse, WarningLightNeedsAllFiveKeys) {
  const std::string four =
      "warn_led=warn_active=1;warn_duration=1;warn_mtm=9;warn_pattern=2; "
      "[0],[0],[0],[0],[0],[0],[0]\n";
  BootTagValues defaults = parse_boot_tags(four);
  EXPECT_EQ(defaults.warn_active, 0);
  EXPECT_EQ(defaults.warn_mtm, 5);

  BootTagValues five = parse_boot_tags(
      "warn_led=warn_active=7;warn_duration=1;warn_mtm=9;warn_pattern=2;warn_closemech=1; "
      "[0],[0],[0],[0],[0],[0],[0]\n");
  EXPECT_EQ(five.warn_active, 1);
  EXPECT_EQ(five.warn_mtm, 9);
}

TEST(BootTagParse, KeyValuesAndTheirDefaults) {
  BootTagValues absent = parse_boot_tags("[0],[0],[0],[0],[0],[0],[0]\n");
  EXPECT_EQ(absent.dovu_glow, 1);
  EXPECT_EQ(absent.quality_mode, 0);
  EXPECT_FALSE(absent.wdm_reboot);

  BootTagValues present = parse_boot_tags(
      "dovu=cap_mode=1;dovu_glow=0;orve_model=4;time_format=1;multishot=3;quality_mode=2;"
      "wdm_reboot=1;wdm_rebootEpoch=1700000000; [0],[1],[0],[0],[0],[0],[0]\n");
  EXPECT_EQ(present.dovu_glow, 0);
  EXPECT_EQ(present.quality_mode, 2);
  EXPECT_TRUE(present.wdm_reboot);
  EXPECT_TRUE(present.wdm_reboot_epoch_present);
  EXPECT_EQ(present.wdm_reboot_epoch, 1700000000);

  EXPECT_FALSE(parse_boot_tags("dovu=wdm_reboot=0; [0]\n").wdm_reboot);
  EXPECT_FALSE(parse_boot_tags("dovu=wdm_reboot=1; [0]\n").wdm_reboot_epoch_present);
  // An epoch past 2038 is read whole, also where long has 32 bits.
  EXPECT_EQ(parse_boot_tags("dovu=wdm_rebootEpoch=4000000000; [0]\n").wdm_reboot_epoch,
            4000000000LL);
}

TEST(BootTagParse, ALineLongerThanTheBufferKeepsItsEndFromAWholeWord) {
  std::string head;
  for (int i = 0; head.size() < 1500; ++i) {
    head += "filler" + std::to_string(i) + "=abcdefgh ";
  }
  const std::string tail = "multishot=3; [1],[1],[0],[0],[1],[15],[300]\n";
  write_cmdline(head + tail);

  std::string text;
  ASSERT_EQ(read_cmdline_text(kCmdline, text), 0);
  ASSERT_GE(text.size(), tail.size());
  EXPECT_EQ(text.substr(text.size() - tail.size()), tail);
  // The first word kept is one of the original words, not a piece of one.
  std::string first_word = text.substr(0, text.find(' '));
  EXPECT_NE(head.find(" " + first_word + " "), std::string::npos) << first_word;

  BootTagValues values = parse_boot_tags(text);
  EXPECT_EQ(values.adc, 300);
  EXPECT_EQ(values.multishot, 3);
}

// At the limit: a line that fits is kept whole; one character over keeps the last word that
// begins inside the buffer, whether the cut falls on a word start or inside a word.
TEST(BootTagParse, CutAtTheLimitKeepsWholeWordsOnly) {
  constexpr std::size_t kLimit = kCmdlineBufferSize - 1;
  const std::string word(kLimit - 1, 'b');
  struct Case {
    std::string line;
    std::string kept;
  };
  const Case cases[] = {
      {word + "\n", word + "\n"},                            // exactly the limit
      {" " + word + "\n", word + "\n"},                      // one over, at a word start
      {"a " + word + "\n", word + "\n"},                     // two over, at a word start
      {"a" + std::string(kLimit - 3, 'b') + " c\n", "c\n"},  // one over, inside a word
      {std::string(kLimit + 1, 'a') + " c\n", "c\n"},        // far over, inside a word
  };
  for (const Case& c : cases) {
    write_cmdline(c.line);
    std::string text;
    ASSERT_EQ(read_cmdline_text(kCmdline, text), 0);
    EXPECT_EQ(text, c.kept) << "line of " << c.line.size() << " characters";
  }
}

// ---- Start-up on the board -----------------------------------------------------------------

class BootTags : public ::testing::Test {
 protected:
  static void SetUpTestSuite() {
    init_record_locks();
    sysInfo = new SysInfo();  // lives for the process, as on the camera
  }
  void SetUp() override {
    setenv("TZ", "UTC", 1);
    tzset();
    tag_board::reset_store();
    tag_board::clear_app_log();
    unlink(kRebootLogConfigPath);
    sysInfo->tagReflashed = 0;
    sysInfo->wdmReboot = 0;
    bootTags.tagReflashed = 0;
  }

  // What the boot loader passes for this wake-up, read as start-up reads it.
  int boot(const sim::tagstore::WakeUp& wake_up) {
    write_cmdline(sim::tagstore::boot_cmdline(std::string(kDevicePath), wake_up) + "\n");
    return read_boot_tags_from(kCmdline);
  }
};

TEST_F(BootTags, ValuesFromTheBoardReachTheSharedRecords) {
  for (auto [key, value] : {std::pair{"cap_mode", 1},
                            {"prev_ir_mode", 1},
                            {"last_ev_value", 1234},
                            {"orve_model", 6},
                            {"dovu_glow", 0}}) {
    ASSERT_EQ(sim::tagstore::set_tag(kDevicePath, "dovu", key, value), 0);
  }
  ASSERT_EQ(sim::tagstore::set_tag(kDevicePath, "warn_led", "warn_active", 1), 0);

  ASSERT_EQ(boot({.boot_reason = 1, .exp_reuse = 1, .adc = 512}), 0);

  EXPECT_EQ(sysInfo->boot_reason, 1);
  EXPECT_EQ(sysInfo->prev_ir_mode, 1);
  EXPECT_EQ(sysInfo->orve_model, 6);
  EXPECT_EQ(sysInfo->tagReflashed, 0);
  EXPECT_EQ(bootTags.irIntensity, 0);
  // One warning-light key alone is not a configuration.
  EXPECT_EQ(bootTags.warnActive, 0);
  EXPECT_EQ(bootTags.last_ev_value, 1234);
  EXPECT_EQ(bootTags.adc, 512);
  EXPECT_TRUE(tag_board::tag_writes().empty());
}

TEST_F(BootTags, TagCorruptReflashesThePartitionAndWritesBackWhatTheNextBootNeeds) {
  ASSERT_EQ(sim::tagstore::set_tag(kDevicePath, "warn_led", "warn_active", 1), 0);
  write_cmdline(
      "console=ttyS1 dovu=orve_model=4;time_format=1;multishot=3; "
      "[1],[1],[1],[0],[1],[20],[100]\n");

  ASSERT_EQ(read_boot_tags_from(kCmdline), 0);

  EXPECT_EQ(sysInfo->tagReflashed, 1);
  EXPECT_EQ(bootTags.tagReflashed, 1);
  EXPECT_EQ(tag_board::tag_writes(),
            (std::vector<std::string>{"--set dovu cap_mode 1", "--set dovu prev_ir_mode 1",
                                      "--set dovu multishot 3", "--set dovu orve_model 4",
                                      "--set dovu time_format 1"}));
  // The partition holds the image again (the warning-light tag is gone) plus the write-backs.
  EXPECT_FALSE(tag_board::stored_tag("warn_led", "warn_active").has_value());
  EXPECT_EQ(tag_board::stored_tag("dovu", "orve_model"), 4);
}

TEST_F(BootTags, WriteBacksReplaceValuesTheSystemCannotUse) {
  write_cmdline("dovu=orve_model=2;time_format=0;multishot=7; [1],[5],[1],[0],[9],[0],[0]\n");
  ASSERT_EQ(read_boot_tags_from(kCmdline), 0);
  EXPECT_EQ(tag_board::tag_writes(),
            (std::vector<std::string>{"--set dovu cap_mode 0", "--set dovu prev_ir_mode 1",
                                      "--set dovu multishot 1", "--set dovu orve_model 2",
                                      "--set dovu time_format 0"}));
}

TEST_F(BootTags, APartitionMarkerReflashesAndTheFreshImageClearsIt) {
  ASSERT_EQ(sim::tagstore::set_markers(kDevicePath, {.tagbk = 0, .riscv_fw = 1}), 0);
  ASSERT_EQ(boot({.boot_reason = 1}), 0);
  EXPECT_EQ(sysInfo->tagReflashed, 1);

  // The next wake-up finds a healthy partition.
  sysInfo->tagReflashed = 0;
  ASSERT_EQ(boot({.boot_reason = 1}), 0);
  EXPECT_EQ(sysInfo->tagReflashed, 0);
}

TEST_F(BootTags, AWatchdogRebootBecomesARebootLogEntry) {
  write_cmdline("dovu=wdm_reboot=1;wdm_rebootEpoch=1709834709; [0],[0],[0],[0],[0],[0],[0]\n");
  ASSERT_EQ(read_boot_tags_from(kCmdline), 0);
  EXPECT_EQ(sysInfo->wdmReboot, 1);
  // The next boot without the tag clears the flag and adds no entry.
  write_cmdline("dovu=wdm_reboot=0; [0],[0],[0],[0],[0],[0],[0]\n");
  ASSERT_EQ(read_boot_tags_from(kCmdline), 0);
  EXPECT_EQ(sysInfo->wdmReboot, 0);
  EXPECT_EQ(test_support::read_lines(kRebootLogConfigPath),
            std::vector<std::string>{"[2024/03/07 18:05:09] - ISP - wdm triggered"});
}

TEST_F(BootTags, AWatchdogTagWithoutItsEpochIsRecordedAtTheCurrentTime) {
  write_cmdline("dovu=wdm_reboot=1; [0],[0],[0],[0],[0],[0],[0]\n");
  const time_t before = time(nullptr);
  ASSERT_EQ(read_boot_tags_from(kCmdline), 0);

  EXPECT_EQ(sysInfo->wdmReboot, 1);
  EXPECT_EQ(tag_board::log_lines_ending("parse wdm: Could not fetch correct reboot epoch from tag.")
                .size(),
            1u);
  const std::string entry = test_support::read_file(kRebootLogConfigPath);
  struct tm stamp {};
  ASSERT_NE(strptime(entry.c_str(), "[%Y/%m/%d %H:%M:%S] - ISP - wdm triggered\n", &stamp), nullptr)
      << entry;
  EXPECT_GE(timegm(&stamp), before);
  EXPECT_LE(timegm(&stamp), time(nullptr));
  EXPECT_EQ(std::count(entry.begin(), entry.end(), '\n'), 1) << entry;
}

TEST_F(BootTags, AnUnreadableCommandLineLeavesTheDefaults) {
  EXPECT_EQ(read_boot_tags_from("/tmp/no-such-cmdline"), -1);
  EXPECT_EQ(bootTags.boot_reason, 0);
  EXPECT_EQ(bootTags.irIntensity, 1);
  EXPECT_EQ(sysInfo->tagReflashed, 0);
}

}  // namespace
