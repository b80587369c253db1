// The link loop over a real pseudo-terminal pair and a POSIX queue of the sandbox: records reach
// the request sender, frames the message handler, stray bytes are logged one by one, and a wait
// that runs out calls the retry routine.
#include "app/links/link_loop.h"

#include <algorithm>
#include <atomic>
#include <cstring>
#include <thread>
#include <vector>

#include <gtest/gtest.h>

#include "app/system/core/event_queue.h"

#include "tests/support/eventually.h"
#include "tests/support/system_fixture.h"
#include "tests/unit/links/link_test_support.h"
#include "tests/unit/links/sample_messages.h"

namespace links_test {
namespace {

std::atomic<int> g_requests{0};
std::atomic<int32_t> g_lastKind{0};
std::atomic<int32_t> g_lastRequest{0};
std::atomic<int> g_retries{0};
std::atomic<int> g_messages{0};
std::atomic<uint32_t> g_lastState{0};

// A request sender that expects an answer within a tenth of a second.
void send_request(const EventMessage& record, timeval* waitTime) {
  g_lastKind = record.kind;
  g_lastRequest = record.request;
  waitTime->tv_sec = 0;
  waitTime->tv_usec = 100 * 1000;
  ++g_requests;
}

void retry(timeval* waitTime) {
  set_wait_seconds(waitTime, kLinkIdleWaitSeconds);
  ++g_retries;
}

void handle_mcu(const kvt_MCU2ISP& message, timeval* waitTime) {
  g_lastState = message.msg.get_camera_state_response.state;
  set_wait_seconds(waitTime, 3000);
  ++g_messages;
}

void handle_modem(const kvt_Modem2ISP& message, timeval* waitTime) {
  g_lastState = message.msg.get_device_model_response.model;
  set_wait_seconds(waitTime, 3000);
  ++g_messages;
}

constexpr McuLinkHooks kMcuHooks = {send_request, retry, handle_mcu};
constexpr ModemLinkHooks kModemHooks = {send_request, retry, handle_modem};

class LinkLoopTest : public test_support::QueueTest {
 protected:
  void SetUp() override {
    QueueTest::SetUp();
    clear_app_log();
    g_requests = 0;
    g_lastKind = 0;
    g_lastRequest = 0;
    g_retries = 0;
    g_messages = 0;
    g_lastState = 0;
    state_.port = pty_.port;
    state_.queue = mcuQueue;
  }

  // Turns the loop until `done` holds; false if it never did.
  template <typename Done>
  bool turn_until(Done done) {
    return test_support::eventually([&] {
      EXPECT_EQ(mcu_link_turn(state_, kMcuHooks), 0);
      return done();
    });
  }

  static EventMessage record(int32_t kind, int32_t request) {
    EventMessage message{};
    message.kind = kind;
    message.request = request;
    strcpy(message.text, "BLINK");
    return message;
  }

  PtyPair pty_;
  LinkLoopState state_;
};

// A record on the queue reaches the request sender, which arms a tenth of a second; no answer
// comes, so the retry routine follows.
TEST_F(LinkLoopTest, QueuedRequestWhoseWaitRunsOutCallsTheRetryRoutine) {
  ASSERT_EQ(send_event(mcuQueue, record(MSG_MCU_REQ, MCU_REQ_GET_RTC_DATE_TIME), ""), 0);
  ASSERT_TRUE(turn_until([] { return g_retries == 1; }));
  EXPECT_EQ(g_lastKind, MSG_MCU_REQ);
  EXPECT_EQ(g_lastRequest, MCU_REQ_GET_RTC_DATE_TIME);
  EXPECT_EQ(state_.counters.requests, 1u);
  EXPECT_EQ(state_.counters.timeouts, 1u);
  EXPECT_EQ(state_.waitTime.tv_sec, kLinkIdleWaitSeconds) << "re-armed by the retry routine";
  EXPECT_EQ(std::ranges::count(log_messages("MCU_UART", "INFO"),
                               "Timeout : MCU Manager waiting for message"),
            1);
}

TEST_F(LinkLoopTest, FrameReachesTheMessageHandlerAndStrayBytesAreLoggedOneByOne) {
  Bytes bytes = {0x00, 0x7E, 0xAD};
  const Bytes frame = sim::frame(camera_state_payload(5));
  bytes.insert(bytes.end(), frame.begin(), frame.end());
  pty_.peer_writes(bytes);

  ASSERT_TRUE(turn_until([] { return g_messages == 1; }));
  EXPECT_EQ(g_lastState, 5u);
  EXPECT_EQ(state_.waitTime.tv_sec, 3000);
  EXPECT_EQ(state_.counters.strayBytes, 3u);
  EXPECT_EQ(state_.counters.framesHandled, 1u);
  const std::vector<std::string> errors = {"ERROR : mcu_uart val 00", "ERROR : mcu_uart val 7e",
                                           "ERROR : mcu_uart val ad"};
  EXPECT_EQ(log_messages("MCU_UART", "ERR"), errors);
  EXPECT_EQ(std::ranges::count(log_messages("MCU_UART", "DEBUG"),
                               "First Byte received over mcu uart : de"),
            1);
}

TEST_F(LinkLoopTest, RefusedFrameIsFollowedByItsBytesAsStrayBytes) {
  pty_.peer_writes(sim::frame(Bytes(100, 0x11)));
  const Bytes good = sim::frame(camera_state_payload(9));
  pty_.peer_writes(good);
  ASSERT_TRUE(turn_until([] { return g_messages == 1; }));
  EXPECT_EQ(g_lastState, 9u);
  EXPECT_EQ(state_.counters.framesDropped, 1u);
  // The hundred payload bytes, the checksum field and the stop byte.
  EXPECT_EQ(state_.counters.strayBytes, 100u + 2u + 1u);
}

TEST_F(LinkLoopTest, FrameArrivingByteByByteWithPausesIsReadWhole) {
  pty_.peer_trickles(sim::frame(camera_state_payload(0x2Du << 7 | 0x5E)),
                     std::chrono::milliseconds(20));
  ASSERT_TRUE(turn_until([] { return g_messages == 1; }));
  EXPECT_EQ(g_lastState, 0x2Du << 7 | 0x5E);
  EXPECT_EQ(state_.counters.framesDropped, 0u);
}

TEST_F(LinkLoopTest, PeerStoppingInMidFrameCostsOneEmptyReadPerMissingByte) {
  Bytes frame = sim::frame(camera_state_payload(23));
  // Start, header and two of five payload bytes: three payload bytes, the checksum field and
  // the stop byte never come, each read for them returns empty after 0.5 s.
  frame.resize(1 + 5 + 2);
  pty_.peer_writes(frame);
  ASSERT_TRUE(turn_until([this] { return state_.counters.framesDropped == 1; }));
  EXPECT_EQ(state_.counters.emptyReads, 3u + 2u + 1u);
  EXPECT_EQ(g_messages, 0);
  const auto errors = log_messages("MCU_UART", "ERR");
  ASSERT_EQ(errors.size(), 1u);
  EXPECT_EQ(errors[0].rfind("Error : CRC mcu ", 0), 0u) << errors[0];
}

TEST_F(LinkLoopTest, ModemLoopUsesItsOwnTexts) {
  state_.queue = modemQueue;
  kvt::kvt_Modem2ISP message;
  message.mutable_get_device_model_response()->set_model(3);
  pty_.peer_writes({0x42});
  pty_.peer_writes(sim::frame(message.SerializeAsString()));
  ASSERT_TRUE(test_support::eventually([&] {
    EXPECT_EQ(modem_link_turn(state_, kModemHooks), 0);
    return g_messages != 0;
  }));
  EXPECT_EQ(g_lastState, 3u);
  EXPECT_EQ(log_messages("MODEM_UART", "ERR"),
            std::vector<std::string>{"ERROR : modem_uart val 42"});
  EXPECT_EQ(std::ranges::count(log_messages("MODEM_UART", "DEBUG"),
                               "First Byte received over modem uart: de"),
            1);
}

// The thread body: opens the port by its path, then loops on the link's queue until stopped.
TEST_F(LinkLoopTest, LinkThreadOpensItsPortAndServesQueueAndPort) {
  mcuPortPath = pty_.port_path();
  std::atomic<bool> stop{false};
  std::atomic<int> result{1};
  std::thread link([&] { result = run_mcu_link(kMcuHooks, &stop); });

  ASSERT_EQ(send_event(mcuQueue, record(MSG_MCU_REQ, MCU_REQ_GET_DEVICE_INFO), ""), 0);
  // The sender armed a tenth of a second: the retry follows.
  EXPECT_TRUE(test_support::eventually([] { return g_retries != 0; }));
  pty_.peer_writes(sim::frame(camera_state_payload(2)));
  EXPECT_TRUE(test_support::eventually([] { return g_messages != 0; }));
  stop = true;
  pty_.peer_writes({0x00});  // wakes the loop so that it sees the stop
  link.join();

  EXPECT_EQ(result, 0);
  EXPECT_EQ(g_requests, 1);
  EXPECT_EQ(g_lastRequest, MCU_REQ_GET_DEVICE_INFO);
  EXPECT_EQ(g_retries, 1);
  EXPECT_EQ(g_lastState, 2u);
  const auto info = log_messages("MCU_UART", "INFO");
  ASSERT_FALSE(info.empty());
  EXPECT_EQ(info[0].rfind("mcu uart : ", 0), 0u) << info[0];
  mcuPortPath = "/dev/ttyS1";
  close(mcuPort);
  mcuPort = -1;
}

TEST_F(LinkLoopTest, LinkThreadEndsWhenItsPortCannotBeOpened) {
  modemPortPath = "/dev/no-such-modem";
  EXPECT_EQ(run_modem_link(kModemHooks), -1);
  const std::vector<std::string> errors = {
      "Error opening /dev/no-such-modem: No such file or directory", "Failed to open port"};
  EXPECT_EQ(log_messages("MODEM_UART", "ERR"), errors);
  modemPortPath = "/dev/ttyS0";
}

}  // namespace
}  // namespace links_test
