// The season's plan: the same seed gives the same season, every wake-up is a scenario the
// board reads, and the profile's rates decide which faults come.
#include "sim/season/season_plan.h"

#include <algorithm>
#include <string>

#include <gtest/gtest.h>

#include "sim/camsim/scenario.h"

namespace sim::season {
namespace {

Profile profile_with(const std::string& extra) {
  Profile profile;
  std::string error;
  const std::string text = std::string(default_profile_text()) + extra;
  EXPECT_EQ(parse_profile(text, "test", &profile, &error), 0) << error;
  return profile;
}

TEST(SeasonPlan, TheSameSeedGivesTheSameSeasonAndEveryWakeUpIsAScenario) {
  const Profile profile = profile_with("");
  const SeasonPlan plan = plan_season(profile, 42, 6);
  EXPECT_EQ(plan_text(plan), plan_text(plan_season(profile, 42, 6)));
  EXPECT_NE(plan_text(plan), plan_text(plan_season(profile, 43, 6)));
  // A longer season starts with the shorter one's days.
  const SeasonPlan longer = plan_season(profile, 42, 7);
  ASSERT_GT(longer.wakes.size(), plan.wakes.size());
  EXPECT_EQ(wake_scenario_text(longer.wakes[3]), wake_scenario_text(plan.wakes[3]));

  int syncs = 0;
  int64_t last = 0;
  int lastLimit = 0;
  for (const PlannedWake& wake : plan.wakes) {
    sim::camsim::Scenario scenario;
    std::string error;
    ASSERT_EQ(sim::camsim::parse_scenario(wake_scenario_text(wake), "wake", &scenario, &error), 0)
        << error << "\n"
        << wake_scenario_text(wake);
    ASSERT_EQ(scenario.steps.size(), 1u);
    // In time order, each after the budget of the one before; events within the budget.
    EXPECT_GE(wake.epochMs, last + lastLimit * 1000LL);
    for (const TimedLine& event : wake.events) {
      EXPECT_LT(event.atMs, wake.limitS * 1000LL) << wake_scenario_text(wake);
    }
    last = wake.epochMs;
    lastLimit = wake.limitS;
    syncs += wake.kind == WakeKind::kSync ? 1 : 0;
  }
  EXPECT_EQ(syncs, 6);  // one daily sync a day
}

TEST(SeasonPlan, TheProfileDecidesWhichFaultsComeAndWhere) {
  std::string none;
  for (const FaultInfo& info : kFaults) {
    none += "season fault " + std::string(info.name) + " 0\n";
  }
  // Only the Modem without signal, always: in every sync and in nothing else.
  const SeasonPlan noSignal =
      plan_season(profile_with(none + "season fault modem-no-signal 1\n"), 5, 4);
  // Nothing at all.
  const SeasonPlan quiet = plan_season(profile_with(none), 5, 4);
  for (const PlannedWake& wake : noSignal.wakes) {
    const bool sync = wake.kind == WakeKind::kSync || wake.kind == WakeKind::kQuery;
    EXPECT_EQ(wake.faults.size(), sync ? 1u : 0u) << wake_scenario_text(wake);
    EXPECT_EQ(std::count(wake.before.begin(), wake.before.end(), "modem searching forever"),
              sync ? 1 : 0);
  }
  for (const PlannedWake& wake : quiet.wakes) {
    EXPECT_TRUE(wake.faults.empty()) << wake_scenario_text(wake);
  }
  // Power cuts always: a cut at a moment within each wake-up.
  const SeasonPlan cuts = plan_season(profile_with(none + "season fault power-cut 1\n"), 5, 2);
  for (const PlannedWake& wake : cuts.wakes) {
    EXPECT_EQ(std::count_if(wake.events.begin(), wake.events.end(),
                            [](const TimedLine& e) { return e.line == "power-cut"; }),
              1);
  }
  // Deer at the sync: with a share of 1 each daily sync has a PIR while the Modem keeps the
  // card; the share comes from a draw of its own and changes nothing else of the season.
  const SeasonPlan deer = plan_season(profile_with("season deer-at-sync 1\n"), 5, 3);
  const SeasonPlan noDeer = plan_season(profile_with("season deer-at-sync 0\n"), 5, 3);
  ASSERT_EQ(deer.wakes.size(), noDeer.wakes.size());
  for (std::size_t i = 0; i < deer.wakes.size(); ++i) {
    const PlannedWake& wake = deer.wakes[i];
    if (wake.reason != "daily-sync") {
      EXPECT_EQ(wake_scenario_text(wake), wake_scenario_text(noDeer.wakes[i]));
      continue;
    }
    const auto pir = [](const TimedLine& e) { return e.line == "pir"; };
    EXPECT_GE(std::count_if(wake.events.begin(), wake.events.end(), pir), 1);
    EXPECT_EQ(std::count_if(noDeer.wakes[i].events.begin(), noDeer.wakes[i].events.end(), pir), 0);
    EXPECT_NE(wake_scenario_text(wake).find("late-answer return_camera_sd_card_control_request"),
              std::string::npos);
  }
  // Locked cards come from a draw of their own too: locked in every wake-up (the switch locks
  // both partitions), the season is otherwise the same.
  const SeasonPlan locked = plan_season(profile_with("season fault card-readonly 1\n"), 5, 3);
  const SeasonPlan unlocked = plan_season(profile_with("season fault card-readonly 0\n"), 5, 3);
  ASSERT_EQ(locked.wakes.size(), unlocked.wakes.size());
  for (std::size_t i = 0; i < locked.wakes.size(); ++i) {
    std::vector<std::string> before = locked.wakes[i].before;
    EXPECT_EQ(std::erase(before, "card readonly 1"), 1u);
    EXPECT_EQ(std::erase(before, "card readonly 2"), 1u);
    EXPECT_EQ(before, unlocked.wakes[i].before);
    EXPECT_EQ(locked.wakes[i].epochMs, unlocked.wakes[i].epochMs);
  }
  // The day's rhythm: no deer and no time-lapse leaves the daily syncs.
  const SeasonPlan syncsOnly = plan_season(
      profile_with("season pir-per-day 0\nseason timelapse off\nseason queries-per-day 0\n"), 9, 3);
  ASSERT_EQ(syncsOnly.wakes.size(), 3u);
  for (const PlannedWake& wake : syncsOnly.wakes) {
    EXPECT_EQ(wake.reason, "daily-sync");
  }
}

TEST(SeasonPlan, AWrongProfileLineIsNamedWithItsLine) {
  Profile profile;
  std::string error;
  EXPECT_EQ(parse_profile("date 2024-06-01 06:00:00\nseason fault lightning 0.1\n", "p", &profile,
                          &error),
            -1);
  EXPECT_EQ(error, "p:2: unknown fault lightning");
  EXPECT_EQ(parse_profile("season fault power-cut 2\n", "p", &profile, &error), -1);
  EXPECT_NE(error.find("p:1:"), std::string::npos);
  EXPECT_EQ(parse_profile("wake pir for 30s\n", "p", &profile, &error), -1);
  EXPECT_EQ(
      parse_profile("season current ir-leds 400\nseason battery 3000\n", "p", &profile, &error), 0)
      << error;
  EXPECT_EQ(profile.draws[static_cast<int>(Draw::kIrLeds)], 400);
  EXPECT_EQ(profile.batteryMah, 3000);
}

}  // namespace
}  // namespace sim::season
