// STATE_INIT: the clock, device information and camera-state exchange, and the set-up of each
// state the MCU may report.
#include <unistd.h>

#include <cstring>
#include <string>

#include <gtest/gtest.h>

#include "app/config/camera_config.h"
#include "app/records/log/app_log.h"
#include "app/system/core/event_queue.h"
#include "app/system/core/status_led.h"
#include "app/system/state_machine.h"
#include "app/system/states/state_handlers.h"

#include "tests/support/system_fixture.h"

namespace {

using test_support::logged;

using test_support::event_of_kind;

EventMessage mcu_response(int32_t response, const char* text = "") {
  EventMessage event = event_of_kind(MSG_MCU_RESP, response);
  snprintf(event.text, sizeof event.text, "%s", text);
  return event;
}

class InitStateTest : public test_support::SystemTest {
 protected:
  void SetUp() override {
    SystemTest::SetUp();
    sysInfo->storagePartition = 1;
    cameraConfig->sync_frequency = 6;
  }
};

TEST_F(InitStateTest, AsksTheClockUntilValidThenDeviceInfoThenCameraState) {
  handle_init(event_of_kind(EVENT_STATE_ENTRY));
  EXPECT_EQ(sysInfo->rtcYear, 1970);
  EXPECT_EQ(mcu_requests_sent(), std::vector<int32_t>{MCU_REQ_GET_RTC_DATE_TIME});

  handle_init(mcu_response(MCU_RESP_GET_RTC_DATE_TIME));  // clock still invalid
  handle_init(mcu_response(MCU_RESP_GET_RTC_DATE_TIME));
  EXPECT_EQ(mcu_requests_sent(),
            (std::vector<int32_t>{MCU_REQ_GET_RTC_DATE_TIME, MCU_REQ_GET_RTC_DATE_TIME}));
  EXPECT_EQ(sysInfo->rtcChecked, 0);

  sysInfo->rtcValid = 1;
  handle_init(mcu_response(MCU_RESP_GET_RTC_DATE_TIME));
  EXPECT_EQ(sysInfo->rtcChecked, 1);
  handle_init(mcu_response(MCU_RESP_GET_DEVICE_INFO));
  EXPECT_EQ(mcu_requests_sent(),
            (std::vector<int32_t>{MCU_REQ_GET_DEVICE_INFO, MCU_REQ_GET_CAMERA_STATE}));
  EXPECT_EQ(lastMcuRequest, MCU_REQ_GET_CAMERA_STATE);
}

TEST_F(InitStateTest, OtherEventsAndResponsesAreIgnored) {
  handle_init(event_of_kind(EVENT_MCU_PIR));
  handle_init(mcu_response(MCU_RESP_GET_FUEL_GAUGE_VALUES));
  EXPECT_TRUE(mcu_requests_sent().empty());
  EXPECT_EQ(sysInfo->state, STATE_INIT);
  EXPECT_EQ(sysInfo->enterState, 0);
}

struct ReportedCase {
  const char* text;  // the state as the link manager wrote it
  int32_t boot_reason;
  uint8_t cap_on_nxt_sync;
  int32_t capture_mode;
  int32_t sync_frequency;
  int32_t expected_state;
  int32_t capture_type;
  int32_t sync_type;
  int8_t capture_at_sync;
};

constexpr ReportedCase kReported[] = {
    {"2", 0, 1, 0, 6, STATE_SYNC, 0, 1, 1},
    {"2", 0, 1, 2, 6, STATE_SYNC, 0, 1, 0},  // video-only mode takes no capture
    {"3", 0, 1, 0, 0, STATE_SYNCDAILY, 0, 2, 1},
    {"3", 0, 1, 0, 6, STATE_SYNCDAILY, 0, 2, 0},  // only when every capture syncs
    {"4", 1, 0, 0, 6, STATE_CAPTUREDETECTION, 1, 0, 0},
    {"4", 2, 0, 0, 6, STATE_POWERDOWN, 1, 0, 0},  // a detection without a PIR wake-up
    {"5", 2, 0, 0, 6, STATE_CAPTURETIMELAPSE, 2, 0, 0},
    {"6", 0, 0, 0, 6, STATE_CAPTURETEST, 3, 0, 0},
    {"7", 0, 0, 0, 6, STATE_INSTANTREQUEST, 0, 1, 0},
    {"8", 0, 0, 0, 6, STATE_INIT, 0, 0, 0},
    {"9", 0, 0, 0, 6, STATE_POWERDOWN, 0, 0, 0},
    {"0", 0, 0, 0, 6, STATE_POWERDOWN, 0, 0, 0},
    {"12", 0, 0, 0, 6, STATE_POWERDOWN, 0, 0, 0},
    {"x", 0, 0, 0, 6, STATE_POWERDOWN, 0, 0, 0},
};

class ReportedStateTest : public InitStateTest, public testing::WithParamInterface<ReportedCase> {};

TEST_P(ReportedStateTest, EntersTheReportedStateWithItsSetUp) {
  const ReportedCase& c = GetParam();
  sysInfo->boot_reason = c.boot_reason;
  cameraConfig->cap_on_nxt_sync = c.cap_on_nxt_sync;
  cameraConfig->capture_mode = c.capture_mode;
  cameraConfig->sync_frequency = c.sync_frequency;

  handle_init(mcu_response(MCU_RESP_GET_CAMERA_STATE, c.text));

  EXPECT_EQ(sysInfo->state, c.expected_state);
  EXPECT_EQ(sysInfo->enterState, 1);
  EXPECT_EQ(sysInfo->prevState, STATE_INIT);
  EXPECT_EQ(sysInfo->captureType, c.capture_type);
  EXPECT_EQ(sysInfo->syncType, c.sync_type);
  EXPECT_EQ(sysInfo->captureAtSync, c.capture_at_sync);
  if (c.capture_type != 0) {
    EXPECT_EQ(sysInfo->storagePartition, 0);
  }
  if (c.expected_state == STATE_CAPTURETEST) {
    EXPECT_EQ(cameraConfig->statusLedBlinkPeriodMs, 1000);
  }
  const bool mismatch = std::string(c.text) == "4" && c.boot_reason != 1;
  EXPECT_EQ(logged().find("CAMERA STATE AND BOOT REASON MISMATCH OCCURRED GOING TO POWERDOWN") !=
                std::string::npos,
            mismatch);
}

INSTANTIATE_TEST_SUITE_P(States, ReportedStateTest, testing::ValuesIn(kReported));

// (The green blink each second of the first boot is checked on the board.)
TEST_F(InitStateTest, FirstBootPowersTheSensorDown) {
  ASSERT_EQ(system("echo 1 > /sys/class/gpio/gpio17/value"), 0);  // the sensor was powered
  handle_init(mcu_response(MCU_RESP_GET_CAMERA_STATE, "1"));

  EXPECT_EQ(sysInfo->state, STATE_FIRSTBOOT);
  EXPECT_EQ(test_support::read_file("/sys/class/gpio/gpio17/value"), "0\n");
  EXPECT_EQ(test_support::read_file("/sys/class/gpio/gpio17/direction"), "out\n");
}

}  // namespace
