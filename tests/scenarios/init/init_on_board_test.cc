// The real camera_app on the board consumes the previous run's records at start-up (the
// MCU exchanges of start-up are covered against the same peer by the link manager's tests).
#include <algorithm>
#include <filesystem>
#include <fstream>
#include <optional>
#include <string>
#include <vector>

#include <gtest/gtest.h>

#include "sim/board/board.h"
#include "sim/tagstore/tag_store.h"

#include "camera_on_board.h"

namespace {

using scenario_test::occurrences;
using scenario_test::read_file;

using InitOnTheBoard = scenario_test::CameraOnTheBoard;

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
  EXPECT_NE(
      read_file(config + "/reboot_log.txt").find("[2024/06/01 12:00:00] - ISP - wdm triggered"),
      std::string::npos);
}

// The boot tags carry the watchdog record (with its epoch); the capture-error record only
// exists as a file. A leftover watchdog file is removed without a second entry.
TEST_F(InitOnTheBoard, RecordsFromTheTagsAndFromConfigAreLoggedOnceAndCleared) {
  sim::board::BoardSetup setup;
  setup.tags = {{"dovu", "wdm_reboot", 1}, {"dovu", "wdm_rebootEpoch", 1717200000}};
  make(setup);
  const std::string config = board_->run_dir() + "/config";
  std::filesystem::create_directories(config);
  std::ofstream(config + "/wdm_file") << "1717243200\n";
  std::ofstream(config + "/cap_error_file") << "1717100000\n";
  wake(sim::WakeReason::kTimelapse);
  ASSERT_TRUE(wait_state("STATE_CAPTURETIMELAPSE"));
  const std::string log = console();

  EXPECT_NE(log.find("WDM was triggered last boot (from tag)."), std::string::npos);
  EXPECT_EQ(log.find("WDM was triggered last boot (from config)."), std::string::npos);
  EXPECT_NE(log.find("Cap error was triggered last boot (from config)."), std::string::npos);
  EXPECT_FALSE(std::filesystem::exists(config + "/wdm_file"));
  EXPECT_FALSE(std::filesystem::exists(config + "/cap_error_file"));

  const std::string reboots = read_file(config + "/reboot_log.txt");
  EXPECT_EQ(occurrences(reboots, "wdm triggered"), 1) << reboots;
  EXPECT_NE(reboots.find("[2024/06/01 00:00:00] - ISP - wdm triggered"), std::string::npos)
      << reboots;
  EXPECT_NE(reboots.find("[2024/05/30 20:13:20] - ISP - cap error reboot"), std::string::npos)
      << reboots;

  std::vector<std::string> tagWrites;
  for (const sim::board::BoardEvent& write : board_->record().events("tagstore")) {
    tagWrites.push_back(write.field("command"));
  }
  EXPECT_NE(std::find(tagWrites.begin(), tagWrites.end(), "--set dovu wdm_reboot 0"),
            tagWrites.end());
  const std::optional<sim::tagstore::TagEnv> tags =
      sim::tagstore::read_tag_env(board_->tag_store_path());
  ASSERT_TRUE(tags.has_value());
  EXPECT_EQ(tags->get("dovu", "wdm_reboot"), 0L) << "the next boot starts clean";
}

}  // namespace
