// The camera's card on the board's real FAT32 card: what the camera does with a blank, a pulled,
// a dirty and a full card, and that a run leaves the card clean for fsck.fat -n.
#include <sys/stat.h>

#include <filesystem>
#include <fstream>
#include <string>
#include <vector>

#include <gtest/gtest.h>

#include "sim/board/board.h"
#include "sim/card/card_image.h"
#include "sim/card/card_part.h"

#include "camera_on_board.h"

namespace {

using scenario_test::kPatience;
using sim::card::VolumeChange;

class CardOnTheBoard : public scenario_test::CameraOnTheBoard {
 protected:
  // A board whose MCU reports a detection on a time-lapse wake-up, which sends the camera
  // straight to power-down, or `state` for a time-lapse wake-up when given.
  void make_board(int state = 4) {
    sim::board::BoardSetup setup;
    setup.mcu.cameraStateFor[static_cast<size_t>(sim::WakeReason::kTimelapse)] = state;
    make(setup);
  }

  // Wakes the camera and returns its console once the MCU has answered ready-to-sleep and cut
  // the power.
  std::string run_until_asleep(sim::WakeReason reason = sim::WakeReason::kTimelapse) {
    wake(reason);
    return asleep();
  }
  std::string asleep() {
    EXPECT_TRUE(board_->mcu().wait_received("isp_ready_to_sleep_request", 1, kPatience));
    EXPECT_TRUE(board_->wait_power_off(kPatience));
    return console_now();
  }
};

// A test capture on a blank card: the card is reported, never formatted nor written to, and
// the red SD LED blinks.
TEST_F(CardOnTheBoard, BlankCardIsNotFormattedNorWrittenAndBlinksTheRedSdLed) {
  make_board();
  std::string error;
  ASSERT_EQ(card().insert_blank("64M", &error), 0) << error;
  const std::string log = run_until_asleep(sim::WakeReason::kTestButton);
  EXPECT_NE(log.find("ERROR : SD NOT FORMATED:"), std::string::npos);
  EXPECT_NE(log.find("SD card mounted to Modem and hence log updation interrupted"),
            std::string::npos);
  EXPECT_TRUE(sim::card::card_partitions(card().image()).empty());
  // The blank image is sparse: any write would have given it blocks.
  struct stat image {};
  ASSERT_EQ(stat(card().image().c_str(), &image), 0);
  EXPECT_EQ(image.st_blocks, 0);
  int red_changes = 0;
  int green_lit = 0;
  for (const sim::board::BoardEvent& change : board_->record().events("gpio")) {
    if (change.field("what") == "value") {
      red_changes += change.field("line") == "52";
      green_lit += change.field("line") == "53" && change.field("to") == "1";
    }
  }
  EXPECT_GE(red_changes, 2);  // blinking, then off for sleep
  EXPECT_EQ(green_lit, 0);
}

TEST_F(CardOnTheBoard, PulledCardIsReportedAndTheRunStillEndsInSleep) {
  make_board();
  std::string error;
  ASSERT_EQ(card().insert_formatted("8G", 2, &error), 0) << error;
  // The MCU leaves the first camera-state request unanswered: the card leaves the slot while
  // the camera waits to repeat it.
  board_->mcu().add_fault({.member = "get_camera_state_request", .count = 1});
  wake(sim::WakeReason::kTimelapse);
  ASSERT_TRUE(board_->mcu().wait_received("get_camera_state_request", 1, kPatience));
  ASSERT_EQ(card().set_present(false, &error), 0) << error;
  const std::string log = asleep();
  EXPECT_NE(log.find("ERROR : SD NOT INSERTED:"), std::string::npos);
  EXPECT_EQ(log.find("SD card mounted to ISP and copied logs"), std::string::npos);
  ASSERT_EQ(card().set_present(true, &error), 0) << error;
  expect_card_clean(dir_.path() + "/check");
}

TEST_F(CardOnTheBoard, DirtySecondaryIsRepairedAtTheSyncCheck) {
  make_board(2);  // a scheduled sync
  std::string error;
  ASSERT_EQ(card().insert_formatted("8G", 2, &error), 0) << error;
  ASSERT_EQ(card().change(2, VolumeChange::kDirty, &error), 0) << error;
  wake(sim::WakeReason::kTimelapse);
  EXPECT_TRUE(wait_console("Repairing filesystem errors of secondary partition"));
  const std::string log = console();
  EXPECT_EQ(log.find("Repairing filesystem errors of primary partition"), std::string::npos);
  // fsck.fat ran on the secondary and mended it: it exits 1 when it did, which the camera logs
  // at ERR. (The kernel's driver keeps a dirty bit it found at mount until a repair clears it.)
  EXPECT_TRUE(wait_console("fsck.fat -y /dev/mmcblk0p2: run fail, exit code [ 1 ]"));
  EXPECT_EQ(log.find("mount -o noatime -o usefree /dev/mmcblk0p2 /sdcard/secondary: run fail"),
            std::string::npos);
}

// The power goes while a PIR photo is written to the card: no picture on the card is broken,
// then or after the next wake-up, whose own photo is whole.
TEST_F(CardOnTheBoard, PowerCutWhileAPhotoIsWrittenLeavesNoBrokenPicture) {
  make_board();
  std::string error;
  ASSERT_EQ(card().insert_formatted("8G", 2, &error), 0) << error;
  // The mount and the folders take a few KiB; 32 KiB more are into the first picture.
  ASSERT_EQ(card().cut_power_after(1, 32 * 1024, &error), 0) << error;
  wake(sim::WakeReason::kPir);
  ASSERT_TRUE(board_->wait_power_off(kPatience));
  EXPECT_EQ(board_->mcu().received("isp_ready_to_sleep_request"), 0);  // the card cut it

  // Every picture a person finds on the card decodes without a complaint; after a whole
  // wake-up nothing else the camera writes is left beside them.
  auto expect_only_whole_pictures = [this](const std::string& copy, bool tidy) {
    int pictures = 0;
    for (const auto& [path, bytes] : primary_files(copy)) {
      const std::string name = std::filesystem::path(path).filename().string();
      if (("/" + path).find("/logs") != std::string::npos) {
        continue;
      }
      EXPECT_TRUE(!tidy || name.ends_with(".JPG") || name == "reboot_log.txt") << path;
      if (name.ends_with(".JPG")) {
        ++pictures;
        std::string output;
        EXPECT_EQ(sim::card::run_program(
                      {"djpeg", "-outfile", "/dev/null", copy + "/primary/" + path}, &output),
                  0)
            << path << ": " << output;
      }
    }
    return pictures;
  };
  expect_only_whole_pictures(dir_.path() + "/after-cut", false);

  board_->pass_time_asleep(std::chrono::minutes(10));
  wake(sim::WakeReason::kPir);
  EXPECT_TRUE(board_->mcu().wait_received("isp_ready_to_sleep_request", 1, kPatience));
  ASSERT_TRUE(board_->wait_power_off(kPatience));
  EXPECT_GE(expect_only_whole_pictures(dir_.path() + "/next-wake", true), 2);
}

// A card whose lock switch is on: the camera stores nothing and still goes to sleep; with the
// switch slid back the next wake-up's photo is stored beside the owner's files, which the
// locked wake-up left as they were.
TEST_F(CardOnTheBoard, WriteProtectedCardIsLeftAsItWasAndTheNextWakeUpStoresItsPhoto) {
  make_board();
  std::string error;
  ASSERT_EQ(card().insert_formatted("8G", 2, &error), 0) << error;
  const std::string source = dir_.path() + "/photo";
  std::ofstream(source) << "the owner's photo";
  ASSERT_NO_FATAL_FAILURE(copy_to_card(1, source, "/DCIM/100DSCIM/PICT0001.JPG"));
  const auto before = primary_files(dir_.path() + "/before");

  ASSERT_EQ(card().set_read_only(1, true, &error), 0) << error;
  EXPECT_NE(run_until_asleep(sim::WakeReason::kPir).find("ERROR : SD CARD IS READ ONLY:"),
            std::string::npos);
  EXPECT_EQ(primary_files(dir_.path() + "/locked"), before);

  ASSERT_EQ(card().set_read_only(1, false, &error), 0) << error;
  board_->pass_time_asleep(std::chrono::minutes(10));
  run_until_asleep(sim::WakeReason::kPir);
  const auto after = primary_files(dir_.path() + "/unlocked");
  EXPECT_EQ(after.at("DCIM/100DSCIM/PICT0001.JPG"), "the owner's photo");
  EXPECT_TRUE(after.count("DCIM/100DSCIM/PICT0002.JPG")) << "the new photo";
}

TEST_F(CardOnTheBoard, FullCardLosesItsOldestPhotosWithTheirCopiesAtPowerDown) {
  make_board();
  std::string error;
  ASSERT_EQ(card().insert_formatted("8G", 2, &error), 0) << error;
  // Three photos of 60 MiB with their copies; freeing the default minimum of 100 MiB takes
  // the two oldest, and only if their HD and TRANSMIT copies go with them.
  std::vector<std::string> media;
  for (const char* number : {"0001", "0002", "0003"}) {
    for (const char* path : {"/DCIM/100DSCIM/PICT", "/DCIM/100DSCIM/HD", "/TRANSMIT/PICT"}) {
      media.push_back(std::string(path) + number + ".JPG");
    }
  }
  const std::string source = dir_.path() + "/media";
  std::ofstream{source}.close();
  std::filesystem::resize_file(source, 20 << 20);
  for (const std::string& file : media) {
    ASSERT_NO_FATAL_FAILURE(copy_to_card(1, source, file));
  }
  ASSERT_EQ(card().change(1, VolumeChange::kFill, &error), 0) << error;

  const std::string log = run_until_asleep(sim::WakeReason::kPir);
  // Photo 1 with its copies, then photo 2 with its copies.
  EXPECT_LT(log.find("File removed successfully : /sdcard/primary/TRANSMIT/PICT0001.JPG"),
            log.find("File removed successfully : /sdcard/primary/DCIM/100DSCIM/PICT0002.JPG"));
  // The capture mounts the card; the pass runs on it and ends before the ready-to-sleep.
  const std::size_t pass = log.find("SD monitor thread started");
  EXPECT_LT(log.find("SD-card mounted correctly"), pass);
  EXPECT_LT(pass, log.find("SD Monitoring completed"));
  EXPECT_LT(log.find("SD Monitoring completed"),
            log.find("ISP to MCU - MCU_REQ_SET_ISP_READY_TO_SLEEP"));
  // The end-of-run report copies the card out and gives fsck.fat -n's verdict on it.
  const std::string report =
      scenario_test::printed([this](FILE* out) { board_->report_parts(out); });
  EXPECT_NE(report.find("mmcblk0p1: clean,"), std::string::npos) << report;
  EXPECT_NE(report.find("mmcblk0p2: clean,"), std::string::npos) << report;
  const std::string primary = dir_.path() + "/run/card/primary";
  for (std::size_t i = 0; i < media.size(); ++i) {
    EXPECT_EQ(std::filesystem::exists(primary + media[i]), i >= 6) << media[i];
  }
}

}  // namespace
