// The MCU link manager and the init state against the simulated MCU over a pseudo-terminal:
// the system server, the link thread and the peer run as they do on the board.
#include "app/links/mcu/mcu_link_manager.h"

#include <chrono>
#include <string>

#include <gtest/gtest.h>

#include "app/config/camera_config.h"
#include "app/records/reboot_log.h"
#include "app/system/core/event_queue.h"
#include "app/system/core/status_led.h"
#include "app/system/state_machine.h"

#include "tests/unit/links/mcu/link_manager_fixture.h"

namespace {

using namespace std::chrono_literals;
using test_support::drain;
using test_support::logged;

class McuLinkTest : public link_manager_test::LinkManagerTest {
 protected:
  void SetUp() override {
    LinkManagerTest::SetUp();
    sysInfo->enterState = 1;
    sysInfo->boot_reason = 2;
    sysInfo->clockSet = 1;  // the sandbox refuses to set the clock; nothing to prove there
  }
};

TEST_F(McuLinkTest, InvalidClockIsAskedAgainUntilValidThenTheReportedStateIsTaken) {
  sim::McuSetup setup;
  setup.rtcValid = false;
  start_mcu(setup, sim::WakeReason::kTimelapse);

  ASSERT_TRUE(serve_until([&] { return mcuPeer_->received("get_rtc_date_time_request") >= 3; }));
  EXPECT_EQ(mcuPeer_->received("get_device_info_request"), 0);
  EXPECT_EQ(sysInfo->rtcValid, 0);

  mcuPeer_->set_rtc(true, 1709834709);
  ASSERT_TRUE(
      serve_until([] { return sysInfo->state == STATE_CAPTURETIMELAPSE && !sysInfo->enterState; }));
  EXPECT_EQ(mcuPeer_->received("get_device_info_request"), 1);
  EXPECT_EQ(mcuPeer_->received("get_camera_state_request"), 1);
  EXPECT_EQ(cameraConfig->rtcEpoch, 1709834709);
  EXPECT_STREQ(cameraConfig->mcuVersion, setup.version.c_str());
  EXPECT_EQ(sysInfo->captureType, 2);
  std::string log = logged();
  EXPECT_NE(log.find("Camera state : STATE_     CAPTURETIMELAPSE "), std::string::npos);
  EXPECT_NE(log.find("State changes from STATE_INIT to STATE_CAPTURETIMELAPSE"), std::string::npos);
}

// A date before 1970 (or one a 32-bit clock cannot hold) is refused with a clear error rather
// than kept as a wrong date.
TEST_F(McuLinkTest, AnInstallDateTheClockCannotHoldIsRefused) {
  sysInfo->enterState = 0;
  sim::McuSetup setup;
  setup.installEpoch = -86400;
  start_mcu(setup, sim::WakeReason::kSync);
  send_mcu_request(EventMessage{}, MCU_REQ_GET_RTC_INSTALL_DATE_TIME);
  ASSERT_TRUE(serve_until([] { return sysInfo->installDateReceived == 1; }));
  EXPECT_EQ(cameraConfig->installEpoch, 0);
  EXPECT_NE(logged().find("MCU install date epoch -86400 is outside the dates this camera's "
                          "clock can hold."),
            std::string::npos);
}

TEST_F(McuLinkTest, UnansweredRequestIsRepeatedAndDroppedFramesAreRecovered) {
  start_mcu({}, sim::WakeReason::kSync);
  mcuPeer_->add_fault({sim::McuFaultKind::kNoAnswer, "get_camera_state_request", 1});
  mcuPeer_->add_fault({sim::McuFaultKind::kBadChecksum, "get_device_info_request", 1});
  mcuPeer_->add_fault({sim::McuFaultKind::kGarbageBeforeAnswer, "get_rtc_date_time_request", 1});

  ASSERT_TRUE(serve_until([] { return sysInfo->state == STATE_SYNC; }));
  EXPECT_EQ(mcuPeer_->received("get_device_info_request"), 2);
  EXPECT_EQ(mcuPeer_->received("get_camera_state_request"), 2);
  std::string log = logged();
  EXPECT_NE(log.find("MCU request retry: 40"), std::string::npos) << log;
  EXPECT_NE(log.find("MCU request retry: 41"), std::string::npos);
  EXPECT_NE(log.find("ERROR : mcu_uart val"), std::string::npos);
}

TEST_F(McuLinkTest, NotificationsAreForwardedIgnoredOrRefusedByState) {
  sysInfo->enterState = 0;
  start_mcu({}, sim::WakeReason::kSync);
  // One exchange first, so the camera's end of the line is open before the MCU speaks.
  send_mcu_request(EventMessage{}, MCU_REQ_DAY_NIGHT);
  ASSERT_TRUE(mcuPeer_->wait_sent("get_day_night_status_response", 1, 10s));
  ASSERT_EQ(wait_queue_readable(sysQueue, 10000), 1);
  drain(sysQueue);

  // During a sync a PIR detection becomes a capture event; the state machine acknowledges.
  sysInfo->state = STATE_SYNC;
  int pir = mcuPeer_->notify_pir();
  EventMessage event{};
  ASSERT_EQ(wait_queue_readable(sysQueue, 10000), 1);
  ASSERT_EQ(receive_event(sysQueue, &event), 0);
  EXPECT_EQ(event.kind, EVENT_MCU_PIR);
  EXPECT_EQ(sysInfo->pirAccepted, 1);

  // In the detection state with no capture running it is ignored entirely.
  sysInfo->state = STATE_CAPTUREDETECTION;
  int ignored = mcuPeer_->notify_pir();
  // The line is read in order: once the answer after it is through, the PIR was handled.
  send_mcu_request(EventMessage{}, MCU_REQ_DAY_NIGHT);
  ASSERT_EQ(wait_queue_readable(sysQueue, 10000), 1);
  ASSERT_EQ(receive_event(sysQueue, &event), 0);
  EXPECT_EQ(event.response, MCU_RESP_DAY_NIGHT);

  // A test button during a capture is refused and acknowledged at once.
  sysInfo->captureOngoing = 1;
  int test = mcuPeer_->notify_test_button();
  ASSERT_TRUE(mcuPeer_->wait_received("test_button_notification_response", 1, 10s));

  EXPECT_TRUE(mcuPeer_->acknowledged(test));
  EXPECT_FALSE(mcuPeer_->acknowledged(pir));
  EXPECT_FALSE(mcuPeer_->acknowledged(ignored));
  EXPECT_EQ(mcuPeer_->received("pir_detection_response"), 0);
  EXPECT_EQ(wait_queue_readable(sysQueue, 100), 0) << "nothing more reached the server";
  EXPECT_NE(logged().find("Rejected Test Button Cap as another cap ongoing"), std::string::npos);
}

TEST_F(McuLinkTest, StatusLedRequestsAreSentOnceAndCarryTheBlinkPeriodOnlyWhenBlinking) {
  start_mcu({}, sim::WakeReason::kSync);
  sysInfo->enterState = 0;
  cameraConfig->statusLedBlinkPeriodMs = 2000;
  mcuPeer_->add_fault({sim::McuFaultKind::kNoAnswer, "set_status_led_request", -1});

  set_status_led(STATUS_LED_RED, STATUS_LED_BLINK);
  ASSERT_TRUE(mcuPeer_->wait_received("set_status_led_request", 1, 10s));
  sim::McuStatusLed led = mcuPeer_->status_led();
  EXPECT_EQ(led.colour, sim::kMcuLedRed);
  EXPECT_TRUE(led.blinking);
  EXPECT_EQ(led.blinkPeriodMs, 2000u);

  set_status_led(STATUS_LED_RED, STATUS_LED_ON);  // red already lit: nothing to send
  set_status_led(STATUS_LED_RED, STATUS_LED_OFF);
  ASSERT_TRUE(mcuPeer_->wait_received("set_status_led_request", 2, 10s));
  EXPECT_EQ(mcuPeer_->status_led().colour, sim::kMcuLedOff);
  EXPECT_EQ(lastMcuRequest, 0) << "nothing to repeat: status LED requests are never retried";
}

// The retry routine's decisions; that a repeated request really reaches the MCU is shown above.
TEST_F(McuLinkTest, TimeOutRepeatsTheLastRequestUnlessItsAnswerAlreadyCame) {
  mcuPort = -1;  // no link thread here: the repeated request goes nowhere
  timeval wait{};
  lastMcuRequest = MCU_REQ_GET_RTC_INSTALL_DATE_TIME;
  sysInfo->installDateReceived = 1;
  mcu_retry(&wait);
  EXPECT_EQ(wait.tv_sec, kLinkIdleWaitSeconds);
  EXPECT_NE(logged().find("No need to retry"), std::string::npos);
  EXPECT_EQ(logged().find("MCU request retry"), std::string::npos);

  sysInfo->installDateReceived = 0;
  mcu_retry(&wait);
  EXPECT_EQ(wait.tv_sec, kMcuAnswerSeconds);
  EXPECT_NE(logged().find("MCU request retry: 45"), std::string::npos);

  lastMcuRequest = MCU_REQ_SET_ISP_READY_TO_SLEEP;
  mcu_retry(&wait);
  EXPECT_EQ(wait.tv_sec, kMcuQuickAnswerSeconds);

  lastMcuRequest = 0;
  mcu_retry(&wait);
  EXPECT_EQ(wait.tv_sec, kLinkIdleWaitSeconds);
}

// Parameter: whether the MCU's reboot time is valid.
class McuWatchdogTest : public McuLinkTest, public testing::WithParamInterface<bool> {};

TEST_P(McuWatchdogTest, McuWatchdogRebootIsLoggedWithItsTimeOrTheCamerasOwn) {
  setenv("TZ", "UTC", 1);
  tzset();
  unlink(kRebootLogConfigPath);
  sysInfo->enterState = 0;
  sysInfo->wdmReboot = 0;
  sim::McuSetup setup;
  setup.wdmRebooted = true;
  setup.wdmEpochValid = GetParam();
  setup.wdmEpoch = 1709834709;
  start_mcu(setup, sim::WakeReason::kSync);

  send_mcu_request(EventMessage{}, MCU_REQ_WDM_DONE);
  ASSERT_TRUE(mcuPeer_->wait_sent("mcu_wdm_triggered_response", 1, 10s));
  std::string entry;
  EXPECT_TRUE(test_support::eventually([&] {
    entry = test_support::read_file(kRebootLogConfigPath);
    return entry.find('\n') != std::string::npos;
  }));
  EXPECT_EQ(sysInfo->wdmReboot, 1);
  EXPECT_NE(entry.find("] - MCU - uptime watchdog"), std::string::npos) << entry;
  if (GetParam()) {
    EXPECT_EQ(entry, "[2024/03/07 18:05:09] - MCU - uptime watchdog\n");
  } else {
    EXPECT_EQ(entry.find("[2024/03/07"), std::string::npos);
    EXPECT_NE(logged().find("Using ISP time since MCU reboot epoch is invalid."),
              std::string::npos);
  }
}

INSTANTIATE_TEST_SUITE_P(Epoch, McuWatchdogTest, testing::Bool());

}  // namespace
