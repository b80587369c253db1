// The file counter rebuilt from the card, its advance and rollover, and the removal of a failed
// capture's files, on the sandbox's /sdcard folders.
#include "app/postprocess/naming/media_names.h"

#include "tests/support/card_fixture.h"

namespace storage_test {
namespace {

namespace fs = std::filesystem;

class MediaNamesTest : public CardTest {
 protected:
  void SetUp() override {
    CardTest::SetUp();
    insert_card(2, 2);
    fs::create_directories("/sdcard/primary/DCIM");
    fs::create_directories("/sdcard/secondary/DCIM");
  }
  static void touch(const std::string& path) { write_file(path, 1); }
  static void expect_counter(int folder, int file) {
    EXPECT_EQ(fileCounter.folderNumber, folder);
    EXPECT_EQ(fileCounter.fileNumber, file);
  }
};

TEST_F(MediaNamesTest, CounterContinuesAfterHighestNumberOfHighestFolder) {
  // An empty card starts at 100DSCIM, made on both partitions, with file 0.
  save_last_file_fldr_val();
  expect_counter(100, 0);
  EXPECT_TRUE(fs::is_directory("/sdcard/secondary/DCIM/100DSCIM"));
  // Primary ahead: the secondary gets the folder, the number comes from the primary only.
  for (const char* path : {"/sdcard/primary/DCIM/105DSCIM/PICT0004.JPG",
                           "/sdcard/secondary/DCIM/103DSCIM/PICT0090.JPG"}) {
    touch(path);
  }
  save_last_file_fldr_val();
  expect_counter(105, 4);
  EXPECT_TRUE(fs::is_directory("/sdcard/secondary/DCIM/105DSCIM"));

  // Same folder on both, gaps and names that are not the camera's: the larger side wins.
  const std::string primary = "/sdcard/primary/DCIM/105DSCIM/";
  for (const char* name : {"PICT0001.JPG", "PICT0012.JPG", "HD0013.JPG", "notes.txt",
                           "PICT12345.JPG", "pict0500.jpg", "VI0400_1.JPG", "PICT 014.JPG"}) {
    touch(primary + name);
  }
  touch("/sdcard/secondary/DCIM/105DSCIM/VID0020.MP4");
  save_last_file_fldr_val();
  expect_counter(105, 20);

  // Folders that are not media folders, and a file carrying a folder's name, are passed over.
  for (const char* name : {"99DSCIM", "1000DSCIM", "106dscim", "DSCIM107"}) {
    fs::create_directories(std::string("/sdcard/primary/DCIM/") + name);
  }
  touch("/sdcard/primary/DCIM/108DSCIM");
  EXPECT_EQ(find_last_folder("/sdcard/primary/DCIM"), 105);
  EXPECT_EQ(find_last_file("/sdcard/primary/DCIM/no-such-folder"), 0);
}

// A primary that is lent or not mounted holds pictures nobody can see: the counter stays as it
// was instead of starting again at 1 over them. A card without a secondary counts its primary.
TEST_F(MediaNamesTest, UnreadablePrimaryLeavesTheCounterUnknown) {
  touch("/sdcard/primary/DCIM/100DSCIM/PICT0007.JPG");
  ASSERT_EQ(save_last_file_fldr_val(), 0);
  fileCounter.fileNumber = 9;  // two captures since
  sysInfo->primaryLent = 1;
  EXPECT_EQ(save_last_file_fldr_val(), -1);
  expect_counter(100, 9);
  sysInfo->primaryLent = 0;
  sh("umount /sdcard/primary");
  EXPECT_EQ(save_last_file_fldr_val(), -1);
  expect_counter(100, 9);
  EXPECT_FALSE(fs::exists("/sdcard/primary/DCIM"));

  sh("umount /sdcard/secondary && mount -t tmpfs -o size=4m mmcblk0p1 /sdcard/primary");
  touch("/sdcard/primary/DCIM/102DSCIM/VID0004.MP4");
  ASSERT_EQ(save_last_file_fldr_val(), 0);
  expect_counter(102, 4);
}

// Before the counter is rebuilt, what a power cut broke of the capture being written on each
// partition goes: pictures cut short, a video without its movie box, what was being written
// beside them. Whole files, other captures and the owner's files stay.
TEST_F(MediaNamesTest, RebuildRemovesWhatAPowerCutBrokeOfTheLastCapture) {
  auto box = [](const char* type, const std::string& payload) {
    const uint32_t size = static_cast<uint32_t>(8 + payload.size());
    std::string bytes = {static_cast<char>(size >> 24), static_cast<char>(size >> 16),
                         static_cast<char>(size >> 8), static_cast<char>(size)};
    return bytes + type + payload;
  };
  const std::string jpeg = "\xFF\xD8 picture \xFF\xD9";
  const std::string mp4 = box("ftyp", "isom") + box("mdat", "frames") + box("moov", "index");
  const std::string p = "/sdcard/primary/";
  const std::string s = "/sdcard/secondary/";
  write_file(p + "DCIM/100DSCIM/PICT0001.JPG", jpeg);
  write_file(p + "DCIM/100DSCIM/PICT0002.JPG", jpeg.substr(0, 8));
  write_file(p + "DCIM/100DSCIM/HD0002.JPG", jpeg);
  write_file(p + "TRANSMIT/PICT0002.JPG", jpeg.substr(0, 3));
  write_file(p + "TRANSMIT/.PICT0003.JPG.part", jpeg.substr(0, 4));
  write_file(p + "DCIM/100DSCIM/_HD0002.JPG", "Salted__");
  write_file(p + "DCIM/100DSCIM/_notes.txt", "the owner's");
  write_file(s + "DCIM/100DSCIM/VID0003.MP4", mp4);
  write_file(s + "DCIM/100DSCIM/VID0004.MP4", mp4.substr(0, mp4.size() - 3));
  write_file(s + "TRANSMIT/VI0004_1.JPG", "Salted__ and the rest");
  write_file(p + ".capture", "100 2\n");  // what the power cut left of the markers
  write_file(s + ".capture", "100 4\n");
  counterRestored = false;
  ASSERT_TRUE(restore_file_counter_once(Remount::kIfLate));
  for (const char* gone : {"DCIM/100DSCIM/PICT0002.JPG", "TRANSMIT/PICT0002.JPG",
                           "TRANSMIT/.PICT0003.JPG.part", "DCIM/100DSCIM/_HD0002.JPG"}) {
    EXPECT_FALSE(fs::exists(p + gone)) << gone;
  }
  for (const char* kept :
       {"DCIM/100DSCIM/PICT0001.JPG", "DCIM/100DSCIM/HD0002.JPG", "DCIM/100DSCIM/_notes.txt"}) {
    EXPECT_TRUE(fs::exists(p + kept)) << kept;
  }
  EXPECT_FALSE(fs::exists(s + "DCIM/100DSCIM/VID0004.MP4"));
  EXPECT_TRUE(fs::exists(s + "DCIM/100DSCIM/VID0003.MP4"));
  EXPECT_TRUE(fs::exists(s + "TRANSMIT/VI0004_1.JPG"));
  EXPECT_FALSE(fs::exists(p + ".capture"));
  expect_counter(100, 3);
}

TEST_F(MediaNamesTest, AdvanceRollsOverAndStopsAtTheLastName) {
  touch("/sdcard/primary/DCIM/998DSCIM/PICT9998.JPG");
  save_last_file_fldr_val();
  ASSERT_EQ(advance_file_number(), 0);
  expect_counter(998, 9999);
  // While the primary is lent, the new folder is made on the secondary only.
  sysInfo->primaryLent = 1;
  ASSERT_EQ(advance_file_number(), 0);
  expect_counter(999, 1);
  EXPECT_FALSE(fs::exists("/sdcard/primary/DCIM/999DSCIM"));
  EXPECT_TRUE(fs::is_directory("/sdcard/secondary/DCIM/999DSCIM"));

  touch("/sdcard/secondary/DCIM/999DSCIM/PICT9999.JPG");
  sysInfo->primaryLent = 0;  // back from the Modem
  save_last_file_fldr_val();
  expect_counter(999, 9999);
  EXPECT_TRUE(fs::is_directory("/sdcard/primary/DCIM/999DSCIM"));
  // Exhausted: -1 every time, and the lock is free again after each.
  EXPECT_EQ(advance_file_number(), -1);
  EXPECT_EQ(advance_file_number(), -1);
  expect_counter(999, 9999);
}

TEST_F(MediaNamesTest, FailedCaptureLosesOnlyItsOwnFiles) {
  cameraConfig->cellular = 1;
  cameraConfig->resolution = 1;
  sysInfo->storagePartition = 1;
  const std::vector<std::string> gone = {"DCIM/100DSCIM/PICT0003.JPG", "DCIM/100DSCIM/HD0003.JPG",
                                         "TRANSMIT/PICT0003.JPG"};
  const std::vector<std::string> kept = {
      "DCIM/100DSCIM/PICT0002.JPG", "DCIM/100DSCIM/PICT0003.JPG.keep", "TRANSMIT/VI0003_2.JPG"};
  for (const std::string& path : gone) {
    touch("/sdcard/secondary/" + path);
  }
  for (const std::string& path : kept) {
    touch("/sdcard/secondary/" + path);
  }
  touch("/sdcard/primary/DCIM/100DSCIM/PICT0003.JPG");  // the other partition is not touched
  save_last_file_fldr_val();
  ASSERT_EQ(fileCounter.fileNumber, 3);
  remove_prev_cap(CAPTURE_KIND_PHOTO);
  for (const std::string& path : gone) {
    EXPECT_FALSE(fs::exists("/sdcard/secondary/" + path)) << path;
  }
  for (const std::string& path : kept) {
    EXPECT_TRUE(fs::exists("/sdcard/secondary/" + path)) << path;
  }
  EXPECT_TRUE(fs::exists("/sdcard/primary/DCIM/100DSCIM/PICT0003.JPG"));
  remove_prev_cap(CAPTURE_KIND_VIDEO);
  EXPECT_FALSE(fs::exists("/sdcard/secondary/TRANSMIT/VI0003_2.JPG"));
}

}  // namespace
}  // namespace storage_test
