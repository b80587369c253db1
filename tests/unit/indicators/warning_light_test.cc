#include "app/indicators/leds/warning_light.h"

#include "app/indicators/leds/led_requests.h"
#include "app/records/boot_tags.h"

#include "tests/unit/indicators/indicator_fixture.h"

using namespace indicator_test;

namespace {

constexpr int kWarningGpio = 42;

TEST(WarningExtend, TheTotalNeverExceedsDurationTimesMultiplier) {
  const struct {
    uint32_t duration, max_total, elapsed, expected;
  } cases[] = {{15, 75, 0, 15}, {15, 75, 60, 15}, {15, 75, 65, 10},
               {15, 75, 75, 0}, {15, 75, 80, 0},  {15, 0, 0, 0}};
  for (const auto& c : cases) {
    EXPECT_EQ(warning_extend_seconds(c.duration, c.max_total, c.elapsed), c.expected)
        << c.elapsed << " s shown";
  }
}

class WarningLight : public IndicatorTest {
 protected:
  void SetUp() override {
    IndicatorTest::SetUp();
    warning_led_init_locks();
    warning_led_remaining(0, false);
    warning_led_trigger(0);
    warnElapsed = 0;
    warnEnabled = 1;
    sysInfo->readyToSleepRequested = 0;
    sysInfo->warnLightHolding = 0;
    sysInfo->pirAccepted = 1;
    warnLightAllowed = 1;
    bootTags.warnActive = 1;
    bootTags.warnPattern = 0;
  }

  // The timer thread on the board clock: the pattern thread's 100 ms steps run inside its
  // sleeps, and `at` (board ms -> action) lets the camera act meanwhile. Records when the
  // light first went off and when holding ended.
  void run_timer(int32_t closing, uint32_t duration, uint32_t multiplier,
                 std::vector<std::pair<uint64_t, std::function<void()>>> at) {
    bootTags.warnClosingMechanism = closing;
    bootTags.warnDuration = static_cast<int32_t>(duration);
    bootTags.warnMaxTimeMultiplicator = static_cast<int32_t>(multiplier);
    onSleep = [this, at](uint32_t ms) {
      for (uint32_t step = 0; step < ms; step += 50) {
        const uint64_t now = clockMs - ms + step + 50;
        if (now % 100 == 0) {
          const bool was_lit = pattern_.lit;
          warning_pattern_step(pattern_, 0, record_write);
          if (was_lit && !pattern_.lit && lightOffMs_ == 0) {
            lightOffMs_ = now;
          }
        }
        if (sysInfo->warnLightHolding) {
          holdEndMs_ = now;
        }
        for (const auto& [when, action] : at) {
          if (when == now) {
            action();
          }
        }
      }
      if (clockMs > 200000) {  // a runaway timer ends the test instead of hanging it
        sysInfo->readyToSleepRequested = 1;
      }
    };
    warning_timer_thread(nullptr);
  }

  WarningPattern pattern_;
  uint64_t lightOffMs_ = 0;
  uint64_t holdEndMs_ = 0;
};

TEST_F(WarningLight, SteadyAndBlinkingPatterns) {
  for (uint32_t blinking : {0u, 1u}) {
    writes.clear();
    warning_led_remaining(2, false);
    WarningPattern pattern;
    for (int step = 0; step < 21; ++step) {
      warning_pattern_step(pattern, blinking, record_write);
    }
    std::string levels;
    for (auto [gpio, level] : writes) {
      EXPECT_EQ(gpio, kWarningGpio);
      levels += static_cast<char>('0' + level);
    }
    EXPECT_EQ(levels, blinking ? "111110000011111000000" : "111111111111111111110");
    EXPECT_EQ(warning_led_remaining(0, true), 0u);
    EXPECT_EQ(warnElapsed, 0u) << "reset once the light is off";
  }
}

TEST_F(WarningLight, HoldingDelaysReadyToSleepUntilTheLightingEnds) {
  warning_led_trigger(1);
  run_timer(WARN_CLOSE_HOLD, 3, 5, {{1000, [] { sysInfo->readyToSleepRequested = 1; }}});
  EXPECT_GE(holdEndMs_, 2900u);
  EXPECT_LE(holdEndMs_, 3300u);
  EXPECT_EQ(sysInfo->warnLightHolding, 0);
  EXPECT_EQ(warnEnabled, 0) << "the light is done for good after ready-to-sleep";
}

TEST_F(WarningLight, ReadyToSleepCutsAOnceLightingShort) {
  warning_led_trigger(1);
  run_timer(WARN_CLOSE_ONCE, 10, 5, {{2000, [] { sysInfo->readyToSleepRequested = 1; }}});
  EXPECT_EQ(warning_led_remaining(0, true), 0u);
  EXPECT_LE(clockMs, 2500u);
  EXPECT_EQ(holdEndMs_, 0u) << "only the holding mechanism holds ready-to-sleep";
}

TEST_F(WarningLight, RetriggersExtendWithinTheMultipliedTotal) {
  // Duration 3 s, at most 6 s in all: triggers at 0, 2 and 4 s keep it lit until 6 s.
  warning_led_trigger(1);
  auto retrigger = [] { warning_led_trigger(1); };
  run_timer(
      WARN_CLOSE_EXTEND, 3, 2,
      {{2000, retrigger}, {4000, retrigger}, {9000, [] { sysInfo->readyToSleepRequested = 1; }}});
  EXPECT_GE(lightOffMs_, 5900u);
  EXPECT_LE(lightOffMs_, 6300u);
}

// A good card check allows the light with the gauge valid, a charge of 15 % or more and the
// light on in the configuration; otherwise it withholds it.
TEST_F(WarningLight, TheCardCheckAllowsItOnlyWithChargeAndTheSettingOn) {
  const struct {
    uint8_t gaugeValid;
    uint32_t charge;
    int32_t setting;
    uint8_t allowed;
  } cases[] = {{1, 15, 1, 1}, {1, 100, 1, 1}, {1, 14, 1, 0}, {1, 80, 0, 0}, {0, 80, 1, 0}};
  cameraConfig->fuelGaugeIndex = 1;
  for (const auto& c : cases) {
    sysInfo->fuelGaugeValid = c.gaugeValid;
    cameraConfig->fuelGauge[1].batteryPercent = c.charge;
    cameraConfig->warning_light_stat = c.setting;
    warnLightAllowed = 1 - c.allowed;
    EXPECT_EQ(allow_warning_light_if_charged(), c.allowed) << c.charge << " % " << c.setting;
    EXPECT_EQ(warnLightAllowed, c.allowed);
  }
}

TEST_F(WarningLight, NoLightingWithoutAnAcceptedDetectionOrWhileNotAllowed) {
  for (const bool accepted : {false, true}) {
    SetUp();
    sysInfo->pirAccepted = accepted ? 1 : 0;
    warnLightAllowed = accepted ? 0 : 1;
    warning_led_trigger(1);
    run_timer(WARN_CLOSE_HOLD, 3, 5, {{1000, [] { sysInfo->readyToSleepRequested = 1; }}});
    EXPECT_EQ(lightOffMs_, 0u);
    EXPECT_EQ(warning_led_remaining(0, true), 0u);
    EXPECT_EQ(warnTrigger, 1u) << "the request stays pending";
  }
}

}  // namespace
