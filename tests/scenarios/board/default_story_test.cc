// camsim's default story end to end: a time-lapse wake-up and a PIR wake-up on a fresh board,
// and the run folder it leaves.
#include <algorithm>
#include <string>
#include <vector>

#include <gtest/gtest.h>

#include "sim/camsim/stories.h"

#include "camera_on_board.h"

namespace {

using sim::board::BoardEvent;
using sim::board::EventKind;

TEST(DefaultStory, RunsBothWakeUpsAndLeavesTheRunFolder) {
  const sim::camsim::Story* story = sim::camsim::find_story("default");
  ASSERT_NE(story, nullptr);
  scenario_test::TempDir dir;
  const std::string runDir = dir.path() + "/run";
  const auto [seen, result, reports] = scenario_test::run_story(story->text, runDir);

  EXPECT_EQ(result.wakeUps, 2);
  EXPECT_EQ(result.poweredOffByMcu + result.cutByScenario, 2);
  EXPECT_EQ(result.cameraExits, 0);

  std::vector<BoardEvent> wakes;
  for (const BoardEvent& event : seen) {
    if (event.kind == EventKind::kWake) {
      wakes.push_back(event);
    }
  }
  ASSERT_EQ(wakes.size(), 2u);
  EXPECT_EQ(wakes[0].field("reason"), "timelapse");
  EXPECT_EQ(wakes[0].field("boot_reason"), "0");
  EXPECT_EQ(wakes[1].field("reason"), "pir");
  EXPECT_EQ(wakes[1].field("boot_reason"), "1");
  // Ten minutes asleep between them, on the camera's clock.
  EXPECT_GE(wakes[1].boardEpochMs - wakes[0].boardEpochMs, 600000);
  // The listener saw what the record file holds, in the same order.
  const std::string record = scenario_test::read_file(runDir + "/record.jsonl");
  EXPECT_EQ(std::count(record.begin(), record.end(), '\n'), std::ssize(seen));
  // Board time since the start never runs backwards in the record (the camera's date may: it
  // sets its clock from the MCU's, in whole seconds).
  for (std::size_t i = 1; i < seen.size(); ++i) {
    EXPECT_LE(seen[i - 1].elapsed, seen[i].elapsed) << seen[i - 1].text << " / " << seen[i].text;
  }

  for (const char* kept : {"/config/cam.cfg", "/tagstore.bin", "/wake-01/console.log",
                           "/wake-01/app.log", "/wake-01/cmdline", "/wake-02/console.log"}) {
    EXPECT_TRUE(std::filesystem::exists(runDir + kept)) << kept;
  }
  EXPECT_FALSE(std::filesystem::exists(runDir + "/wake-01/tmp"));
  // The second start loads the configuration the first one wrote.
  const std::string second = scenario_test::read_file(runDir + "/wake-02/console.log");
  EXPECT_NE(second.find("Device configuration loaded successfully"), std::string::npos);
  EXPECT_EQ(second.find("Config: Creating config files with defaults"), std::string::npos);
  EXPECT_EQ(second.find("Config: Failed to load primary configuration"), std::string::npos);
}

}  // namespace
