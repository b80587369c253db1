#include "app/system/states/instant_request.h"

#include <sys/stat.h>

#include "app/config/config_store.h"
#include "app/links/modem/modem_sync_info.h"
#include "app/system/core/event_queue.h"
#include "app/system/states/state_handlers.h"

#include "tests/support/system_fixture.h"
#include "tests/unit/indicators/indicator_fixture.h"

using namespace indicator_test;

namespace {

using test_support::drain;

class InstantQuery : public IndicatorTest {
 protected:
  static void SetUpTestSuite() {
    IndicatorTest::SetUpTestSuite();
    reset_modem_sync_info();
    serverConfig = new ServerConfig();
    mkdir("/config", 0755);
    mq_unlink(kMcuQueueName);
    mq_unlink(kModemQueueName);
    mcuQueue = create_mcu_queue();
    modemQueue = create_modem_queue();
  }
  void SetUp() override {
    IndicatorTest::SetUp();
    drain(mcuQueue);
    drain(modemQueue);
    sysInfo->captureOngoing = 0;
    sysInfo->primaryLent = 0;
    sysInfo->instantQueryBusy = 1;
    sysInfo->state = STATE_INSTANTREQUEST;
    modemSyncInfo->ignoreQueryFlow = 0;
  }
  // The one answer to the Modem: (processed, result), or (-1, -1) when none was sent.
  std::pair<int, int> answer() {
    for (const EventMessage& message : drain(modemQueue)) {
      if (message.kind == MODEM_ASYNC_RESP_SET_SERVER_INSTANT_QUERY) {
        return {modemSyncInfo->queryProcessed, modemSyncInfo->queryResult};
      }
    }
    return {-1, -1};
  }
  void query_in_instant_state(int32_t type) {
    sysInfo->instantQueryType = type;
    handle_instant_request(test_support::event_of_kind(EVENT_MODEM_SET_SERVER_INSTANT_QUERY_REQ));
  }
};

TEST_F(InstantQuery, AnsweredAtOnceAndWhereTheStateGoes) {
  const struct {
    int32_t type;
    int format_result;
    std::pair<int, int> answer;
    int32_t next_state;
  } cases[] = {
      {QUERY_SYNC, 0, {1, 1}, STATE_SYNC},
      {QUERY_IGNORE, 0, {1, 1}, STATE_SYNC},
      {QUERY_UNKNOWN, 0, {1, 1}, STATE_INSTANTREQUEST},
      {QUERY_FORMAT, 0, {1, 1}, STATE_SYNC},
      {QUERY_FORMAT, -1, {1, 0}, STATE_SYNC},
      {8, 0, {0, 0}, STATE_INSTANTREQUEST},
      {-1, 0, {0, 0}, STATE_INSTANTREQUEST},
  };
  for (const auto& c : cases) {
    for (QueryRunner runner : {QueryRunner::kHandler, QueryRunner::kThread}) {
      sysInfo->state = STATE_INSTANTREQUEST;
      format_result = c.format_result;
      if (runner == QueryRunner::kHandler) {
        query_in_instant_state(c.type);
        EXPECT_EQ(sysInfo->state, c.next_state) << "type " << c.type;
      } else {
        run_instant_query(c.type, runner, EventMessage{});
      }
      EXPECT_EQ(answer(), c.answer) << "type " << c.type;
      EXPECT_EQ(formatOngoing, 0);
    }
  }
  query_in_instant_state(QUERY_IGNORE);
  EXPECT_EQ(modemSyncInfo->ignoreQueryFlow, 1);
  drain(modemQueue);
}

TEST_F(InstantQuery, CaptureIsArmedOrAnsweredWhenOneRuns) {
  query_in_instant_state(QUERY_CAPTURE_PIR);
  EXPECT_EQ(answer(), (std::pair<int, int>{-1, -1})) << "the answer waits for the capture";
  EXPECT_EQ(sysInfo->captureOngoing, 1);
  EXPECT_EQ(sysInfo->captureType, 4);
  EXPECT_EQ(sysInfo->pirMode, 1);
  EXPECT_EQ(sysInfo->storagePartition, 0);

  query_in_instant_state(QUERY_CAPTURE);  // the capture still runs
  EXPECT_EQ(answer(), (std::pair<int, int>{1, 1}));
  EXPECT_EQ(sysInfo->state, STATE_INSTANTREQUEST);

  sysInfo->captureOngoing = 0;
  cameraConfig->cellular = 0;
  sysInfo->instantQueryType = QUERY_CAPTURE;
  handle_instant_request(test_support::event_of_kind(EVENT_CAP_DONE));
  EXPECT_EQ(answer(), (std::pair<int, int>{1, 1}));
  EXPECT_EQ(sysInfo->state, STATE_INSTANTREQUEST) << "no sync without the cellular setting";
}

TEST_F(InstantQuery, FormatWaitsForTheRunningCapture) {
  sysInfo->captureOngoing = 1;
  onSleep = [](uint32_t) {
    if (clockMs >= 3000) {
      sysInfo->captureOngoing = 0;
    }
    if (sysInfo->captureOngoing) {
      EXPECT_EQ(formats, 0) << "formatted under a running capture";
      EXPECT_EQ(formatOngoing, 1) << "new captures must be refused meanwhile";
    }
  };
  run_instant_query(QUERY_FORMAT, QueryRunner::kThread, EventMessage{});
  EXPECT_EQ(formats, 1);
  EXPECT_EQ(answer(), (std::pair<int, int>{1, 1}));
}

TEST_F(InstantQuery, FactoryResetWritesTheDefaultsAndStartsTheConfigurationChain) {
  for (const char* path : {"/config/cam.cfg", "/config/cam_backup.cfg"}) {
    unlink(path);
  }
  run_instant_query(QUERY_FACTORY_RESET, QueryRunner::kThread, EventMessage{});
  CameraConfig loaded;
  EXPECT_EQ(config_load(&loaded), 0);
  EXPECT_EQ(loaded.sync_frequency, 6);
  const auto sent = drain(mcuQueue);
  ASSERT_EQ(sent.size(), 1u);
  EXPECT_EQ(sent[0].request, MCU_REQ_SET_PIR_CONFIG);
  EXPECT_EQ(answer(), (std::pair<int, int>{-1, -1})) << "answered at the chain's end";
}

TEST_F(InstantQuery, ASecondQueryDuringASyncIsAnsweredNotProcessed) {
  sysInfo->state = STATE_SYNC;
  sysInfo->instantStage = INSTANT_HANDED_ON;
  EventMessage event{};
  event.kind = EVENT_MODEM_SET_SERVER_INSTANT_QUERY_REQ;
  handle_sync(event);
  EXPECT_EQ(answer(), (std::pair<int, int>{0, 0}));
  sysInfo->instantStage = INSTANT_IDLE;
  handle_sync(event);
  EXPECT_EQ(sysInfo->instantStage, INSTANT_WAITING) << "handed to the thread";
}

}  // namespace
