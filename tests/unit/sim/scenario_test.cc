// camsim's scenario files: what a good one means, and that a bad one is refused with the line
// and what is wrong.
#include "sim/camsim/scenario.h"

#include <string>

#include <gtest/gtest.h>

#include "sim/camsim/stories.h"

namespace {

using sim::camsim::EventType;
using sim::camsim::Scenario;
using std::chrono::milliseconds;

constexpr std::string_view kFull = R"(# a comment line
title Two wake-ups   # and a comment after
date 2024-12-24 18:30:00
speed 20
watchdog-limit 15s
tag dovu cap_mode 1
tag-store damaged
tag-store markers 0 1 0
gpio card-detect 1
gpio 63 0
mcu rtc invalid
mcu install-date valid 2023-01-02T03:04:05
mcu version MCU 2.1 beta
mcu camera-state pir 9
mcu adc battery 5 95
mcu adc photodiode absent
mcu fuel-gauge invalid index 2
mcu fuel-gauge-entry 0 1 55 0
mcu fuel-gauge-entry 1 2 66 7
mcu night
mcu wdm-reboot 1700000000
fault mcu drop-answer get_rtc_date_time_request count 2

wake pir adc 300 exp-reuse 1 for 45s
  at 3s gpio format-button 1
  at 1.5s pir
  at 500ms fault mcu late-answer delay 2s
  at 3s note two at three seconds keep their order
asleep 2h
wake timelapse boot-reason 0
  at 1m power-cut
)";

TEST(Scenario, AFullFileMeansWhatItSays) {
  Scenario scenario;
  std::string error;
  ASSERT_EQ(sim::camsim::parse_scenario(kFull, "full", &scenario, &error), 0) << error;
  EXPECT_EQ(scenario.title, "Two wake-ups");
  EXPECT_EQ(scenario.startEpochMs, int64_t{1735065000} * 1000);
  EXPECT_EQ(scenario.speed, 20u);
  EXPECT_EQ(scenario.watchdogLimitMs, 15000);
  ASSERT_EQ(scenario.tags.size(), 1u);
  EXPECT_EQ(scenario.tags[0].value, 1);
  EXPECT_TRUE(scenario.tagStoreDamaged);
  EXPECT_EQ(scenario.markers.tagbk, 0);
  EXPECT_EQ(scenario.markers.riscv_fw, 1);
  EXPECT_EQ(scenario.inputs.at(43), 1);
  EXPECT_EQ(scenario.inputs.at(63), 0);

  const sim::McuSetup& mcu = scenario.mcu;
  EXPECT_FALSE(mcu.rtcValid);
  EXPECT_TRUE(mcu.installDateValid);
  EXPECT_EQ(mcu.installEpoch, 1672628645);
  EXPECT_EQ(mcu.version, "MCU 2.1 beta");
  EXPECT_EQ(mcu.cameraStateFor[static_cast<std::size_t>(sim::WakeReason::kPir)], 9u);
  EXPECT_EQ(mcu.cameraStateFor[static_cast<std::size_t>(sim::WakeReason::kTimelapse)], 5u);
  EXPECT_EQ(mcu.batteryVoltage.whole, 5u);
  EXPECT_EQ(mcu.batteryVoltage.decimal, 95u);
  EXPECT_FALSE(mcu.photodiodeRaw.present);
  EXPECT_FALSE(mcu.fuelGaugeValid);
  EXPECT_EQ(mcu.fuelGaugeIndex, 2u);
  ASSERT_EQ(mcu.fuelGaugeEntries.size(), 2u) << "the first entry replaces the default one";
  EXPECT_EQ(mcu.fuelGaugeEntries[1].batteryPercent, 66u);
  EXPECT_TRUE(mcu.isNight);
  EXPECT_TRUE(mcu.wdmRebooted);
  ASSERT_EQ(scenario.faults.size(), 1u);
  EXPECT_EQ(scenario.faults[0].kind, sim::McuFaultKind::kDropAnswer);
  EXPECT_EQ(scenario.faults[0].member, "get_rtc_date_time_request");
  EXPECT_EQ(scenario.faults[0].count, 2);

  ASSERT_EQ(scenario.steps.size(), 3u);
  const auto& first = scenario.steps[0].wake;
  EXPECT_FALSE(scenario.steps[0].asleep);
  EXPECT_EQ(first.request.reason, sim::WakeReason::kPir);
  EXPECT_EQ(first.request.bootReason, -1);
  EXPECT_EQ(first.request.adc, 300);
  EXPECT_EQ(first.request.expReuse, 1);
  EXPECT_EQ(first.limit, milliseconds(45000));
  ASSERT_EQ(first.events.size(), 4u);
  // In time order; events at the same time keep the file's order.
  EXPECT_EQ(first.events[0].type, EventType::kFault);
  EXPECT_EQ(first.events[0].fault.kind, sim::McuFaultKind::kLateAnswer);
  EXPECT_EQ(first.events[0].fault.delay, milliseconds(2000));
  EXPECT_EQ(first.events[0].fault.member, "");
  EXPECT_EQ(first.events[1].type, EventType::kPir);
  EXPECT_EQ(first.events[1].at, milliseconds(1500));
  EXPECT_EQ(first.events[2].type, EventType::kGpio);
  EXPECT_EQ(first.events[2].line, 63);
  EXPECT_EQ(first.events[3].type, EventType::kNote);
  EXPECT_EQ(first.events[3].text, "two at three seconds keep their order");
  EXPECT_EQ(first.events[3].sourceLine, 28);

  EXPECT_TRUE(scenario.steps[1].asleep);
  EXPECT_EQ(scenario.steps[1].sleepFor, std::chrono::seconds(7200));
  const auto& second = scenario.steps[2].wake;
  EXPECT_EQ(second.request.bootReason, 0);
  EXPECT_EQ(second.limit, milliseconds(60000)) << "the default time of a wake-up";
  ASSERT_EQ(second.events.size(), 1u);
  EXPECT_EQ(second.events[0].type, EventType::kPowerCut);
  EXPECT_EQ(second.events[0].at, milliseconds(60000));
}

struct BadCase {
  const char* text;
  const char* error;  // the whole message must contain this
};

class BadScenario : public ::testing::TestWithParam<BadCase> {};

TEST_P(BadScenario, IsRefusedNamingTheLineAndTheFault) {
  Scenario scenario;
  scenario.title = "untouched";
  std::string error;
  EXPECT_EQ(sim::camsim::parse_scenario(GetParam().text, "bad.txt", &scenario, &error), -1);
  EXPECT_NE(error.find(GetParam().error), std::string::npos) << error;
  EXPECT_EQ(scenario.title, "untouched") << "nothing is given back on failure";
}

INSTANTIATE_TEST_SUITE_P(
    Scenario, BadScenario,
    ::testing::Values(
        BadCase{"speed 10\nwke pir\n", "bad.txt:2: unknown word 'wke'"},
        BadCase{"wake pir\nspeed 10\n", "bad.txt:2: unknown word 'speed' in the story"},
        BadCase{"speed 0\nwake pir\n", "bad.txt:1: the speed must be 1..1000"},
        BadCase{"speed fast\nwake pir\n", "bad.txt:1: 'fast' is not a number"},
        BadCase{"date 2024-02-30 10:00:00\nwake pir\n",
                "bad.txt:1: '2024-02-30 10:00:00' is not a"},
        BadCase{"wake sunrise\n", "bad.txt:1: unknown wake-up reason 'sunrise'"},
        BadCase{"wake pir for 10\n", "bad.txt:1: '10' is not a time"},
        BadCase{"wake pir for\n", "bad.txt:1: 'for' needs a value"},
        BadCase{"at 1s pir\nwake pir\n", "bad.txt:1: 'at' belongs to a wake-up"},
        BadCase{"wake pir\nasleep 1m\nat 1s pir\n", "bad.txt:3: 'at' belongs to a wake-up"},
        BadCase{"wake pir\nat 1s wave\n", "bad.txt:2: unknown event 'wave'"},
        BadCase{"wake pir\nat 1s rtc late\n", "bad.txt:2: 'rtc' takes the form"},
        BadCase{"wake pir\nat 1s pir now\n", "bad.txt:2: 'pir' takes nothing after it"},
        BadCase{"wake pir\nat 1s gpio 42 1\n", "bad.txt:2: '42' is not an input"},
        BadCase{"wake pir\nat 1s gpio 43 2\n", "bad.txt:2: '2' is not a level"},
        BadCase{"wake pir\nat 1s fault mcu late-answer\n", "bad.txt:2: a late-answer fault needs"},
        BadCase{"wake pir\nat 1s fault mcu melt\n", "bad.txt:2: unknown fault 'melt'"},
        BadCase{"wake pir\nat 1s fault modem no-answer\n", "bad.txt:2: a fault takes the form"},
        BadCase{"mcu adc battery 5\nwake pir\n", "bad.txt:1: 'mcu adc' takes the form"},
        BadCase{"mcu colour blue\nwake pir\n", "bad.txt:1: unknown 'mcu' set-up 'colour'"},
        BadCase{"tag dovu cap-mode 1\nwake pir\n", "bad.txt:1: tag names are"},
        BadCase{"tag-store markers 1 x 0\nwake pir\n", "bad.txt:1: 'x' is not a number"},
        BadCase{"tag-store broken\nwake pir\n", "bad.txt:1: 'tag-store' takes the form"},
        BadCase{"# only set-up\nspeed 5\n", "bad.txt: the scenario has no wake-up"},
        BadCase{"asleep 1h\n", "bad.txt: the scenario has no wake-up"}),
    [](const ::testing::TestParamInfo<BadCase>& param) {
      return "case" + std::to_string(param.index);
    });

TEST(Scenario, TheMcuClockStartsAtTheDateUnlessTheSetUpGivesIt) {
  Scenario scenario;
  ASSERT_EQ(
      sim::camsim::parse_scenario("date 2025-03-01 08:00:00\nwake pir\n", "a", &scenario, nullptr),
      0);
  EXPECT_FALSE(scenario.rtcGiven);
  ASSERT_EQ(sim::camsim::parse_scenario(
                "date 2025-03-01 08:00:00\nmcu rtc valid 2020-01-01 00:00:00\nwake pir\n", "b",
                &scenario, nullptr),
            0);
  EXPECT_TRUE(scenario.rtcGiven);
  EXPECT_TRUE(scenario.mcu.rtcValid);
  EXPECT_EQ(scenario.mcu.rtcEpoch, 1577836800);
}

TEST(ScenarioDurations, TakeANumberAndAUnit) {
  milliseconds parsed{0};
  ASSERT_TRUE(sim::camsim::parse_duration("250ms", &parsed));
  EXPECT_EQ(parsed, milliseconds(250));
  ASSERT_TRUE(sim::camsim::parse_duration("1.5s", &parsed));
  EXPECT_EQ(parsed, milliseconds(1500));
  ASSERT_TRUE(sim::camsim::parse_duration("10m", &parsed));
  EXPECT_EQ(parsed, milliseconds(600000));
  ASSERT_TRUE(sim::camsim::parse_duration("2h", &parsed));
  EXPECT_EQ(parsed, milliseconds(7200000));
  for (const char* bad : {"", "s", "5", "-5s", "1.2.3s", "5 s", "5sec", ".s"}) {
    EXPECT_FALSE(sim::camsim::parse_duration(bad, &parsed)) << bad;
  }
}

TEST(ScenarioStories, EveryBuiltInStoryIsAGoodScenario) {
  ASSERT_NE(sim::camsim::find_story("default"), nullptr);
  for (const sim::camsim::Story& story : sim::camsim::built_in_stories()) {
    Scenario scenario;
    std::string error;
    EXPECT_EQ(sim::camsim::parse_scenario(story.text, story.name, &scenario, &error), 0) << error;
    EXPECT_FALSE(scenario.title.empty()) << story.name;
  }
  const sim::camsim::Story* story = sim::camsim::find_story("default");
  Scenario scenario;
  sim::camsim::parse_scenario(story->text, "default", &scenario, nullptr);
  // A time-lapse wake-up, then a PIR wake-up.
  std::vector<sim::WakeReason> reasons;
  for (const auto& step : scenario.steps) {
    if (!step.asleep) {
      reasons.push_back(step.wake.request.reason);
    }
  }
  EXPECT_EQ(reasons, (std::vector{sim::WakeReason::kTimelapse, sim::WakeReason::kPir}));
  EXPECT_EQ(sim::camsim::find_story("no-such-story"), nullptr);
}

}  // namespace
