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
#include "app/system/core/sys_info.h"
#include "sim/tagstore/boot_loader.h"
#include "sim/tagstore/tag_store.h"

#include "tests/support/file_lines.h"
#include "tests/support/tag_board.h"

namespace {

using sim::tagstore::kDevicePath;

constexpr char kCmdline[] = "/tmp/cmdline";

void write_cmdline(const std::string& text) {
  std::ofstream(kCmdline, std::ios::trunc) << text;
}

// ---- What the command line says ------------------------------------------------------------

// One field of what a command line parses to.
struct ParseCase {
  const char* line;
  const char* field;
  long long (*value)(const BootTagValues&);
  long long expected;
};

// clang-format off
#define FIELD(line, field, expected) \
  ParseCase{line, #field, [](const BootTagValues& v) -> long long { return v.field; }, expected}
// clang-format on

constexpr char kShortList[] = "a=1 [4],[0],[0],[1],[1],[-3]\n";
constexpr char kLongList[] = "[9],[9] [2],[0],[0],[0],[0],[0],[7],[8]\n";
constexpr char kThreeMarkers[] =
    "tagbk=0 riscv_fw=2 sensor_setting_fw=0 [1],[0],[0],[0],[0],[0],[0]\n";
constexpr char kFourWarnKeys[] =
    "warn_led=warn_active=1;warn_duration=1;warn_mtm=9;warn_pattern=2; "
    "[0],[0],[0],[0],[0],[0],[0]\n";
constexpr char kFiveWarnKeys[] =
    "warn_led=warn_active=7;warn_duration=1;warn_mtm=9;warn_pattern=2;warn_closemech=1; "
    "[0],[0],[0],[0],[0],[0],[0]\n";
constexpr char kDovu[] =
    "dovu=cap_mode=1;dovu_glow=0;orve_model=4;time_format=1;multishot=3;quality_mode=2;"
    "wdm_reboot=1;wdm_rebootEpoch=1700000000; [0],[1],[0],[0],[0],[0],[0]\n";

const ParseCase kParses[] = {
    // Negative numbers keep their sign; a short list leaves the rest 0.
    FIELD(kShortList, boot_reason, 4),
    FIELD(kShortList, exp_reuse, 1),
    FIELD(kShortList, last_ev_value, -3),
    FIELD(kShortList, adc, 0),
    // Only the last word counts, and only its first seven numbers.
    FIELD(kLongList, boot_reason, 2),
    FIELD(kLongList, adc, 7),
    // A number is complete only once a character follows its bracket: the line end does that.
    FIELD("x [1],[0],[0],[0],[0],[0],[300]", adc, 0),
    FIELD("console=ttyS1,115200n8 mem=64M\n", boot_reason, 0),  // no list at all
    // The corruption markers count only when all three are present.
    FIELD("tagbk=1 riscv_fw=0 [1],[0],[0],[0],[0],[0],[0]\n", partition_corrupt(), 0),
    FIELD(kThreeMarkers, riscv_fw, 2),
    FIELD(kThreeMarkers, partition_corrupt(), 1),
    FIELD("x [1],[0],[1],[0],[0],[0],[0]\n", partition_corrupt(), 1),
    FIELD("x [1],[0],[2],[0],[0],[0],[0]\n", partition_corrupt(), 0),
    // The warning light needs all five keys.
    FIELD(kFourWarnKeys, warn_mtm, 5),
    FIELD(kFiveWarnKeys, warn_active, 1),
    FIELD(kFiveWarnKeys, warn_mtm, 9),
    // Key values and their defaults.
    FIELD("[0],[0],[0],[0],[0],[0],[0]\n", dovu_glow, 1),
    FIELD(kDovu, dovu_glow, 0),
    FIELD(kDovu, quality_mode, 2),
    FIELD(kDovu, wdm_reboot, 1),
    FIELD(kDovu, wdm_reboot_epoch, 1700000000),
    FIELD("dovu=wdm_reboot=0; [0]\n", wdm_reboot, 0),
    FIELD("dovu=wdm_reboot=1; [0]\n", wdm_reboot_epoch_present, 0),
    // An epoch past 2038 is read whole, also where long has 32 bits.
    FIELD("dovu=wdm_rebootEpoch=4000000000; [0]\n", wdm_reboot_epoch, 4000000000LL),
};

TEST(BootTagParse, EveryFieldFromItsLine) {
  for (const ParseCase& c : kParses) {
    EXPECT_EQ(c.value(parse_boot_tags(c.line)), c.expected) << c.field << " of " << c.line;
  }
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
      {word + "\n", word + "\n"},                                       // exactly the limit
      {" " + word + "\n", word + "\n"},                                 // one over, at a word start
      {"a " + word + "\n", word + "\n"},                                // two over, at a word start
      {"a" + std::string(kLimit - 3, 'b') + " c\n", "c\n"},             // one over, inside a word
      {std::string(kLimit + 1, 'a') + " c\n", "c\n"},                   // far over, inside a word
      {std::string(3 * kLimit, 'a') + " " + word + "\n", word + "\n"},  // dropped while read
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

TEST_F(BootTags, TagCorruptReflashesThePartitionAndWritesBackUsableValues) {
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

  // Values the system cannot use are written back as their substitutes.
  tag_board::reset_store();
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
