// One sync of a model-6 camera on the board: the server pauses the camera, a PIR detection lights
// the warning light and someone holds the format button, which only a first boot listens to.
#include <chrono>
#include <string>
#include <vector>

#include <gtest/gtest.h>

#include "camera_on_board.h"

namespace {

using sim::board::BoardEvent;

constexpr std::string_view kStory = R"(title model 6 sync with a pause query and a PIR
date 2024-06-01 12:00:00
card formatted 8G 2
tag dovu orve_model 6
tag warn_led warn_active 1
tag warn_led warn_duration 3
tag warn_led warn_mtm 1
tag warn_led warn_pattern 0
tag warn_led warn_closemech 0
# The light is allowed by the configuration's setting (and the battery's charge, 80 %).
config warning_light_stat 1
modem query 6
# The Modem searches for 10 s first, so the PIR at 6 s comes well after the sync state started
# and well before the server's configuration arrives: a detection during the configuration
# intake is refused without a word, and the light would never rise.
modem searching 5 every 2s
server config pauseCameraConfig.epoch 1717286400
server config pauseCameraConfig.duration 3600
wake sync for 180s
at 2s format-button hold 6s
at 6s pir
)";

TEST(IndicatorsOnTheBoard, PauseReachesTheMcuAndTheWarningLightOwnsItsLine) {
  scenario_test::TempDir dir;
  const auto [seen, result, reports] = scenario_test::run_story(kStory, dir.path() + "/run");
  ASSERT_EQ(result.poweredOffByMcu, 1);

  // Record positions of: the MCU's configuration, the query's answer, the shutdown next action,
  // the ready-to-sleep request, and the level changes of GPIO 42.
  std::string config, answer;
  std::size_t answered = 0, shutdown = 0, sleep = 0;
  std::vector<std::pair<std::size_t, const BoardEvent*>> line42;
  for (std::size_t i = 0; i < seen.size(); ++i) {
    const std::string member = seen[i].field("member");
    if (member == "set_camera_configuration_request") {
      config = seen[i].field("detail");
    } else if (member == "set_server_instant_query_response") {
      answered = i;
      answer = seen[i].field("detail");
    } else if (member == "set_server_next_action_request") {
      shutdown = i;
    } else if (member == "isp_ready_to_sleep_request" && sleep == 0) {
      sleep = i;
    } else if (seen[i].part == "gpio" && seen[i].field("line") == "42" &&
               seen[i].field("what") == "value") {
      line42.emplace_back(i, &seen[i]);
    }
  }
  EXPECT_NE(config.find("pauseCameraConfig { epoch: 1717286400 duration: 3600 }"),
            std::string::npos)
      << config;
  EXPECT_EQ(answer, "queryType: 6 queryProcessed: true queryResult: true");
  EXPECT_LT(answered, shutdown) << "answered before the Modem is told to shut down";

  // GPIO 42 is the warning light's alone on this model: it rises once, for three seconds of
  // board time, and is low again before the camera asks the MCU for sleep.
  ASSERT_EQ(line42.size(), 2u);
  EXPECT_EQ(line42[0].second->field("to"), "1");
  EXPECT_EQ(line42[1].second->field("to"), "0");
  EXPECT_GE(line42[1].second->elapsed - line42[0].second->elapsed, std::chrono::milliseconds(2900));
  EXPECT_GT(sleep, line42[1].first);

  // The button held for six seconds outside a first boot formats nothing.
  const std::string console = scenario_test::read_file(dir.path() + "/run/wake-01/console.log");
  EXPECT_EQ(console.find("FORMAT BUTTON MONITOR THREAD STARTED"), std::string::npos);
  EXPECT_EQ(console.find("Format button pressed"), std::string::npos);
}

}  // namespace
