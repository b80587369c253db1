// camera_app on the board with what the application has today: it starts, logs, feeds the
// watchdog, sends nothing it should not, and repairs a damaged tag store on a capture boot.
#include <string>
#include <vector>

#include <gtest/gtest.h>

#include "sim/board/board.h"
#include "sim/tagstore/tag_store.h"

#include "camera_on_board.h"

namespace {

using scenario_test::kPatience;
using scenario_test::read_file;
using sim::board::BoardEvent;
using sim::board::EventKind;

class CameraAppOnTheBoard : public scenario_test::CameraOnTheBoard {
 protected:
  void make(sim::board::BoardSetup setup = {}) {
    // Three keep-alive periods: only a camera that stopped feeding the watchdog gets there.
    setup.watchdogLimitMs = 15000;
    CameraOnTheBoard::make(setup);
    // The camera stays up as long as the MCU does not answer its ready-to-sleep.
    board_->mcu().add_fault(
        {.kind = sim::McuFaultKind::kNoAnswer, .member = "isp_ready_to_sleep_request"});
  }
};

TEST_F(CameraAppOnTheBoard, StartsLogsFeedsTheWatchdogAndSendsNothingItShouldNot) {
  make();
  wake(sim::WakeReason::kTimelapse);
  ASSERT_TRUE(wait_part("watchdog", "keepalive", 4)) << "keep-alives reach the watchdog daemon";
  EXPECT_TRUE(board_->powered()) << "the camera is still up, waiting for the MCU";
  power_off();

  const std::string console = wake_file(1, "console.log");
  EXPECT_NE(console.find("boot_reason : 0 , "), std::string::npos) << "the tags were read";
  // The board's date is the camera's: the log's time stamps are in June 2024.
  EXPECT_EQ(console.rfind("2024-06-01 12:00:", 0), 0u) << console.substr(0, 80);

  EXPECT_EQ(scenario_test::count(*board_, "watchdog", "message"), 0u)
      << "the keep-alive is the only type sent";
  EXPECT_EQ(scenario_test::count(*board_, "watchdog", "gap"), 0u);
  EXPECT_EQ(scenario_test::count(*board_, EventKind::kCameraExit), 0u);
  // A fresh board gets its configuration written, the backup alike.
  const std::string saved = read_file(board_->run_dir() + "/config/cam.cfg");
  EXPECT_FALSE(saved.empty());
  EXPECT_EQ(read_file(board_->run_dir() + "/config/cam_backup.cfg"), saved);

  // In the record's order: the state the camera is in when it sends each message.
  std::string state = "STATE_INIT";
  for (const BoardEvent& event : board_->record().events()) {
    if (event.kind == EventKind::kState) {
      state = event.field("to");
      continue;
    }
    if (event.kind != EventKind::kSerial) {
      continue;
    }
    const std::string direction = event.field("direction");
    EXPECT_NE(direction, "camera->modem") << "the Modem is off: " << event.text;
    if (direction != "camera->mcu") {
      continue;
    }
    const std::string member = event.field("member");
    EXPECT_FALSE(member.empty()) << "bytes that make no message: " << event.text;
    EXPECT_TRUE(member.ends_with("_request"))
        << "the MCU sent no notification to answer: " << event.text;
    if (member == "isp_ready_to_sleep_request") {
      EXPECT_EQ(state, "STATE_POWERDOWN") << "ready to sleep only from the power-down state";
    }
  }
  for (const BoardEvent& gpio : board_->record().events("gpio")) {
    if (gpio.field("driven") == "true") {
      continue;  // the board itself set the line (the format button released)
    }
    EXPECT_NE(gpio.field("input"), "true") << "the camera drove one of its inputs: " << gpio.text;
  }
  EXPECT_FALSE(scenario_test::has_sanitizer_report(wake_file(1, "stderr.log")))
      << wake_file(1, "stderr.log");
}

TEST_F(CameraAppOnTheBoard, RepairsADamagedTagStoreOnACaptureBootAndTheNextBootIsClean) {
  sim::board::BoardSetup setup;
  setup.tagStoreDamaged = true;
  make(setup);
  wake(sim::WakeReason::kPir);
  ASSERT_TRUE(wait_part("watchdog", "keepalive", 1)) << "start-up got past the tags";
  power_off();

  EXPECT_NE(board_->last_cmdline().find("[1],[0],[1],"), std::string::npos)
      << "boot reason 1, tag_corrupt 1: " << board_->last_cmdline();
  const std::string console = wake_file(1, "console.log");
  EXPECT_NE(console.find("Tag partition is corrupted"), std::string::npos) << console;
  // The write-backs (their keys are the boot tag tests' business) are in the record as they
  // happened, before the power cut.
  int written = 0;
  bool cut = false;
  for (const BoardEvent& event : board_->record().events()) {
    cut = cut || event.kind == EventKind::kPowerCut;
    if (event.kind == EventKind::kPart && event.part == "tagstore") {
      EXPECT_FALSE(cut) << event.text;
      ++written;
    }
  }
  EXPECT_GE(written, 5);
  EXPECT_TRUE(sim::tagstore::read_tag_env(board_->tag_store_path()).has_value())
      << "the store holds tags again";

  // The repaired store survives the power cut: the next boot's tags are clean.
  wake(sim::WakeReason::kTimelapse);
  ASSERT_TRUE(wait_part("watchdog", "keepalive", 2));
  power_off();
  EXPECT_NE(board_->last_cmdline().find("[0],[0],[0],"), std::string::npos)
      << board_->last_cmdline();
  EXPECT_EQ(wake_file(2, "console.log").find("Tag partition is corrupted"), std::string::npos);
}

}  // namespace
