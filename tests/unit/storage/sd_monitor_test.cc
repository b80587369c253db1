// The free-space pass on a size-limited primary partition, and the secondary's emptiness test.
#include "app/storage/sd_monitor.h"

#include "app/storage/sd_card.h"

#include "tests/support/card_fixture.h"

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

TEST_F(SdMonitorTest, OldestMediaGoOneByOneWithTheirCopiesUntilTheMinimumIsFree) {
  write_file("/sdcard/primary/DCIM/100DSCIM/PICT0001.JPG", 1 * kMiB);
  write_file("/sdcard/primary/DCIM/100DSCIM/HD0001.JPG", kMiB / 2);
  write_file("/sdcard/primary/TRANSMIT/PICT0001.JPG", kMiB / 4);
  write_file("/sdcard/primary/DCIM/100DSCIM/VID0002.MP4", 1 * kMiB);
  write_file("/sdcard/primary/TRANSMIT/VI0002_1.JPG", 4 * kKiB);  // the previews go with _1
  write_file("/sdcard/primary/TRANSMIT/VI0002_3.JPG", 4 * kKiB);
  write_file("/sdcard/primary/DCIM/101DSCIM/VID0003.MP4", 1 * kMiB);
  write_file("/sdcard/primary/DCIM/101DSCIM/PICT0004.JPG", 1 * kMiB);
  write_file("/sdcard/primary/TRANSMIT/PICT0004.JPG", kMiB / 4);
  write_file("/sdcard/primary/outside the layout.txt", kMiB / 4);
  ASSERT_LT(get_free_space_mb("/sdcard/primary"), 4);

  // Photo 1 with its copies, video 2 with its previews, the emptied folder, then in the next
  // folder the video before the photo of a higher number.
  request_pass(6);
  expect_gone({"DCIM/100DSCIM", "TRANSMIT/PICT0001.JPG", "TRANSMIT/VI0002_3.JPG",
               "DCIM/101DSCIM/VID0003.MP4"});
  expect_gone({"DCIM/101DSCIM/PICT0004.JPG", "TRANSMIT/PICT0004.JPG", "outside the layout.txt"},
              false);
  EXPECT_GE(get_free_space_mb("/sdcard/primary"), 6);
  EXPECT_EQ(cameraConfig->primaryFreeMb, get_free_space_mb("/sdcard/primary"));

  request_pass(8);
  expect_gone({"DCIM/101DSCIM", "TRANSMIT/PICT0004.JPG"});
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

// What the camera did not write beside its pictures is never removed, nor the folder holding
// it; the camera's own oldest photo still goes.
TEST_F(SdMonitorTest, OwnersFilesStayWhateverTheListingShowsFirst) {
  struct Case {
    const char* owners;
    const char* cameras;  // nullptr: none in the oldest folder
  };
  for (const Case& c :
       {Case{"DCIM/100DSCIM/PICT0000.JPG", "DCIM/100DSCIM/PICT0001.JPG"},
        Case{"DCIM/100DSCIM/PICT00001.JPG", "DCIM/100DSCIM/PICT0002.JPG"},
        Case{"DCIM/100DSCIM/VID0001.MP4.txt", "DCIM/100DSCIM/PICT0002.JPG"},
        Case{"DCIM/100DSCIM/PICT0001.JPG/PICT0001.JPG", nullptr}, Case{"DCIM/100DSCIM", nullptr}}) {
    SCOPED_TRACE(c.owners);
    SetUp();
    write_file(std::string("/sdcard/primary/") + c.owners, 1);
    write_file("/sdcard/primary/DCIM/101DSCIM/PICT0009.JPG", 5 * kMiB);
    if (c.cameras != nullptr) {
      write_file(std::string("/sdcard/primary/") + c.cameras, 2 * kMiB);
    }
    ASSERT_LT(get_free_space_mb("/sdcard/primary"), 4);
    request_pass(4);
    EXPECT_TRUE(exists(c.owners));
    if (c.cameras != nullptr) {
      EXPECT_FALSE(exists(c.cameras));
    }
  }
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
