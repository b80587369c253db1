// The system server loop: entry events, dispatch pre-steps, time-outs, state changes.
#include "app/system/state_machine.h"

#include <unistd.h>

#include <string>
#include <vector>

#include <gtest/gtest.h>

#include "app/records/log/app_log.h"
#include "app/system/core/event_queue.h"

#include "tests/support/system_fixture.h"

namespace {

using test_support::drain;
using test_support::event_of_kind;
using test_support::logged;

// What the observing handler saw, in order, with the MCU queue and the log at each call.
struct Seen {
  EventMessage event;
  int32_t state;
  std::vector<EventMessage> mcu_queue_at_call;
  std::string log_at_call;
};
std::vector<Seen> g_seen;

void observing_handler(EventMessage event) {
  g_seen.push_back({event, sysInfo->state, drain(mcuQueue), logged()});
}

class StateMachineTest : public test_support::SystemTest {
 protected:
  void SetUp() override {
    SystemTest::SetUp();
    g_seen.clear();
  }
};

TEST_F(StateMachineTest, EntryEventIsHandledBeforeAnEventAlreadyQueued) {
  replace_state_handler(STATE_CAPTUREDETECTION, observing_handler);
  EventMessage queued = event_of_kind(EVENT_MCU_PIR);
  queued.request = 77;
  ASSERT_EQ(send_event(sysQueue, queued, kSysQueueSendError), 0);
  change_state(STATE_CAPTUREDETECTION);

  ASSERT_EQ(system_server_turn(1000), 1);
  ASSERT_EQ(system_server_turn(1000), 1);
  ASSERT_EQ(g_seen.size(), 2u);
  EXPECT_EQ(g_seen[0].event.kind, EVENT_STATE_ENTRY);
  EXPECT_EQ(g_seen[1].event.kind, EVENT_MCU_PIR);
  EXPECT_EQ(g_seen[1].event.request, 77);
  EXPECT_EQ(sysInfo->prevState, STATE_INIT);
  EXPECT_EQ(sysInfo->enterState, 0);
}

// The event is handled by the state current when it arrived, even if its handler changes the
// state; the entry event that follows keeps that event's words.
TEST_F(StateMachineTest, EntryEventFollowsTheHandlerAndKeepsTheWordsOfItsEvent) {
  replace_state_handler(STATE_INIT, [](EventMessage event) {
    observing_handler(event);
    change_state(STATE_SYNC);
  });
  replace_state_handler(STATE_SYNC, observing_handler);
  EventMessage response = event_of_kind(MSG_MCU_RESP, MCU_RESP_GET_CAMERA_STATE);
  snprintf(response.text, sizeof response.text, "2");
  ASSERT_EQ(send_event(sysQueue, response, kSysQueueSendError), 0);
  ASSERT_EQ(system_server_turn(1000), 1);
  ASSERT_EQ(system_server_turn(1000), 1);

  ASSERT_EQ(g_seen.size(), 2u);
  EXPECT_EQ(g_seen[0].state, STATE_INIT);
  EXPECT_EQ(g_seen[1].state, STATE_SYNC);
  EXPECT_EQ(g_seen[1].event.kind, EVENT_STATE_ENTRY);
  EXPECT_EQ(g_seen[1].event.response, MCU_RESP_GET_CAMERA_STATE);
  EXPECT_STREQ(g_seen[1].event.text, "2");
}

TEST_F(StateMachineTest, StateChangeLineOnlyWhenTheStateDiffers) {
  // A handler that only keeps the entry convention; the real one would start powering down.
  replace_state_handler(STATE_POWERDOWN, [](EventMessage event) {
    if (event.kind == EVENT_STATE_ENTRY) {
      log_state_change();
    }
  });
  change_state(STATE_POWERDOWN);
  ASSERT_EQ(system_server_turn(1000), 1);
  change_state(STATE_POWERDOWN);
  ASSERT_EQ(system_server_turn(1000), 1);

  std::string log = logged();
  const std::string line = "State changes from STATE_INIT to STATE_POWERDOWN\n";
  size_t first = log.find(line);
  ASSERT_NE(first, std::string::npos) << log;
  EXPECT_EQ(log.find(line, first + 1), std::string::npos);
  EXPECT_EQ(log.find("to STATE_POWERDOWN", first + line.size()), std::string::npos);
}

TEST_F(StateMachineTest, CaptureErrorTellsTheMcuBeforeTheHandlerRuns) {
  replace_state_handler(STATE_CAPTUREDETECTION, observing_handler);
  sysInfo->state = STATE_CAPTUREDETECTION;
  lastMcuRequest = 0;
  ASSERT_EQ(send_event(sysQueue, event_of_kind(EVENT_CAP_ERROR), kSysQueueSendError), 0);
  ASSERT_EQ(system_server_turn(1000), 1);

  ASSERT_EQ(g_seen.size(), 1u);
  EXPECT_EQ(g_seen[0].event.kind, EVENT_CAP_ERROR);
  ASSERT_EQ(g_seen[0].mcu_queue_at_call.size(), 1u);
  EXPECT_EQ(g_seen[0].mcu_queue_at_call[0].kind, MSG_MCU_REQ);
  EXPECT_EQ(g_seen[0].mcu_queue_at_call[0].request, MCU_REQ_WDM_TRIGGERED);
  EXPECT_EQ(lastMcuRequest, MCU_REQ_WDM_TRIGGERED);
  EXPECT_NE(logged().find("ISP to MCU - MCU_REQ_WDM_TRIGGERED"), std::string::npos);
}

TEST_F(StateMachineTest, CaptureDoneMovesSecondaryFilesBeforeTheHandlerRuns) {
  replace_state_handler(STATE_SYNC, observing_handler);
  sysInfo->state = STATE_SYNC;
  ASSERT_EQ(send_event(sysQueue, event_of_kind(EVENT_CAP_DONE), kSysQueueSendError), 0);
  ASSERT_EQ(system_server_turn(1000), 1);
  // The move of the secondary partition's files (done or refused) comes before the handler.
  ASSERT_EQ(g_seen.size(), 1u);
  EXPECT_NE(g_seen[0].log_at_call.find("FILES FROM SEC TO PRI"), std::string::npos);
}

TEST_F(StateMachineTest, QuietQueueLogsTheTimeOutAndDispatchesNothing) {
  replace_state_handler(STATE_INIT, observing_handler);
  EXPECT_EQ(system_server_turn(10), 0);
  EXPECT_TRUE(g_seen.empty());
  EXPECT_NE(logged().find(" : MAIN : INFO : Timeout : sys_server message queue timeout,waiting "
                          "for message from modem/mcu\n"),
            std::string::npos);
  EXPECT_EQ(sysInfo->state, STATE_INIT);
}

TEST_F(StateMachineTest, UnknownStatesHaveNoHandler) {
  EXPECT_EQ(state_handler(STATE_UNKNOWN), nullptr);
  EXPECT_EQ(state_handler(10), nullptr);
  EXPECT_EQ(state_handler(-1), nullptr);
  EXPECT_EQ(state_handler(STATE_SYNC), state_handler(STATE_SYNCDAILY));
  sysInfo->state = 12;  // an event in a state without a handler is dropped, not a crash
  ASSERT_EQ(send_event(sysQueue, event_of_kind(EVENT_MCU_PIR), kSysQueueSendError), 0);
  EXPECT_EQ(system_server_turn(1000), 1);
}

TEST(StateNames, BothTablesDifferOnlyInTheTimeLapseSlot) {
  for (int state = 0; state < kSystemStateCount; ++state) {
    EXPECT_STREQ(kMcuStateNames[static_cast<size_t>(state)], state == STATE_CAPTURETIMELAPSE
                                                                 ? "STATE_     CAPTURETIMELAPSE"
                                                                 : state_name(state));
  }
  EXPECT_STREQ(state_name(STATE_CAPTURETIMELAPSE), "STATE_CAPTURETIMELAPSE");
}

}  // namespace
