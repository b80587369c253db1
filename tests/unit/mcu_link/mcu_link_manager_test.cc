// The MCU link manager and the init state against the simulated MCU over a pseudo-terminal:
// the system server, the link thread and the peer run as they do on the board.
#include "app/links/mcu/mcu_link_manager.h"

#include <pty.h>
#include <unistd.h>

#include <atomic>
#include <chrono>
#include <functional>
#include <string>
#include <thread>

#include <gtest/gtest.h>

#include "app/config/camera_config.h"
#include "app/links/serial_port.h"
#include "app/records/app_log.h"
#include "app/records/reboot_log.h"
#include "app/system/event_queue.h"
#include "app/system/state_machine.h"
#include "app/system/status_led.h"
#include "sim/mcu/mcu_peer.h"

#include "tests/support/eventually.h"
#include "tests/support/system_fixture.h"

namespace {

using namespace std::chrono_literals;
using test_support::drain;

using test_support::logged;

class McuLinkTest : public test_support::SystemTest {
 protected:
  void SetUp() override {
    SystemTest::SetUp();
    sysInfo->enterState = 1;
    sysInfo->boot_reason = 2;
    sysInfo->clockSet = 1;  // the sandbox refuses to set the clock; nothing to prove there

    char slave_name[64];
    int slave = -1;
    ASSERT_EQ(openpty(&master_, &slave, slave_name, nullptr, nullptr), 0);
    close(slave);
    slave_path_ = slave_name;
    mcuPortPath = slave_path_.c_str();
  }

  void TearDown() override {
    stop_ = true;
    if (link_.joinable()) {
      // The loop checks the flag between turns; a record on its queue ends the current one.
      EventMessage wake{};
      send_event(mcuQueue, wake, kMcuQueueSendError);
      link_.join();
    }
    if (peer_) {
      peer_->stop();
    }
    close(master_);
    SystemTest::TearDown();
  }

  void start(sim::McuSetup setup, sim::WakeReason reason) {
    peer_ = std::make_unique<sim::McuPeer>(master_, setup, [](const sim::McuRecord&) {});
    peer_->set_wake_reason(reason);
    ASSERT_EQ(peer_->start(), 0);
    link_ = std::thread([this] { run_mcu_link(kMcuLinkHooks, &stop_); });
  }

  // Runs the system server until `done` holds; false if it never did.
  bool serve_until(const std::function<bool()>& done) {
    return test_support::eventually([&] {
      if (done()) {
        return true;
      }
      system_server_turn(50);
      return false;
    });
  }

  int master_ = -1;
  std::string slave_path_;
  std::atomic<bool> stop_{false};
  std::unique_ptr<sim::McuPeer> peer_;
  std::thread link_;
};

TEST_F(McuLinkTest, InvalidClockIsAskedAgainUntilValidThenTheReportedStateIsTaken) {
  sim::McuSetup setup;
  setup.rtcValid = false;
  start(setup, sim::WakeReason::kTimelapse);

  ASSERT_TRUE(serve_until([&] { return peer_->received("get_rtc_date_time_request") >= 3; }));
  EXPECT_EQ(peer_->received("get_device_info_request"), 0);
  EXPECT_EQ(sysInfo->rtcValid, 0);

  peer_->set_rtc(true, 1709834709);
  ASSERT_TRUE(
      serve_until([] { return sysInfo->state == STATE_CAPTURETIMELAPSE && !sysInfo->enterState; }));
  EXPECT_EQ(peer_->received("get_device_info_request"), 1);
  EXPECT_EQ(peer_->received("get_camera_state_request"), 1);
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
  start(setup, sim::WakeReason::kSync);
  send_mcu_request(EventMessage{}, MCU_REQ_GET_RTC_INSTALL_DATE_TIME);
  ASSERT_TRUE(serve_until([] { return sysInfo->installDateReceived == 1; }));
  EXPECT_EQ(cameraConfig->installEpoch, 0);
  EXPECT_NE(logged().find("MCU install date epoch -86400 is outside the dates this camera's "
                          "clock can hold."),
            std::string::npos);
}

TEST_F(McuLinkTest, DetectionReportedOnATimeLapseWakeUpPowersDown) {
  sim::McuSetup setup;
  setup.cameraStateFor[static_cast<size_t>(sim::WakeReason::kTimelapse)] = STATE_CAPTUREDETECTION;
  start(setup, sim::WakeReason::kTimelapse);
  ASSERT_TRUE(serve_until([] { return sysInfo->state == STATE_POWERDOWN; }));
  EXPECT_NE(logged().find("CAMERA STATE AND BOOT REASON MISMATCH OCCURRED GOING TO POWERDOWN"),
            std::string::npos);
}

TEST_F(McuLinkTest, UnansweredRequestIsRepeatedAndDroppedFramesAreRecovered) {
  start(sim::McuSetup{}, sim::WakeReason::kSync);
  peer_->add_fault({sim::McuFaultKind::kNoAnswer, "get_camera_state_request", 1});
  peer_->add_fault({sim::McuFaultKind::kBadChecksum, "get_device_info_request", 1});
  peer_->add_fault({sim::McuFaultKind::kGarbageBeforeAnswer, "get_rtc_date_time_request", 1});

  ASSERT_TRUE(serve_until([] { return sysInfo->state == STATE_SYNC; }));
  EXPECT_EQ(peer_->received("get_device_info_request"), 2);
  EXPECT_EQ(peer_->received("get_camera_state_request"), 2);
  std::string log = logged();
  EXPECT_NE(log.find("MCU request retry: 40"), std::string::npos) << log;
  EXPECT_NE(log.find("MCU request retry: 41"), std::string::npos);
  EXPECT_NE(log.find("ERROR : mcu_uart val"), std::string::npos);
}

TEST_F(McuLinkTest, NotificationsAreForwardedIgnoredOrRefusedByState) {
  sysInfo->enterState = 0;
  start(sim::McuSetup{}, sim::WakeReason::kSync);
  // One exchange first, so the camera's end of the line is open before the MCU speaks.
  send_mcu_request(EventMessage{}, MCU_REQ_DAY_NIGHT);
  ASSERT_TRUE(peer_->wait_sent("get_day_night_status_response", 1, 10s));
  ASSERT_EQ(wait_queue_readable(sysQueue, 10000), 1);
  drain(sysQueue);

  // During a sync a PIR detection becomes a capture event; the state machine acknowledges.
  sysInfo->state = STATE_SYNC;
  int pir = peer_->notify_pir();
  EventMessage event{};
  ASSERT_EQ(wait_queue_readable(sysQueue, 10000), 1);
  ASSERT_EQ(receive_event(sysQueue, &event), 0);
  EXPECT_EQ(event.kind, EVENT_MCU_PIR);
  EXPECT_EQ(sysInfo->pirAccepted, 1);

  // In the detection state with no capture running it is ignored entirely.
  sysInfo->state = STATE_CAPTUREDETECTION;
  int ignored = peer_->notify_pir();
  // The line is read in order: once the answer after it is through, the PIR was handled.
  send_mcu_request(EventMessage{}, MCU_REQ_DAY_NIGHT);
  ASSERT_EQ(wait_queue_readable(sysQueue, 10000), 1);
  ASSERT_EQ(receive_event(sysQueue, &event), 0);
  EXPECT_EQ(event.response, MCU_RESP_DAY_NIGHT);

  // A test button during a capture is refused and acknowledged at once.
  sysInfo->captureOngoing = 1;
  int test = peer_->notify_test_button();
  ASSERT_TRUE(peer_->wait_received("test_button_notification_response", 1, 10s));

  EXPECT_TRUE(peer_->acknowledged(test));
  EXPECT_FALSE(peer_->acknowledged(pir));
  EXPECT_FALSE(peer_->acknowledged(ignored));
  EXPECT_EQ(peer_->received("pir_detection_response"), 0);
  EXPECT_EQ(wait_queue_readable(sysQueue, 100), 0) << "nothing more reached the server";
  EXPECT_NE(logged().find("Rejected Test Button Cap as another cap ongoing"), std::string::npos);
}

TEST_F(McuLinkTest, StatusLedRequestsAreSentOnceAndCarryTheBlinkPeriodOnlyWhenBlinking) {
  start(sim::McuSetup{}, sim::WakeReason::kSync);
  sysInfo->enterState = 0;
  cameraConfig->statusLedBlinkPeriodMs = 2000;
  peer_->add_fault({sim::McuFaultKind::kNoAnswer, "set_status_led_request", -1});

  set_status_led(STATUS_LED_RED, STATUS_LED_BLINK);
  ASSERT_TRUE(peer_->wait_received("set_status_led_request", 1, 10s));
  sim::McuStatusLed led = peer_->status_led();
  EXPECT_EQ(led.colour, sim::kMcuLedRed);
  EXPECT_TRUE(led.blinking);
  EXPECT_EQ(led.blinkPeriodMs, 2000u);

  set_status_led(STATUS_LED_RED, STATUS_LED_ON);  // red already lit: nothing to send
  set_status_led(STATUS_LED_RED, STATUS_LED_OFF);
  ASSERT_TRUE(peer_->wait_received("set_status_led_request", 2, 10s));
  EXPECT_EQ(peer_->status_led().colour, sim::kMcuLedOff);
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
  start(setup, sim::WakeReason::kSync);

  send_mcu_request(EventMessage{}, MCU_REQ_WDM_DONE);
  ASSERT_TRUE(peer_->wait_sent("mcu_wdm_triggered_response", 1, 10s));
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
