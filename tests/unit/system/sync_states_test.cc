// The sync, first-boot and instant-request states' own decisions: for each state the events it
// must ignore, then the chain of requests from its entry to power-down; captures asked for while
// the Modem may hold the card, the clock sent again at the end of the configuration chain, and
// who is named when the Modem is powered.
#include "app/system/states/sync_states.h"

#include <fcntl.h>
#include <unistd.h>

#include <fstream>
#include <initializer_list>
#include <span>
#include <string>
#include <thread>
#include <vector>

#include <gtest/gtest.h>

#include "app/capture/capture_flags.h"
#include "app/config/camera_config.h"
#include "app/links/mcu/mcu_link_manager.h"
#include "app/links/modem/modem_sync_info.h"
#include "app/links/serial_port.h"
#include "app/system/core/event_queue.h"
#include "app/system/core/state_names.h"
#include "app/system/states/state_handlers.h"

#include "tests/support/eventually.h"
#include "tests/support/system_fixture.h"

namespace {

using test_support::drain;
using test_support::event_of_kind;
using test_support::logged;

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

// What went to the Modem since the last call: a request as its code, an answer to one of the
// Modem's own requests as its kind negated (the two number ranges are not apart).
std::vector<int32_t> modem_sent() {
  std::vector<int32_t> sent;
  for (const EventMessage& message : drain(modemQueue)) {
    sent.push_back(message.kind == MSG_MODEM_REQ ? message.request : -message.kind);
  }
  return sent;
}

// An event the state must leave alone whatever stage the exchange is in: nothing is sent to the
// MCU, the Modem or the system queue, the state stays and the sync time-out is not started.
// Some are ignored only while a record says so (the Modem not powered, no shutdown asked for,
// the sync status unknown); the record is held so for the delivery and put back after it.
enum class Hold { kNothing, kModemOff, kNoShutdown, kStatusUnknown, kStatusUnnamed };
struct Ignored {
  const char* name;
  int32_t kind;
  int32_t response;
  Hold hold;
};

void deliver_ignored(void (*handler)(EventMessage), const Ignored& ignored) {
  SCOPED_TRACE(ignored.name);
  const int8_t powered = sysInfo->modemPowered;
  const int8_t shutdown = sysInfo->shutdownRequested;
  const int32_t status = sysInfo->serverSyncStatus;
  const int32_t state = sysInfo->state;
  sysInfo->modemPowered = ignored.hold == Hold::kModemOff ? 0 : powered;
  sysInfo->shutdownRequested = ignored.hold == Hold::kNoShutdown ? 0 : shutdown;
  sysInfo->serverSyncStatus = ignored.hold == Hold::kStatusUnknown   ? 4
                              : ignored.hold == Hold::kStatusUnnamed ? 9
                                                                     : status;
  modemSyncInfo->timeoutStart = 0;
  handler(event_of_kind(ignored.kind, ignored.response));
  EXPECT_TRUE(drain(mcuQueue).empty());
  EXPECT_TRUE(drain(modemQueue).empty());
  EXPECT_TRUE(drain(sysQueue).empty());
  EXPECT_EQ(sysInfo->state, state);
  EXPECT_EQ(modemSyncInfo->timeoutStart, 0);
  sysInfo->modemPowered = powered;
  sysInfo->shutdownRequested = shutdown;
  sysInfo->serverSyncStatus = status;
}

// Ignored by both states at every stage.
constexpr Ignored kIgnoredByBoth[] = {
    {"the password's answer, taken by the link", MSG_MODEM_RESP, MODEM_RESP_GET_CRYPTO_PASSWORD,
     Hold::kNothing},
    {"the Modem's power answered while it is off", MSG_MCU_RESP, MCU_RESP_SET_MODEM_POWER_STATE,
     Hold::kModemOff},
    {"the next action answered with no shutdown asked for", MSG_MODEM_RESP,
     MODEM_RESP_SET_SERVER_NEXT_ACTION, Hold::kNoShutdown},
    {"the status LED's answer", MSG_MCU_RESP, MCU_RESP_SET_STATUS_LED, Hold::kNothing},
    {"the ready-to-sleep answer", MSG_MCU_RESP, MCU_RESP_SET_ISP_READY_TO_SLEEP, Hold::kNothing},
};
// The first boot answers every sync status to the Modem; the sync leaves these alone.
constexpr Ignored kIgnoredBySync[] = {
    {"an unknown sync status", EVENT_MODEM_SVR_SYNC_STATUS, 0, Hold::kStatusUnknown},
    {"a sync status with no name", EVENT_MODEM_SVR_SYNC_STATUS, 0, Hold::kStatusUnnamed},
    {"a format request, a first boot's", EVENT_MODEM_REQ_SD_FORMAT, 0, Hold::kNothing},
    {"the device model, a first boot's", MSG_MODEM_RESP, MODEM_RESP_GET_DEVICE_MODEL,
     Hold::kNothing},
};
constexpr Ignored kIgnoredByFirstBoot[] = {
    {"day or night, a sync's", MSG_MCU_RESP, MCU_RESP_DAY_NIGHT, Hold::kNothing},
    {"a PIR notification", EVENT_MCU_PIR, 0, Hold::kNothing},
    {"a time-lapse notification", EVENT_MCU_TIMELAPSE, 0, Hold::kNothing},
    {"a capture's end", EVENT_CAP_DONE, 0, Hold::kNothing},
    {"an instant query", EVENT_MODEM_SET_SERVER_INSTANT_QUERY_REQ, 0, Hold::kNothing},
};

// One stage of a state's exchange: the event that ends it, the records as the link managers
// set them before the event arrives, and what the state sends in answer.
struct Stage {
  const char* name;
  int32_t kind;
  int32_t response;
  void (*arrange)();
  std::vector<int32_t> mcu;    // requests to the MCU, in order
  std::vector<int32_t> modem;  // to the Modem, as modem_sent() gives them
  bool waits;                  // the sync time-out is (re)started: the state waits for the Modem
  const char* line = nullptr;  // a line the stage logs, as the state has always logged it
};

void nothing() {}
void battery_known() {
  sysInfo->fuelGaugeValid = 1;
  cameraConfig->fuelGauge[0].batteryPercent = 80;
}
void modem_powered() {
  sysInfo->modemPowered = 1;
}
void searching() {
  sysInfo->serverSyncStatus = 0;
}
void in_progress() {
  sysInfo->serverSyncStatus = 1;
  cameraConfig->signalStrength = 3;  // a signal the display shows without a warning
}
void succeeded() {
  sysInfo->serverSyncStatus = 2;
}
void shutdown_asked() {
  sysInfo->shutdownRequested = 1;
}

Stage stage(const char* name, int32_t kind, int32_t response, std::vector<int32_t> mcu,
            std::vector<int32_t> modem, bool waits, void (*arrange)() = nothing) {
  return {name, kind, response, arrange, std::move(mcu), std::move(modem), waits};
}
// The stages that end in an answer: from the MCU with the next requests to it, from the Modem
// with what goes to the Modem next, and the sync status the Modem reports (the state waits on).
Stage mcu_answer(const char* name, int32_t response, std::vector<int32_t> mcu,
                 void (*arrange)() = nothing) {
  return stage(name, MSG_MCU_RESP, response, std::move(mcu), {}, false, arrange);
}
Stage modem_answer(const char* name, int32_t response, std::vector<int32_t> modem, bool waits) {
  return stage(name, MSG_MODEM_RESP, response, {}, std::move(modem), waits);
}
Stage sync_status(const char* name, void (*arrange)(), std::vector<int32_t> modem) {
  return stage(name, EVENT_MODEM_SVR_SYNC_STATUS, 0, {}, std::move(modem), true, arrange);
}
// The Modem is powered: the state asks it for `request` and waits for the answer.
Stage modem_powered_asks(int32_t request) {
  return stage("Modem powered", MSG_MCU_RESP, MCU_RESP_SET_MODEM_POWER_STATE, {}, {request}, true,
               modem_powered);
}

// The chains share their stages in runs: the battery's readings before the Modem is powered,
// the configuration after the sync.
std::vector<Stage> joined(std::initializer_list<std::vector<Stage>> runs) {
  std::vector<Stage> all;
  for (const std::vector<Stage>& run : runs) {
    all.insert(all.end(), run.begin(), run.end());
  }
  return all;
}

// The Modem's power is asked for with `powerOnLine`: the first boot names the MCU, the sync
// keeps the line it has always logged.
std::vector<Stage> battery_stages(const char* powerOnLine) {
  std::vector<Stage> stages = {
      mcu_answer("ADC values", MCU_RESP_GET_ADC_MONITORING_VALUES, {MCU_REQ_GET_FUEL_GAUGE_VALUES}),
      mcu_answer("fuel gauge", MCU_RESP_GET_FUEL_GAUGE_VALUES, {MCU_REQ_SET_MODEM_POWER_STATE_ON},
                 battery_known)};
  stages.back().line = powerOnLine;
  return stages;
}

// From the MCU's answer to the camera's configuration on, both states run the same chain.
std::vector<Stage> configuration_chain() {
  return {
      stage("the server's configuration", MSG_MODEM_RESP, MODEM_RESP_GET_CAMERA_CONFIGURATION,
            {MCU_REQ_SET_PIR_CONFIG}, {}, false),
      mcu_answer("PIR configuration set", MCU_RESP_SET_PIR_CONFIG, {MCU_REQ_SET_CAMERA_CONFIG}),
      mcu_answer("camera configuration set", MCU_RESP_SET_CAMERA_CONFIG,
                 {MCU_REQ_SET_BATTERY_PROTECTION}),
      mcu_answer("battery protection set", MCU_RESP_SET_BATTERY_PROTECTION,
                 {MCU_REQ_SET_CAMERA_DETECTION_SCHEDULE}),
      mcu_answer("detection schedule set", MCU_RESP_SET_CAMERA_DETECTION_SCHEDULE,
                 {MCU_REQ_SET_CAMERA_INSTANT_SCHEDULE}),
      stage("instant schedule set", MSG_MCU_RESP, MCU_RESP_SET_CAMERA_INSTANT_SCHEDULE, {},
            {MODEM_REQ_SET_SERVER_NEXT_ACTION_SYNCACTION_SHUTDOWN}, true),
      stage("the shutdown answered", MSG_MODEM_RESP, MODEM_RESP_SET_SERVER_NEXT_ACTION, {}, {},
            false, shutdown_asked),
  };
}

std::vector<Stage> sync_chain() {
  return joined(
      {{stage("entry after start-up", EVENT_STATE_ENTRY, 0, {MCU_REQ_DAY_NIGHT}, {}, false),
        mcu_answer("day or night", MCU_RESP_DAY_NIGHT, {MCU_REQ_GET_ADC_MONITORING_VALUES})},
       battery_stages("SYNC : INFO : ISP to Modem - MCU_REQ_SET_MODEM_POWER_STATE_ON"),
       {modem_powered_asks(MODEM_REQ_SET_SERVER_SYNC_TYPE),
        modem_answer("sync type set", MODEM_RESP_SET_SERVER_SYNC_TYPE,
                     {MODEM_REQ_GET_CRYPTO_PASSWORD}, false),
        sync_status("searching a signal", searching, {}),
        sync_status("in progress", in_progress, {}),
        sync_status("successful", succeeded, {MODEM_REQ_GET_CAMERA_CONFIGURATION})},
       configuration_chain()});
}

std::vector<Stage> first_boot_chain() {
  constexpr int32_t kStatusAnswered = -MODEM_ASYNC_RESP_SET_SERVER_SYNC_STATUS;
  // No card is mounted here: the first boot's card check shows the red LED.
  return joined(
      {{stage("entry", EVENT_STATE_ENTRY, 0,
              {MCU_REQ_SET_STATUS_LED_RED, MCU_REQ_WDM_DONE, MCU_REQ_GET_ADC_MONITORING_VALUES}, {},
              false)},
       battery_stages("FIRSTBOOT : INFO : ISP to MCU - MCU_REQ_SET_MODEM_POWER_STATE_ON"),
       {modem_powered_asks(MODEM_REQ_GET_DEVICE_MODEL),
        modem_answer("device model", MODEM_RESP_GET_DEVICE_MODEL, {MODEM_REQ_SET_SERVER_SYNC_TYPE},
                     true),
        modem_answer("sync type set", MODEM_RESP_SET_SERVER_SYNC_TYPE,
                     {MODEM_REQ_GET_CRYPTO_PASSWORD}, false),
        sync_status("in progress", in_progress, {kStatusAnswered}),
        sync_status("successful", succeeded,
                    {kStatusAnswered, MODEM_REQ_GET_CAMERA_CONFIGURATION})},
       configuration_chain()});
}

// Before each stage the state is given every event it must ignore; then the stage's own event
// sends exactly the next requests, and the last one ends the state in power-down.
TEST_F(SyncStatesTest, EachStageIgnoresWhatIsNotItsOwnThenFollowsTheChain) {
  const struct {
    int32_t state;
    void (*handler)(EventMessage);
    std::vector<Stage> chain;
    std::span<const Ignored> ignored;
  } cases[] = {
      {STATE_SYNC, handle_sync, sync_chain(), kIgnoredBySync},
      {STATE_FIRSTBOOT, handle_firstboot, first_boot_chain(), kIgnoredByFirstBoot},
  };
  for (const auto& c : cases) {
    SetUp();
    sysInfo->state = c.state;
    for (const Stage& stage : c.chain) {
      SCOPED_TRACE(std::string(state_name(c.state)) + ": " + stage.name);
      if (stage.kind != EVENT_STATE_ENTRY) {
        for (const Ignored& ignored : kIgnoredByBoth) {
          deliver_ignored(c.handler, ignored);
        }
        for (const Ignored& ignored : c.ignored) {
          deliver_ignored(c.handler, ignored);
        }
      }
      stage.arrange();
      modemSyncInfo->timeoutStart = 0;
      c.handler(event_of_kind(stage.kind, stage.response));
      EXPECT_EQ(mcu_requests_sent(), stage.mcu);
      EXPECT_EQ(modem_sent(), stage.modem);
      EXPECT_EQ(modemSyncInfo->timeoutStart, stage.waits ? 1 : 0);
      EXPECT_EQ(sysInfo->state, &stage == &c.chain.back() ? STATE_POWERDOWN : c.state);
      if (stage.line != nullptr) {
        EXPECT_NE(logged().find(stage.line), std::string::npos) << stage.line;
      }
    }
  }
}

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
