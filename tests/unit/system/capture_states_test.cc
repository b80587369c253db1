// The decision after a capture (sync or power-down) and when the capture states take it.
#include "app/system/states/capture_states.h"

#include <ctime>
#include <new>
#include <vector>

#include <gtest/gtest.h>

#include "app/capture/capture_flags.h"
#include "app/capture/ir_control.h"
#include "app/config/camera_config.h"
#include "app/indicators/leds/warning_light.h"
#include "app/records/log/app_log.h"
#include "app/storage/sd_card.h"
#include "app/system/core/event_queue.h"
#include "app/system/state_machine.h"
#include "app/system/states/state_handlers.h"

#include "tests/support/shared_records.h"
#include "tests/support/system_fixture.h"

namespace {

class CaptureStatesTest : public test_support::SystemTest {
 protected:
  void SetUp() override {
    SystemTest::SetUp();
    fresh();
  }

  static void fresh() {
    test_support::use_fresh_shared_records();
    captureFlags.~CaptureFlags();
    new (&captureFlags) CaptureFlags();
    reset_ir_control();
    cameraConfig->sync_frequency = 6;
    cameraConfig->installEpoch = time(nullptr) - 3600;
  }

  static void enter(int32_t state) {
    sysInfo->state = state;
    sysInfo->prevState = state;
  }
  static EventMessage mcu_answer(int32_t response) {
    return test_support::event_of_kind(MSG_MCU_RESP, response);
  }
};

struct DecisionCase {
  const char* what;
  int32_t state;
  int32_t syncFrequency;
  uint8_t cellular;
  int32_t instantModeActive;
  long minutesSinceInstall;
  int32_t modemPowered;  // and acknowledged: not asked again
  bool syncDue;
  int32_t syncType;
};

TEST_F(CaptureStatesTest, DecidesBetweenSyncAndPowerDown) {
  const DecisionCase kCases[] = {
      {"sync after every capture", STATE_CAPTURETIMELAPSE, 0, 1, 0, 600, 0, true, 1},
      {"modem already powered", STATE_CAPTURETIMELAPSE, 0, 1, 0, 600, 1, true, 1},
      {"no cellular link", STATE_CAPTURETIMELAPSE, 0, 0, 0, 600, 0, false, 0},
      {"first minutes after install", STATE_CAPTUREDETECTION, 6, 1, 0, 5, 0, true, 1},
      {"install long ago", STATE_CAPTUREDETECTION, 6, 1, 0, 20, 0, false, 0},
      {"instant mode without cellular", STATE_CAPTURETEST, 6, 0, 1, 600, 0, true, 3},
      {"test ignores the install window", STATE_CAPTURETEST, 6, 1, 0, 5, 0, false, 0},
  };
  for (const DecisionCase& decision : kCases) {
    fresh();
    enter(decision.state);
    cameraConfig->sync_frequency = decision.syncFrequency;
    cameraConfig->cellular = decision.cellular;
    cameraConfig->instantModeActive = decision.instantModeActive;
    cameraConfig->installEpoch = time(nullptr) - decision.minutesSinceInstall * 60;
    sysInfo->modemPowered = decision.modemPowered;
    sysInfo->modemPowerAcked = decision.modemPowered;
    after_capture_decision();
    std::vector<int32_t> asked;
    if (decision.syncDue && decision.modemPowered == 0) {
      asked.push_back(MCU_REQ_SET_MODEM_POWER_STATE_ON);
    }
    EXPECT_EQ(mcu_requests_sent(), asked) << decision.what;
    EXPECT_EQ(sysInfo->syncType, decision.syncType) << decision.what;
    EXPECT_EQ(sysInfo->state, decision.syncDue ? decision.state : STATE_POWERDOWN) << decision.what;
  }
}

// The install date's answer decides, except after a night capture on model 1: there the IR
// illumination going off does, once the LEDs no longer draw current.
TEST_F(CaptureStatesTest, InstallDateDecidesUnlessANightCaptureOnModelOneWaitsForTheLight) {
  enter(STATE_CAPTURETIMELAPSE);
  handle_capture_timelapse(mcu_answer(MCU_RESP_GET_RTC_INSTALL_DATE_TIME));
  EXPECT_EQ(sysInfo->state, STATE_POWERDOWN);

  fresh();
  enter(STATE_CAPTUREDETECTION);
  sysInfo->prev_ir_mode = 1;
  sysInfo->orve_model = 1;
  sysInfo->installDateReceived = 1;
  handle_capture_detection(mcu_answer(MCU_RESP_GET_RTC_INSTALL_DATE_TIME));
  EXPECT_EQ(sysInfo->state, STATE_CAPTUREDETECTION);
  set_ir_off_decision(after_capture_decision);
  captureFlags.irLedOn = 1;
  ir_led_off();
  EXPECT_EQ(sysInfo->state, STATE_POWERDOWN);
  set_ir_off_decision(nullptr);
}

TEST_F(CaptureStatesTest, TimelapseAtNightArmsTheCaptureAfterTheFilter) {
  enter(STATE_CAPTURETIMELAPSE);
  sysInfo->day_night_val = 1;
  handle_capture_timelapse(mcu_answer(MCU_RESP_DAY_NIGHT));
  EXPECT_EQ(ir_cut_count(), 1);
  EXPECT_EQ(captureFlags.irFilterSet, 1);
  EXPECT_EQ(captureFlags.captureStart, 1);
  EXPECT_EQ(sysInfo->captureOngoing, 1);
  EXPECT_EQ(sysInfo->captureType, 2);
  EXPECT_EQ(mcu_requests_sent(), std::vector<int32_t>{MCU_REQ_GET_ADC_MONITORING_VALUES});
}

// The battery level arrives after the first card check: a good card's warning light is
// allowed once the level is known, a card that is not mounted allows nothing.
TEST_F(CaptureStatesTest, TheBatteryLevelDecidesTheWarningLightOfAGoodCard) {
  for (const int card : {SD_MOUNTED, SD_FAULT}) {
    fresh();
    enter(STATE_CAPTURETIMELAPSE);
    sdState = card;
    warnLightAllowed = 0;
    sysInfo->fuelGaugeValid = 1;
    cameraConfig->fuelGaugeIndex = 0;
    cameraConfig->fuelGauge[0].batteryPercent = 80;
    cameraConfig->warning_light_stat = 1;
    handle_capture_timelapse(mcu_answer(MCU_RESP_GET_FUEL_GAUGE_VALUES));
    EXPECT_EQ(warnLightAllowed, card == SD_MOUNTED ? 1 : 0) << card;
  }
  sdState = SD_NOT_INSERTED;
}

}  // namespace
