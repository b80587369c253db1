// One sync of a model-6 camera on the board: the server pauses the camera, a PIR detection lights
// the warning light and someone holds the format button, which only a first boot listens to.
#include <chrono>
#include <string>
#include <vector>

#include <gtest/gtest.h>

#include "sim/camsim/scenario.h"
#include "sim/camsim/scenario_runner.h"

#include "camera_on_board.h"

namespace {

using sim::board::BoardEvent;
using sim::board::EventKind;
using std::chrono::milliseconds;

constexpr std::string_view kStory = R"(title model 6 sync with a pause query and a PIR
date 2024-06-01 12:00:00
speed 10
card formatted 8G 2
tag dovu orve_model 6
tag warn_led warn_active 1
tag warn_led warn_duration 3
tag warn_led warn_mtm 1
tag warn_led warn_pattern 0
tag warn_led warn_closemech 0
modem query 6
server config pauseCameraConfig.epoch 1717286400
server config pauseCameraConfig.duration 3600
wake sync for 180s
at 2s format-button hold 6s
at 6s pir
)";

struct Seen {
  std::vector<BoardEvent> events;

  // Positions in the record of the serial messages `member`; `detail` gets the last one's.
  std::vector<std::size_t> at(std::string_view member, std::string* detail = nullptr) const {
    std::vector<std::size_t> found;
    for (std::size_t i = 0; i < events.size(); ++i) {
      if (events[i].field("member") == member) {
        found.push_back(i);
        if (detail != nullptr) {
          *detail = events[i].field("detail");
        }
      }
    }
    return found;
  }
};

TEST(IndicatorsOnTheBoard, PauseReachesTheMcuAndTheWarningLightOwnsItsLine) {
  sim::camsim::Scenario scenario;
  std::string error;
  ASSERT_EQ(sim::camsim::parse_scenario(kStory, "indicators", &scenario, &error), 0) << error;
  scenario_test::TempDir dir;
  sim::camsim::RunOptions options;
  options.runDir = dir.path() + "/run";
  Seen seen;
  options.listener = [&seen](const BoardEvent& event) { seen.events.push_back(event); };
  sim::camsim::RunResult result;
  ASSERT_EQ(sim::camsim::run_scenario(scenario, options, &result, &error), 0) << error;
  ASSERT_EQ(result.poweredOffByMcu, 1);

  // The pause of the server's configuration reaches the MCU, and the query is answered, done,
  // before the camera asks the Modem to shut down.
  std::string config;
  ASSERT_FALSE(seen.at("set_camera_configuration_request", &config).empty());
  EXPECT_NE(config.find("epoch: 1717286400"), std::string::npos) << config;
  EXPECT_NE(config.find("duration: 3600"), std::string::npos) << config;
  std::string answer;
  const std::vector<std::size_t> answered = seen.at("set_server_instant_query_response", &answer);
  const std::vector<std::size_t> shutdown = seen.at("set_server_next_action_request");
  ASSERT_EQ(answered.size(), 1u);
  ASSERT_FALSE(shutdown.empty());
  EXPECT_LT(answered[0], shutdown.back());
  EXPECT_NE(answer.find("queryType: 6 queryProcessed: true queryResult: true"), std::string::npos)
      << answer;

  // GPIO 42 is the warning light's alone on this model: it rises once, for the one lighting,
  // and is low again before the camera asks the MCU for sleep.
  struct Change {
    std::size_t index;
    milliseconds at;
    std::string to;
  };
  std::vector<Change> line42;
  for (std::size_t i = 0; i < seen.events.size(); ++i) {
    const BoardEvent& event = seen.events[i];
    if (event.kind == EventKind::kPart && event.part == "gpio" && event.field("line") == "42" &&
        event.field("what") == "value") {
      line42.push_back({i, event.elapsed, event.field("to")});
    }
  }
  ASSERT_EQ(line42.size(), 2u);
  EXPECT_EQ(line42[0].to, "1");
  EXPECT_EQ(line42[1].to, "0");
  // Three seconds of light, on the board clock.
  EXPECT_GE(line42[1].at - line42[0].at, milliseconds(2900));
  const std::vector<std::size_t> sleep = seen.at("isp_ready_to_sleep_request");
  ASSERT_FALSE(sleep.empty());
  EXPECT_GT(sleep.front(), line42[1].index);

  // The button held for six seconds outside a first boot formats nothing.
  const std::string console = scenario_test::read_file(options.runDir + "/wake-01/console.log");
  EXPECT_EQ(console.find("FORMAT BUTTON MONITOR THREAD STARTED"), std::string::npos);
  EXPECT_EQ(console.find("Format button pressed"), std::string::npos);
}

}  // namespace
