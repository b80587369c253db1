// The free-space pass on a size-limited primary partition, and the secondary's emptiness test.
#include "app/storage/sd_monitor.h"

#include "app/storage/sd_card.h"

#include "tests/unit/storage/card_fixture.h"

namespace storage_test {
namespace {

namespace fs = std::filesystem;

constexpr std::size_t kKiB = 1024;
constexpr std::size_t kMiB = 1024 * kKiB;

class SdMonitorTest : public CardTest {
 protected:
  void SetUp() override {
    CardTest::SetUp();
    insert_card(2, 2);
  }
  // Asks the monitor for a pass with the given minimum and serves it.
  static void request_pass(int min_free_mb) {
    cameraConfig->min_free_space_sdcard = min_free_mb;
    sysInfo->sdCheckRequest = 1;
    serve_sd_check_request();
    EXPECT_EQ(sysInfo->sdCheckRequest, 0);
    EXPECT_FALSE(sdMonitorBusy);
  }
  static bool exists(const std::string& path) { return fs::exists("/sdcard/primary/" + path); }
  static void expect_gone(std::initializer_list<const char*> paths, bool gone = true) {
    for (const char* path : paths) {
      EXPECT_EQ(exists(path), !gone) << path;
    }
  }
};

TEST_F(SdMonitorTest, OldestMediaGoPhotoByPhotoWithTheirCopiesUntilTheMinimumIsFree) {
  write_file("/sdcard/primary/DCIM/100DSCIM/PICT0001.JPG", 1 * kMiB);
  write_file("/sdcard/primary/DCIM/100DSCIM/HD0001.JPG", kMiB / 2);
  write_file("/sdcard/primary/TRANSMIT/PICT0001.JPG", kMiB / 4);
  write_file("/sdcard/primary/DCIM/100DSCIM/VID0002.MP4", 1 * kMiB);
  write_file("/sdcard/primary/TRANSMIT/VI0002_1.JPG", 4 * kKiB);  // the previews go with _1
  write_file("/sdcard/primary/TRANSMIT/VI0002_3.JPG", 4 * kKiB);
  write_file("/sdcard/primary/DCIM/101DSCIM/PICT0003.JPG", 1 * kMiB);
  write_file("/sdcard/primary/TRANSMIT/PICT0003.JPG", kMiB / 4);
  write_file("/sdcard/primary/outside the layout.txt", kMiB / 4);
  ASSERT_LT(get_free_space_mb("/sdcard/primary"), 4);

  // Photo 1 and its copies free 1.75 MiB: not enough; video 2 and its previews make it.
  request_pass(6);
  expect_gone({"DCIM/100DSCIM/PICT0001.JPG", "DCIM/100DSCIM/HD0001.JPG", "TRANSMIT/PICT0001.JPG",
               "DCIM/100DSCIM/VID0002.MP4", "TRANSMIT/VI0002_3.JPG"});
  expect_gone({"DCIM/101DSCIM/PICT0003.JPG", "TRANSMIT/PICT0003.JPG", "outside the layout.txt"},
              false);
  EXPECT_GE(get_free_space_mb("/sdcard/primary"), 6);
  EXPECT_EQ(cameraConfig->primaryFreeMb, get_free_space_mb("/sdcard/primary"));

  // The emptied folder goes next, then the photo of the following folder.
  request_pass(8);
  expect_gone({"DCIM/100DSCIM", "DCIM/101DSCIM/PICT0003.JPG"});
  expect_gone({"outside the layout.txt"}, false);
  EXPECT_EQ(log_lines_with("ERROR : No media found to remove."), 1);
}

TEST_F(SdMonitorTest, NothingIsDeletedWhenTheOldestEntryIsNotTheCamerasOrAFormatRuns) {
  struct Case {
    const char* path;
    bool format;
  };
  for (const Case& c :
       {Case{"DCIM/1000DSCIM/PICT0001.JPG", false}, Case{"DCIM/0 notes/PICT0001.JPG", false},
        Case{"DCIM/100DSCIM/PICT0001.JPG", true},
        // Listed as PICT0001.JPG, but that file does not exist: removing it
        // changes nothing, and the pass gives up instead of trying for ever.
        Case{"DCIM/100DSCIM/PICT0001.JPG\n$(rm -rf ..)", false}}) {
    SetUp();
    write_file(std::string("/sdcard/primary/") + c.path, 6 * kMiB);
    formatOngoing = c.format;
    request_pass(4);
    formatOngoing = 0;
    EXPECT_TRUE(exists(c.path)) << c.path;
  }
}

TEST_F(SdMonitorTest, FolderWhereTheOldestPhotoShouldBeLeavesWithItsMediaFolderOnly) {
  // The listing shows the folder's content, not a photo: the media folder counts as holding no
  // media and goes whole; the pass ends there, and nothing outside the media folders is lost.
  write_file("/sdcard/primary/DCIM/100DSCIM/PICT0001.JPG/PICT0001.JPG", 6 * kMiB);
  write_file("/sdcard/primary/DCIM/101DSCIM/PICT0002.JPG", 1 * kMiB);
  write_file("/sdcard/primary/PICT0001.JPG", 1);
  request_pass(4);
  expect_gone({"DCIM/100DSCIM"});
  expect_gone({"DCIM/101DSCIM/PICT0002.JPG", "PICT0001.JPG"}, false);
}

TEST_F(SdMonitorTest, SecondaryHoldsMediaInAFolderOrInTransmit) {
  EXPECT_EQ(secondary_has_media(), 1);  // no DCIM folder at all: nothing is taken for empty
  fs::create_directories("/sdcard/secondary/DCIM/100DSCIM");
  fs::create_directories("/sdcard/secondary/TRANSMIT");
  write_file("/sdcard/secondary/DCIM/.hidden/PICT0001.JPG", 1);
  write_file("/sdcard/secondary/DCIM/100DSCIM/.partial", 1);
  write_file("/sdcard/secondary/DCIM/stray.txt", 1);
  EXPECT_EQ(secondary_has_media(), 0);
  write_file("/sdcard/secondary/TRANSMIT/PICT0001.JPG", 1);
  EXPECT_EQ(secondary_has_media(), 1);
}

}  // namespace
}  // namespace storage_test
