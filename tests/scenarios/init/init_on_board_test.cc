// The camera learns why it woke: the real camera_app on the board asks the simulated MCU for
// its clock, device information and camera state, and consumes the previous run's records.
#include <filesystem>
#include <fstream>
#include <string>

#include <gtest/gtest.h>

#include "sim/board/board.h"

#include "scenario_board.h"

namespace {

using scenario_test::kPatience;
using scenario_test::read_file;
using sim::board::BoardEvent;
using sim::board::EventKind;

class InitOnTheBoard : public ::testing::Test {
 protected:
  void make(sim::board::BoardSetup setup = {}) {
    setup.runDir = dir_.path() + "/run";
    setup.speed = 5;
    std::string error;
    board_ = sim::board::Board::create(setup, &error);
    ASSERT_NE(board_, nullptr) << error;
  }

  void wake(sim::WakeReason reason) {
    std::string error;
    ASSERT_EQ(board_->wake({reason}, &error), 0) << error;
  }

  bool wait_state(const std::string& state) {
    return board_->record().wait_for(
        [&](const BoardEvent& event) {
          return event.kind == EventKind::kState && event.field("to") == state;
        },
        kPatience);
  }

  std::string console() {
    board_->cut_power("test over");
    EXPECT_TRUE(board_->wait_power_off(kPatience));
    return read_file(board_->wake_dir(1) + "/console.log");
  }

  scenario_test::TempDir dir_;
  std::unique_ptr<sim::board::Board> board_;
};

TEST_F(InitOnTheBoard, InvalidClockIsAskedAgainUntilTheMcuReportsAValidOne) {
  sim::board::BoardSetup setup;
  setup.mcu.rtcValid = false;
  setup.mcuRtcFromDate = false;
  make(setup);
  wake(sim::WakeReason::kTimelapse);

  ASSERT_TRUE(board_->mcu().wait_received("get_rtc_date_time_request", 3, kPatience));
  EXPECT_EQ(board_->mcu().received("get_device_info_request"), 0);
  board_->mcu().set_rtc(true, 1717243200);

  ASSERT_TRUE(wait_state("STATE_CAPTURETIMELAPSE"));
  EXPECT_EQ(board_->mcu().received("get_device_info_request"), 1);
  EXPECT_EQ(board_->mcu().received("get_camera_state_request"), 1);
  const std::string log = console();
  EXPECT_NE(log.find("kvt_MCU2ISP_get_rtc_date_time_response_tag: epoch invalid."),
            std::string::npos);
  EXPECT_NE(log.find("Camera state : STATE_     CAPTURETIMELAPSE "), std::string::npos);
}

TEST_F(InitOnTheBoard, DetectionReportedOnATimeLapseWakeUpGoesToPowerDown) {
  sim::board::BoardSetup setup;
  setup.mcu.cameraStateFor[static_cast<size_t>(sim::WakeReason::kTimelapse)] = 4;
  make(setup);
  wake(sim::WakeReason::kTimelapse);
  ASSERT_TRUE(wait_state("STATE_POWERDOWN"));
  EXPECT_NE(console().find("CAMERA STATE AND BOOT REASON MISMATCH OCCURRED GOING TO POWERDOWN"),
            std::string::npos);
}

TEST_F(InitOnTheBoard, WatchdogRecordOfThePreviousRunIsLoggedAndConsumed) {
  make();
  const std::string config = board_->run_dir() + "/config";
  std::filesystem::create_directories(config);
  std::ofstream(config + "/wdm_file") << "1717243200\n";
  wake(sim::WakeReason::kTimelapse);
  ASSERT_TRUE(wait_state("STATE_CAPTURETIMELAPSE"));
  const std::string log = console();

  EXPECT_NE(log.find("WDM was triggered last boot (from config)."), std::string::npos);
  EXPECT_FALSE(std::filesystem::exists(config + "/wdm_file"));
  EXPECT_NE(read_file(config + "/reboot_log.txt").find("] - ISP - wdm triggered"),
            std::string::npos);
}

}  // namespace
