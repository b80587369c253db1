// The sync, first-boot and instant-request states' own decisions: captures asked for while the
// Modem may hold the card, the clock sent again at the end of the configuration chain, and who
// is named when the Modem is powered.
#include "app/system/sync_states.h"

#include <fcntl.h>
#include <unistd.h>

#include <fstream>
#include <string>
#include <thread>
#include <vector>

#include <gtest/gtest.h>

#include "app/capture/capture_flags.h"
#include "app/config/camera_config.h"
#include "app/links/mcu/mcu_link_manager.h"
#include "app/links/modem/modem_sync_info.h"
#include "app/links/serial_port.h"
#include "app/system/event_queue.h"
#include "app/system/state_handlers.h"

#include "tests/support/eventually.h"
#include "tests/support/system_fixture.h"

namespace {

using test_support::drain;
using test_support::logged;

EventMessage event_of_kind(int32_t kind, int32_t response = 0) {
  EventMessage event{};
  event.kind = kind;
  event.response = response;
  return event;
}

class SyncStatesTest : public test_support::SystemTest {
 protected:
  void SetUp() override {
    SystemTest::SetUp();
    reset_modem_sync_info();
    captureFlags.captureStart = 0;
    formatOngoing = 0;
    // A card with two partitions, as the partition count lists them.
    for (const char* partition : {"/dev/mmcblk0p1", "/dev/mmcblk0p2"}) {
      std::ofstream{partition};
    }
  }
  void TearDown() override {
    unlink("/dev/mmcblk0p1");
    unlink("/dev/mmcblk0p2");
    SystemTest::TearDown();
  }
};

// Each refusal is logged as the system has always logged it; a time-lapse notification is
// refused without a line. The instant-request state decides the same way.
TEST_F(SyncStatesTest, CapturesDuringASyncAreArmedOrRefusedWithTheirLine) {
  const struct Case {
    int32_t kind;
    int32_t running;  // captureType of the capture that runs, 0: none
    bool format;
    const char* line;  // nullptr: armed
  } cases[] = {
      {EVENT_MCU_PIR, 0, false, nullptr},
      {EVENT_MCU_PIR, 2, false, "Rejected PIR Capture: Another Capture Ongoing"},
      {EVENT_MCU_PIR, 0, true, "Rejected PIR Capture: Format Ongoing"},
      {EVENT_MCU_TEST, 3, false, "Rejected Test Button Capture due to ONGOING capture"},
      {EVENT_MCU_TEST, 1, false, "Rejected Test Capture: Another Capture Ongoing"},
      {EVENT_MCU_TEST, 0, true, "Rejected Test Capture: Format Ongoing"},
      {EVENT_MCU_TIMELAPSE, 1, false, ""},
      {EVENT_MCU_TIMELAPSE, 0, false, nullptr},
  };
  for (const int32_t state : {STATE_SYNC, STATE_INSTANTREQUEST}) {
    for (const Case& c : cases) {
      SCOPED_TRACE(std::to_string(state) + " " + std::to_string(c.kind) + " " +
                   (c.line != nullptr ? c.line : "armed"));
      SetUp();
      sysInfo->state = state;
      sysInfo->captureOngoing = c.running != 0 ? 1 : 0;
      sysInfo->captureType = c.running;
      sysInfo->pirAccepted = 1;
      formatOngoing = c.format ? 1 : 0;
      (state == STATE_SYNC ? handle_sync : handle_instant_request)(event_of_kind(c.kind));

      // The refusal's own line and no other.
      const std::string log = logged();
      const bool said = c.line != nullptr && *c.line != '\0';
      EXPECT_EQ(log.find("Rejected") != std::string::npos, said);
      if (said) {
        EXPECT_EQ(log.find(c.line), log.find("Rejected"));
      }
      EXPECT_EQ(captureFlags.captureStart, c.line == nullptr ? 1 : 0);
      if (c.line == nullptr) {
        EXPECT_EQ(sysInfo->storagePartition, 1);
        EXPECT_EQ(sysInfo->moveFilesPending, 1);
      }
      if (c.kind == EVENT_MCU_PIR) {
        EXPECT_EQ(sysInfo->pirAccepted, c.line == nullptr ? 1 : 0);
      }
      // The notification is acknowledged either way.
      const std::vector<EventMessage> sent = drain(mcuQueue);
      ASSERT_EQ(sent.size(), 1u);
      EXPECT_EQ(sent[0].kind, c.kind == EVENT_MCU_PIR    ? MCU_RESP_ASYNC_NOTIFICATION_PIR
                              : c.kind == EVENT_MCU_TEST ? MCU_RESP_ASYNC_NOTIFICATION_TEST
                                                         : MCU_RESP_ASYNC_NOTIFICATION_TIMELAPSE);
      formatOngoing = 0;
    }
  }
}

// A clock the Modem sent that the MCU has not confirmed goes again at the end of the
// configuration chain, through the MCU link's asynchronous retry, before the Modem is told to
// shut down.
TEST_F(SyncStatesTest, UnconfirmedClockIsSentAgainByTheLinkAtTheEndOfTheChain) {
  int line[2];
  ASSERT_EQ(pipe2(line, O_NONBLOCK), 0);
  mcuPort = line[1];
  sysInfo->state = STATE_SYNC;
  for (const bool confirmed : {false, true}) {
    SetUp();
    pendingAsyncMcuRequest = MCU_REQ_SET_RTC_DATE_TIME;
    modemSyncInfo->rtcSetConfirmed = confirmed ? 1 : 0;
    handle_sync(event_of_kind(MSG_MCU_RESP, MCU_RESP_SET_CAMERA_INSTANT_SCHEDULE));

    char frame[256];
    const ssize_t written = read(line[0], frame, sizeof frame);
    EXPECT_EQ(logged().find("MCU request retry async: 49") != std::string::npos, !confirmed);
    EXPECT_EQ(written > 0, !confirmed) << "the frame on the MCU's line";
    EXPECT_TRUE(drain(mcuQueue).empty());
    const std::vector<EventMessage> modem = drain(modemQueue);
    ASSERT_EQ(modem.size(), 1u);
    EXPECT_EQ(modem[0].request, MODEM_REQ_SET_SERVER_NEXT_ACTION_SYNCACTION_SHUTDOWN);
  }
  mcuPort = -1;
  pendingAsyncMcuRequest = 0;
  close(line[0]);
  close(line[1]);
}

// The first boot asks the MCU for the Modem's power under the MCU's name; the sync keeps the
// line it has always logged.
TEST_F(SyncStatesTest, ModemPowerOnIsLoggedAsTheStateAlwaysDid) {
  const struct {
    int32_t state;
    void (*handler)(EventMessage);
    const char* line;
  } cases[] = {
      {STATE_FIRSTBOOT, handle_firstboot,
       "FIRSTBOOT : INFO : ISP to MCU - MCU_REQ_SET_MODEM_POWER_STATE_ON"},
      {STATE_SYNC, handle_sync, "SYNC : INFO : ISP to Modem - MCU_REQ_SET_MODEM_POWER_STATE_ON"},
  };
  for (const auto& c : cases) {
    SetUp();
    sysInfo->state = c.state;
    sysInfo->fuelGaugeValid = 1;
    cameraConfig->fuelGauge[0].batteryPercent = 80;  // no low-battery warning
    c.handler(event_of_kind(MSG_MCU_RESP, MCU_RESP_GET_FUEL_GAUGE_VALUES));
    EXPECT_NE(logged().find(c.line), std::string::npos) << c.line;
    EXPECT_EQ(mcu_requests_sent(), std::vector<int32_t>{MCU_REQ_SET_MODEM_POWER_STATE_ON});
  }
}

// The sync time-out: a count that a later sync status cancels logs "Cancelled Modem Timeout!!!"
// and sends nothing; a count that runs out asks the Modem to shut down and ends the sync state
// without waiting for the Modem's answer.
TEST_F(SyncStatesTest, TheSyncTimeoutIsCancelledOrEndsTheSync) {
  for (const bool cancelled : {true, false}) {
    SetUp();
    sysInfo->state = STATE_SYNC;
    {
      SemLock lock(&sysInfoLock);
      modemSyncInfo->timeoutStart = 1;
      timeoutRemaining = cancelled ? 300 : 1;
    }
    int result = -1;
    std::thread turn([&result] { result = sync_timeout_turn(); });
    if (cancelled) {
      ASSERT_TRUE(test_support::eventually([] { return modemSyncInfo->timeoutStart == 0; }));
      SemLock lock(&sysInfoLock);
      modemSyncInfo->timeoutCancel = 1;
    }
    turn.join();
    EXPECT_EQ(result, cancelled ? 0 : 1);
    EXPECT_EQ(logged().find("Cancelled Modem Timeout!!!") != std::string::npos, cancelled);
    const std::vector<EventMessage> modem = drain(modemQueue);
    const std::vector<EventMessage> server = drain(sysQueue);
    if (cancelled) {
      EXPECT_TRUE(modem.empty());
      EXPECT_TRUE(server.empty());
      continue;
    }
    ASSERT_EQ(modem.size(), 1u);
    EXPECT_EQ(modem[0].request, MODEM_REQ_SET_SERVER_NEXT_ACTION_SYNCACTION_SHUTDOWN);
    ASSERT_EQ(server.size(), 1u);
    handle_sync(server[0]);
    EXPECT_EQ(sysInfo->state, STATE_POWERDOWN);
  }
}

}  // namespace
