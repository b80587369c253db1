// The card model with the real tools: the camera's fdisk dialogue, mkfs.vfat, fsck.fat, the
// board's mount and umount over fusefat, and the block devices that follow the table.
#include <fcntl.h>
#include <unistd.h>

#include <string>

#include <gtest/gtest.h>

#include "sim/card/card_image.h"
#include "sim/card/card_layout.h"

#include "tests/support/file_lines.h"

namespace sim::card {
namespace {

constexpr uint64_t kGiB = uint64_t{1} << 30;
constexpr char kMountPrimary[] =
    "mount -t vfat -o noatime -o usefree /dev/mmcblk0p1 /sdcard/primary > /dev/null\n";
// Free 1 KiB blocks of the primary partition, as statfs reports them.
constexpr char kFreeBlocks[] = "stat -f -c '%f %S' /sdcard/primary\n";

class CardTest : public ::testing::Test {
 protected:
  std::string image() const { return dir_.path() + "/card.img"; }
  std::string state() const { return dir_.path() + "/state"; }
  // Runs `script` in a card sandbox; its output in `output_`, its status returned.
  int run(const std::string& script) {
    return run_in_card_sandbox(image(), state(),
                               "set -e\nmkdir -p /sdcard/primary /sdcard/secondary\n" + script,
                               &output_);
  }
  void formatted(uint64_t bytes, int partitions = 2) {
    std::string why;
    ASSERT_EQ(make_formatted_card(image(), bytes, partitions, &why), 0) << why;
  }
  int dirty(int number) {
    for (const Partition& partition : card_partitions(image())) {
      FatVolume volume;
      const int fd = open(image().c_str(), O_RDONLY);
      const int result =
          partition.number == number && read_fat_volume(fd, partition.start, &volume) == 0
              ? fat_dirty(fd, volume)
              : -2;
      close(fd);
      if (result != -2) {
        return result;
      }
    }
    return -1;
  }

  test_support::TempDir dir_;
  std::string output_;
};

TEST_F(CardTest, TheCamerasFdiskDialogueMakesItsTwoPartitionLayoutThatFsckAccepts) {
  std::string why;
  ASSERT_EQ(make_blank_card(image(), 4 * kGiB, &why), 0) << why;
  ASSERT_EQ(run("ls /dev/mmcblk0p* 2>/dev/null | wc -l\n"), 0) << output_;
  EXPECT_EQ(output_, "0\n");

  ASSERT_EQ(run("(echo  ; echo o; echo n; echo p; echo 2; echo  ; echo +1G; echo ; echo n; echo p; "
                "echo 1; echo  ; echo  ; sleep 2; echo t; echo 1; echo c; echo t; echo 2; echo c; "
                "echo w;) | fdisk /dev/mmcblk0 > /dev/null\n"
                "ls /dev/mmcblk0p*\n"
                "mkfs.vfat -F32 -v /dev/mmcblk0p2 > /dev/null\n"
                "mkfs.vfat -F32 -v /dev/mmcblk0p1 > /dev/null\n"
                "fsck.fat -n /dev/mmcblk0p1 > /dev/null\n"
                "fsck.fat -n /dev/mmcblk0p2 > /dev/null\n"
                "dmesg | grep ' mmcblk0: p'\n"),
            0)
      << output_;
  EXPECT_NE(output_.find("/dev/mmcblk0p1\n/dev/mmcblk0p2\n"), std::string::npos) << output_;
  EXPECT_NE(output_.find("mmcblk0: p1 p2"), std::string::npos) << output_;

  const std::vector<Partition> table = card_partitions(image());
  ASSERT_EQ(table.size(), 2u);
  const Partition& primary = table[0];
  const Partition& secondary = table[1];
  EXPECT_EQ(secondary.number, 2);
  EXPECT_EQ(secondary.start, 2048 * kSectorBytes);
  EXPECT_EQ(secondary.size, kGiB);
  EXPECT_EQ(primary.number, 1);
  EXPECT_EQ(primary.start, secondary.start + secondary.size);
  EXPECT_EQ(primary.start + primary.size, 4 * kGiB);
  // (fsck.fat has accepted both volumes above.)
  for (const Partition& partition : table) {
    EXPECT_EQ(partition.type, 0x0c) << partition.number;
  }
}

TEST_F(CardTest, PartitionNodesFollowTheTableAndVanishWithTheCard) {
  formatted(3 * kGiB, 3);
  // A new table with one partition: the kernel's re-read drops p2 and p3.
  ASSERT_EQ(run("ls /dev/mmcblk0p*\n"
                "(echo o; echo n; echo p; echo 1; echo; echo; echo w) | fdisk /dev/mmcblk0 > "
                "/dev/null 2>&1\n"
                "echo after; ls /dev/mmcblk0p*\n"
                "exec 3</dev/mmcblk0p1\n"
                "echo slot=out > /run/board/card/control; sleep 0.3\n"
                "echo pulled; ls /dev/mmcblk0* 2>/dev/null || true\n"
                "head -c 512 <&3 > /dev/null 2>&1 || echo read-failed\n"),
            0)
      << output_;
  EXPECT_EQ(output_,
            "/dev/mmcblk0p1\n/dev/mmcblk0p2\n/dev/mmcblk0p3\nafter\n/dev/mmcblk0p1\npulled\n"
            "read-failed\n");
}

// A board keeps a copy of the card's tools beside its card, so that a build relinking them
// does not change the tools under a run; the sandbox runs that copy, not the build's.
TEST_F(CardTest, TheSandboxRunsTheCardToolsKeptBesideTheImage) {
  std::string why;
  ASSERT_EQ(make_blank_card(image(), 4 * kGiB, &why), 0) << why;
  const std::string built = card_tools_for(image());
  const std::string kept = dir_.path() + "/" + kCardToolsFolder;
  ASSERT_NE(built, kept);
  ASSERT_EQ(test_support::command_status("cp -a " + built + " " + kept), 0);
  test_support::write_file(kept + "/dmesg", "#!/bin/sh\necho the kept tools\n");
  ASSERT_EQ(test_support::command_status("chmod +x " + kept + "/dmesg"), 0);
  EXPECT_EQ(card_tools_for(image()), kept);
  ASSERT_EQ(run("dmesg\n"), 0) << output_;
  EXPECT_EQ(output_, "the kept tools\n");
}

TEST_F(CardTest, MountShowsVfatAndRefusesWhatIsNotFat32) {
  formatted(3 * kGiB);
  ASSERT_EQ(run(std::string(kMountPrimary) +
                "mount -o ro /dev/mmcblk0p2 /sdcard/secondary\n"
                "mount | grep -ni mmcblk0p\n"
                "grep -c '^/dev/mmcblk0p1 /sdcard/primary vfat rw,noatime,' /proc/mounts\n"
                "grep -c /run/board /proc/self/mounts || true\n"
                "umount /sdcard/primary; umount /sdcard/secondary\n"
                "mount | grep -c mmcblk0 || true\n"
                "dd if=/dev/zero of=/dev/mmcblk0p2 bs=512 count=1 2>/dev/null\n"
                "mount -t vfat /dev/mmcblk0p2 /sdcard/secondary 2>/dev/null || echo refused $?\n"
                "dmesg | grep -c 'FAT-fs (mmcblk0p2)'\n"),
            0)
      << output_;
  EXPECT_NE(output_.find(":/dev/mmcblk0p1 on /sdcard/primary type vfat (rw,"), std::string::npos)
      << output_;
  EXPECT_NE(output_.find(":/dev/mmcblk0p2 on /sdcard/secondary type vfat (ro,"), std::string::npos)
      << output_;
  // /proc/mounts as the camera's kernel shows it: vfat, and none of the board's own mounts.
  EXPECT_NE(output_.find("\n1\n0\n0\nrefused 32\n1\n"), std::string::npos) << output_;
  EXPECT_EQ(dirty(1), 0);
}

TEST_F(CardTest, StatfsFollowsWritesAndDeletionsAndAFullVolumeRefusesWithEnospc) {
  formatted(3 * kGiB);
  ASSERT_EQ(
      run(std::string(kMountPrimary) + kFreeBlocks +
          "dd if=/dev/zero of=/sdcard/primary/a.bin bs=1M count=8 2>/dev/null\n" + kFreeBlocks +
          "rm /sdcard/primary/a.bin\n" + kFreeBlocks + "umount /sdcard/primary\n"),
      0)
      << output_;
  long before = 0, written = 0, deleted = 0, block = 0;
  ASSERT_EQ(sscanf(output_.c_str(), "%ld %ld\n%ld %*d\n%ld", &before, &block, &written, &deleted),
            4)
      << output_;
  const Partition primary = card_partitions(image())[0];
  EXPECT_GT(before * block, static_cast<long>(primary.size) * 99 / 100);
  EXPECT_EQ((before - written) * block, 8 << 20);
  EXPECT_EQ(deleted, before);

  std::string why;
  ASSERT_EQ(change_volume(image(), 1, VolumeChange::kFill, &why), 0) << why;
  ASSERT_EQ(
      run("fsck.fat -n /dev/mmcblk0p1 > /dev/null\n" + std::string(kMountPrimary) + kFreeBlocks +
          "dd if=/dev/zero of=/sdcard/primary/more.bin bs=4k count=1 2>&1 | grep error || true\n"
          "mkdir /sdcard/primary/DCIM 2>&1 | grep -c 'No space left' || true\n"
          "umount /sdcard/primary\n"
          "fsck.fat -n /dev/mmcblk0p1 > /dev/null\n"),
      0)
      << output_;
  EXPECT_EQ(output_.substr(0, 2), "0 ") << output_;
  // Both refused for want of space, and the volume is still sound.
  EXPECT_NE(output_.find("No space left on device\n1\n"), std::string::npos) << output_;
}

// The ways the camera's tools write files (ffmpeg -y rewrites, exiv2 renames over, a muxer
// seeks past the end) must leave every byte owned by the FAT.
TEST_F(CardTest, RewrittenRenamedAndSparseFilesStayConsistent) {
  formatted(3 * kGiB);
  ASSERT_EQ(run(std::string(kMountPrimary) +
                "cd /sdcard/primary\n"
                "dd if=/dev/urandom of=A.JPG bs=100k count=1 2>/dev/null\n"
                "dd if=/dev/urandom of=A.JPG bs=60k count=1 2>/dev/null\n"
                "dd if=/dev/urandom of=b.tmp bs=50k count=1 2>/dev/null; mv b.tmp A.JPG\n"
                "dd if=/dev/urandom of=C.MP4 bs=10k count=1 2>/dev/null\n"
                "dd if=/dev/urandom of=C.MP4 bs=10k count=3 seek=5 conv=notrunc 2>/dev/null\n"
                "stat -c '%s' A.JPG C.MP4; cd /; umount /sdcard/primary\n"
                "fsck.fat -n /dev/mmcblk0p1 > /dev/null\n"),
            0)
      << output_;
  EXPECT_EQ(output_, "51200\n81920\n");
}

TEST_F(CardTest, APowerCutLeavesTheVolumeDirtyAndFsckRepairsItAndRecoversLostChains) {
  formatted(3 * kGiB);
  // The cut: every process of the sandbox dies while a file is being written.
  run(std::string(kMountPrimary) +
      "(dd if=/dev/zero of=/sdcard/primary/video.mp4 bs=64k count=100000 2>/dev/null &)\n"
      "sleep 0.5; kill -9 -1\n");
  EXPECT_EQ(dirty(1), 1);
  EXPECT_EQ(dirty(2), 0);

  // Mounted and cleanly unmounted again, the volume stays dirty: the kernel's driver leaves a
  // dirty bit it found for fsck, so the camera's check before a sync still sees it.
  ASSERT_EQ(run(std::string(kMountPrimary) + "dmesg | grep mmcblk0p; umount /sdcard/primary\n"), 0)
      << output_;
  EXPECT_NE(output_.find("FAT-fs (mmcblk0p1): Volume was not properly unmounted."),
            std::string::npos)
      << output_;
  EXPECT_EQ(dirty(1), 1);

  std::string why;
  ASSERT_EQ(change_volume(image(), 2, VolumeChange::kDamage, &why), 0) << why;
  ASSERT_EQ(run("fsck.fat -n /dev/mmcblk0p2 > /dev/null 2>&1 || echo damaged\n"
                "fsck.fat -y /dev/mmcblk0p1 > /dev/null 2>&1 || true\n"
                "fsck.fat -y /dev/mmcblk0p2 > /dev/null 2>&1 || true\n"
                "fsck.fat -n /dev/mmcblk0p1 > /dev/null && fsck.fat -n /dev/mmcblk0p2 > /dev/null\n"
                "mount -t vfat /dev/mmcblk0p2 /sdcard/secondary; ls /sdcard/secondary\n"
                "umount /sdcard/secondary\n"),
            0)
      << output_;
  EXPECT_NE(output_.find("damaged\nFSCK0000.REC\n"), std::string::npos) << output_;
  EXPECT_EQ(dirty(1), 0);
}

}  // namespace
}  // namespace sim::card
