// Card detection, mount and the start-up retries, on a card made of tmpfs mounts.
#include "app/storage/sd_card.h"

#include "tests/support/card_fixture.h"

namespace storage_test {
namespace {

using SdCardTest = CardTest;

constexpr char kVfatMount[] = "mount -t vfat";

bool any_command_starts_with(std::string_view prefix) {
  return std::any_of(commands.begin(), commands.end(),
                     [&](const std::string& command) { return command.starts_with(prefix); });
}

TEST_F(SdCardTest, EmptySlotIsTriedElevenTimesThenReportedOnce) {
  std::ofstream(kCardDetectPath) << "1\n";
  EXPECT_EQ(init_sd_card(), SD_NOT_INSERTED);
  EXPECT_EQ(count_of("umount  /sdcard/primary"), 11);
  EXPECT_EQ(sleeps, std::vector<unsigned>(11, 100));
  // The fault is told once, after the retries, not on every try.
  EXPECT_EQ(log_lines_with("ERROR : SD NOT INSERTED:"), 0);
  EXPECT_EQ(log_lines_with("ERROR : SD-CARD NOT INSERTED"), 1);
  EXPECT_FALSE(sdMountedOnce);
}

TEST_F(SdCardTest, MountedCardStopsTheRetriesAndLaterCallsOnlyReport) {
  insert_card(2, 2);
  EXPECT_EQ(init_sd_card(), SD_MOUNTED);
  EXPECT_TRUE(sleeps.empty());
  EXPECT_TRUE(std::filesystem::is_directory("/sdcard/secondary/TRANSMIT"));
  EXPECT_TRUE(sdMountedOnce);
  commands.clear();
  EXPECT_EQ(init_sd_card(), 0);
  EXPECT_TRUE(commands.empty());
}

TEST_F(SdCardTest, ReadOnlyPartitionIsAFaultWithoutRemount) {
  insert_card(2, 2, /*read_only=*/2);
  EXPECT_EQ(check_sd_card(), SD_FAULT);
  EXPECT_EQ(sdState, SD_FAULT);
  EXPECT_EQ(log_lines_with("ERROR : SD CARD IS READ ONLY:"), 1);
  EXPECT_FALSE(any_command_starts_with("umount"));
  EXPECT_FALSE(any_command_starts_with(kVfatMount));
}

TEST_F(SdCardTest, LentPrimaryIsJudgedBySecondaryAlone) {
  // Partition 1 is away with the Modem; partition 2's read-only mode is not looked at.
  insert_card(2, 0);
  sh("mount -t tmpfs -o size=1m,ro mmcblk0p2 /sdcard/secondary");
  sysInfo->primaryLent = 1;
  EXPECT_EQ(check_sd_card(), SD_MOUNTED);

  sh("umount /sdcard/secondary && rm /dev/mmcblk0p2");
  sysInfo->state = STATE_CAPTURETEST;
  EXPECT_EQ(check_sd_card(), SD_PRIMARY_AWAY);
  EXPECT_EQ(cameraConfig->sdStatus, SD_PRIMARY_AWAY);
}

TEST_F(SdCardTest, CardsThatCannotBeMountedAreNotFormatted) {
  struct Case {
    int partitions;
    int mounted;
  };
  // Three partitions; two partitions, neither mounted (the remount finds no FAT).
  for (const Case& c : {Case{3, 1}, Case{2, 0}}) {
    SetUp();
    insert_card(c.partitions, c.mounted);
    EXPECT_EQ(check_sd_card(), SD_FAULT) << c.partitions;
    EXPECT_EQ(log_lines_with("ERROR : SD NOT FORMATED:"), 1);
    EXPECT_EQ(any_command_starts_with(kVfatMount), c.partitions == 2);
  }
  // No block device at all: nothing changes.
  SetUp();
  sdState = SD_MOUNTED;
  EXPECT_EQ(check_sd_card(), 0);
  EXPECT_EQ(sdState, SD_MOUNTED);
}

TEST(SdProbeText, KernelWordsFromOutside) {
  // A product name that is not SDnnG gives no size (and so no dirty-bit check).
  EXPECT_EQ(card_size_from_kernel_line("mmcblk0: mmc0:aaaa SD32G 29.7 GiB"), 32);
  EXPECT_EQ(card_size_from_kernel_line("mmcblk0: mmc0:aaaa SDxxG 29.7 GiB"), 0);
  // Only blanks split words: the word at a line end runs on into the next line.
  int primary = 0;
  int secondary = 0;
  dirty_partitions_from_kernel_lines("FAT-fs (mmcblk0p2):\nx FAT-fs (mmcblk0p1): Volume", &primary,
                                     &secondary);
  EXPECT_EQ(primary + 2 * secondary, 1);
  EXPECT_FALSE(has_vfat_word("/dev/mmcblk0p1 on /sdcard/primary type vfat2 (rw)"));
}

}  // namespace
}  // namespace storage_test
