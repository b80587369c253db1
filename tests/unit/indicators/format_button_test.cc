#include <string>

#include "app/indicators/indicators.h"
#include "app/storage/sd_card.h"
#include "app/system/status_led.h"

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
    cardFormatter = fake_format;
    statusLedRed = STATUS_LED_OFF;
    statusLedGreen = STATUS_LED_OFF;
    sysInfo->fsckOngoing = 0;
    sysInfo->sdCheckRequest = 0;
    formatLedShown = 0;
  }
};

TEST_F(FormatDisplay, AFailedFormatBlinksTheRedSdLed) {
  format_result = -1;
  EXPECT_EQ(format_and_show(), -1);
  EXPECT_EQ(formats, 1);
  EXPECT_EQ(ledStates[LED_SD_RED].mode, LED_BLINK);
  EXPECT_EQ(ledStates[LED_SD_RED].continuous, 1u);
  EXPECT_EQ(ledStates[LED_SD_GREEN].mode, LED_OFF);
  EXPECT_EQ(statusLedRed, STATUS_LED_ON);
}

TEST_F(FormatDisplay, ASuccessLightsGreenAndTheStatusLedFollowsPowerAndCard) {
  const struct {
    int sd;
    uint32_t charge;
    int signal;
    int red, green;
  } cases[] = {
      {SD_FAULT, 80, 3, STATUS_LED_OFF, STATUS_LED_ON},
      {SD_PRIMARY_AWAY, 80, 3, STATUS_LED_BLINK, STATUS_LED_OFF},
      {SD_MOUNTED, 10, 0, STATUS_LED_OFF, STATUS_LED_BLINK},
  };
  for (const auto& c : cases) {
    statusLedRed = STATUS_LED_OFF;
    statusLedGreen = STATUS_LED_OFF;
    formatLedShown = 0;
    sdState = c.sd;
    batteryPercent = c.charge;
    cameraConfig->signalStrength = c.signal;
    EXPECT_EQ(format_and_show(), 0);
    EXPECT_EQ(ledStates[LED_SD_GREEN].mode, LED_ON);
    EXPECT_EQ(ledStates[LED_SD_RED].mode, LED_OFF);
    EXPECT_EQ(statusLedRed, c.red) << "card state " << c.sd;
    EXPECT_EQ(statusLedGreen, c.green) << "card state " << c.sd;
  }
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
