#include <string>

#include "app/indicators/indicators.h"
#include "app/storage/sd_card.h"
#include "app/system/core/status_led.h"

#include "tests/unit/indicators/indicator_fixture.h"

using namespace indicator_test;

namespace {

class LedManager : public IndicatorTest {
 protected:
  // Ticks `count` times and returns the ticks (1-based) on which `gpio` was written, with levels.
  std::vector<std::pair<int, int>> run_ticks(int count, int gpio, int model = 0) {
    std::vector<std::pair<int, int>> seen;
    for (int tick = 1; tick <= count; ++tick) {
      writes.clear();
      led_manager_tick(counters_, model, record_write);
      for (auto [line, level] : writes) {
        if (line == gpio) {
          seen.emplace_back(tick, level);
        }
      }
    }
    return seen;
  }
  LedTickCounters counters_;
};

using Ticks = std::vector<std::pair<int, int>>;

TEST_F(LedManager, OnAndOffAreWrittenOnlyWhenTheLevelChanges) {
  set_led(LED_SD_GREEN, LED_ON);
  EXPECT_EQ(run_ticks(3, 53), (Ticks{{1, 1}}));
  set_led(LED_SD_GREEN, LED_OFF);
  EXPECT_EQ(run_ticks(3, 53), (Ticks{{1, 0}}));
}

TEST_F(LedManager, ContinuousBlinkTogglesEveryPeriodFromTheFirstTick) {
  set_led_blink(LED_SIGNAL_1, kBlinkPeriodTicks, true, 7);
  EXPECT_EQ(run_ticks(10, 62), (Ticks{{1, 1}, {5, 0}, {9, 1}}));
  EXPECT_EQ(ledStates[LED_SIGNAL_1].remaining, 0u);
}

TEST_F(LedManager, CountedBlinkStopsLowAfterItsToggles) {
  set_led_blink(LED_STATUS, kBlinkPeriodTicks, false, 3);
  EXPECT_EQ(run_ticks(12, 42), (Ticks{{1, 1}, {5, 0}, {9, 1}, {10, 0}, {11, 0}, {12, 0}}));
}

TEST_F(LedManager, LinesThatCannotBlinkAndUnknownModesAreDrivenLowEveryTick) {
  set_led_blink(LED_BATTERY_2, kBlinkPeriodTicks, true);
  ledStates[LED_SD_RED].mode = 7;
  set_led_blink(LED_SIGNAL_5, 0, true);  // a period of 0 never blinks
  EXPECT_EQ(run_ticks(2, 45), (Ticks{{1, 0}, {2, 0}}));
  counters_ = {};
  EXPECT_EQ(run_ticks(2, 52), (Ticks{{1, 0}, {2, 0}}));
  counters_ = {};
  EXPECT_EQ(run_ticks(2, 58), (Ticks{{1, 0}, {2, 0}}));
}

TEST_F(LedManager, TheStatusLineBelongsToTheWarningLightOnItsModel) {
  set_led(LED_STATUS, LED_ON);
  EXPECT_TRUE(run_ticks(2, 42, kModelWithWarningLight).empty());
  EXPECT_EQ(run_ticks(2, 42, 3), (Ticks{{1, 1}}));
}

// Each LED's mode as a letter: n on, f off, b blink.
std::string modes(LedId first, int count) {
  std::string text;
  for (int i = 0; i < count; ++i) {
    text += "nfb?"[std::min<uint32_t>(ledStates[first + i].mode, 3)];
  }
  return text;
}

TEST_F(LedManager, BatteryChargeBands) {
  const struct {
    uint32_t charge;
    const char* leds;
  } cases[] = {{0, "bfff"},  {14, "bfff"}, {15, "nfff"}, {25, "nfff"},  {26, "nnff"}, {50, "nnff"},
               {51, "nnnf"}, {75, "nnnf"}, {76, "nnnn"}, {100, "nnnn"}, {101, "ffff"}};
  sysInfo->state = STATE_SYNC;
  cameraConfig->fuelGaugeIndex = 1;
  for (const auto& c : cases) {
    cameraConfig->fuelGauge[1].batteryPercent = c.charge;
    show_battery_leds();
    EXPECT_EQ(modes(LED_BATTERY_1, 4), c.leds) << c.charge << " %";
    EXPECT_EQ(batteryPercent, c.charge);
  }
  EXPECT_EQ(ledStates[LED_BATTERY_1].period, kBlinkPeriodTicks);
}

TEST_F(LedManager, SignalStrengthAndTheFirstBootWarnings) {
  const struct {
    int strength;
    const char* leds;
  } cases[] = {{0, "bffff"}, {1, "nffff"}, {2, "nnfff"}, {3, "nnnff"}, {4, "nnnnf"}, {5, "nnnnn"}};
  sdState = SD_MOUNTED;
  sysInfo->state = STATE_SYNC;
  for (const auto& c : cases) {
    cameraConfig->signalStrength = c.strength;
    show_signal_leds(1);
    EXPECT_EQ(modes(LED_SIGNAL_1, 5), c.leds) << "strength " << c.strength;
  }
  EXPECT_EQ(modes(LED_SD_GREEN, 2), "nf");  // the card's state follows the signal
  show_signal_leds(0);
  EXPECT_EQ(modes(LED_SIGNAL_1, 5), "bbbbb");

  // No signal or a flat battery during a first boot also light the MCU's red LED.
  sysInfo->state = STATE_FIRSTBOOT;
  statusLedRed = STATUS_LED_OFF;
  cameraConfig->signalStrength = 0;
  show_signal_leds(1);
  EXPECT_EQ(statusLedRed, STATUS_LED_ON);
  statusLedRed = STATUS_LED_OFF;
  cameraConfig->fuelGauge[cameraConfig->fuelGaugeIndex].batteryPercent = 14;
  show_battery_leds();
  EXPECT_EQ(statusLedRed, STATUS_LED_ON);
}

}  // namespace
