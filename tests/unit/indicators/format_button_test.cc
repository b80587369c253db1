#include <string>

#include "app/indicators/indicators.h"
#include "app/storage/sd_card.h"
#include "app/system/core/status_led.h"

#include "tests/unit/indicators/indicator_fixture.h"

using namespace indicator_test;

namespace {

TEST(FormatButtonMonitor, OnlyTwentyConsecutiveLowSamplesAskForAFormat) {
  const auto low = [](int n) { return std::string(n, '0'); };
  const struct {
    std::string samples;  // 0 pressed, 1 released, one per 250 ms
    int fires_at;         // 1-based sample that completes the hold, 0 for none
  } cases[] = {
      {low(19), 0},                                  // 4.75 s
      {low(20), 20},                                 // 5 s
      {low(10) + "1" + low(20), 31},                 // a release restarts the count
      {"11111" + low(19) + "1" + low(19) + "1", 0},  // never 20 in a row
  };
  for (const auto& c : cases) {
    FormatButtonMonitor monitor;
    int fired = 0;
    for (size_t i = 0; i < c.samples.size() && fired == 0; ++i) {
      if (format_button_sample(monitor, c.samples[i] - '0')) {
        fired = static_cast<int>(i) + 1;
      }
    }
    EXPECT_EQ(fired, c.fires_at) << c.samples;
  }
}

class FormatDisplay : public IndicatorTest {
 protected:
  void SetUp() override {
    IndicatorTest::SetUp();
    statusLedRed = STATUS_LED_OFF;
    statusLedGreen = STATUS_LED_OFF;
    sysInfo->fsckOngoing = 0;
    sysInfo->sdCheckRequest = 0;
    formatLedShown = 0;
  }
};

// The SD LEDs show the format's result; after a success the status LED follows power and card.
TEST_F(FormatDisplay, TheSdLedsShowTheResultAndTheStatusLedPowerAndCard) {
  const struct {
    int result, sd;
    uint32_t charge;
    int signal;
    uint32_t sdRed, sdGreen;
    int red, green;
  } cases[] = {
      {-1, SD_MOUNTED, 80, 3, LED_BLINK, LED_OFF, STATUS_LED_ON, STATUS_LED_OFF},
      {0, SD_FAULT, 80, 3, LED_OFF, LED_ON, STATUS_LED_OFF, STATUS_LED_ON},
      {0, SD_PRIMARY_AWAY, 80, 3, LED_OFF, LED_ON, STATUS_LED_BLINK, STATUS_LED_OFF},
      {0, SD_MOUNTED, 10, 0, LED_OFF, LED_ON, STATUS_LED_OFF, STATUS_LED_BLINK},
  };
  for (const auto& c : cases) {
    SCOPED_TRACE("card state " + std::to_string(c.sd) + ", format " + std::to_string(c.result));
    statusLedRed = STATUS_LED_OFF;
    statusLedGreen = STATUS_LED_OFF;
    formatLedShown = 0;
    format_result = c.result;
    sdState = c.sd;
    batteryPercent = c.charge;
    cameraConfig->signalStrength = c.signal;
    EXPECT_EQ(format_and_show(), c.result);
    EXPECT_EQ(ledStates[LED_SD_RED].mode, c.sdRed);
    EXPECT_TRUE(c.result == 0 || ledStates[LED_SD_RED].continuous == 1u) << "blinks until shown";
    EXPECT_EQ(ledStates[LED_SD_GREEN].mode, c.sdGreen);
    EXPECT_EQ(statusLedRed, c.red);
    EXPECT_EQ(statusLedGreen, c.green);
  }
  EXPECT_EQ(formats, 4);
}

TEST_F(FormatDisplay, WaitsForACheckOfTheCardToEnd) {
  sysInfo->fsckOngoing = 1;
  onSleep = [](uint32_t) {
    if (clockMs >= 2000) {
      sysInfo->fsckOngoing = 0;
    }
    if (sysInfo->fsckOngoing) {
      EXPECT_EQ(formats, 0) << "formatted while the card was checked";
    }
  };
  format_and_show();
  EXPECT_EQ(formats, 1);
  EXPECT_GE(clockMs, 2000u);
}

}  // namespace
