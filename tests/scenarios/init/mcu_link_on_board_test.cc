// The MCU link of the real camera_app against the board's MCU: repetitions of unanswered
// requests, capture notifications outside a capture and the status LED.
#include <algorithm>
#include <chrono>
#include <string>
#include <vector>

#include <gtest/gtest.h>

#include "sim/board/board.h"

#include "camera_on_board.h"

namespace {

using namespace std::chrono_literals;
using scenario_test::kPatience;
using scenario_test::occurrences;

using McuLinkOnTheBoard = scenario_test::CameraOnTheBoard;

struct SilenceCase {
  const char* name;
  const char* member;
  const char* retryLine;
  std::chrono::milliseconds period;
};

class UnansweredRequest : public scenario_test::CameraOnTheBoard,
                          public ::testing::WithParamInterface<SilenceCase> {};

// The MCU stays silent on the first two copies of a request: the link repeats it after its
// period of board time, each time with its retry line, and init goes on with the answer.
TEST_P(UnansweredRequest, IsRepeatedAfterItsPeriodUntilAnswered) {
  const SilenceCase& silence = GetParam();
  // Slow time compression: the spacing is read on the board clock, which runs with the host.
  make();
  board_->mcu().add_fault(
      {.kind = sim::McuFaultKind::kNoAnswer, .member = silence.member, .count = 2});
  wake(sim::WakeReason::kTimelapse);
  ASSERT_TRUE(wait_state("STATE_CAPTURETIMELAPSE"));

  const std::vector<std::chrono::milliseconds> asked = received_at(silence.member);
  ASSERT_EQ(asked.size(), 3u);
  for (std::size_t i = 1; i < asked.size(); ++i) {
    const std::chrono::milliseconds gap = asked[i] - asked[i - 1];
    EXPECT_GE(gap, silence.period - 100ms) << "repetition " << i;
    EXPECT_LE(gap, silence.period + 3000ms) << "repetition " << i;
  }
  const std::string log = console();
  EXPECT_EQ(occurrences(log, silence.retryLine), 2) << log;
  EXPECT_EQ(occurrences(log, "No need to retry"), 0);
}

INSTANTIATE_TEST_SUITE_P(Requests, UnansweredRequest,
                         ::testing::Values(SilenceCase{"Clock", "get_rtc_date_time_request",
                                                       "MCU request retry: 44", 1000ms},
                                           SilenceCase{"CameraState", "get_camera_state_request",
                                                       "MCU request retry: 41", 5000ms}),
                         [](const ::testing::TestParamInfo<SilenceCase>& param) {
                           return param.param.name;
                         });

// First boot: the status LED blinks green once; the LED request is never repeated although
// the MCU never answers it.
TEST_F(McuLinkOnTheBoard, FirstBootStatusLedIsSentOnceEvenUnanswered) {
  make();
  board_->mcu().add_fault(
      {.kind = sim::McuFaultKind::kNoAnswer, .member = "set_status_led_request"});
  wake(sim::WakeReason::kFirstBoot);
  ASSERT_TRUE(wait_state("STATE_FIRSTBOOT"));
  ASSERT_TRUE(board_->mcu().wait_received("set_status_led_request", 1, kPatience));
  // Three repetition periods of board time without a second copy.
  board_->time().sleep_until(board_->elapsed() + 16s);

  // Later requests may set the LED otherwise; none repeats one before it.
  std::vector<std::string> requests;
  for (const sim::McuRecord& record : board_->mcu().history()) {
    if (record.member == "set_status_led_request") {
      EXPECT_EQ(std::count(requests.begin(), requests.end(), record.detail), 0) << record.detail;
      requests.push_back(record.detail);
    }
  }
  ASSERT_FALSE(requests.empty());
  EXPECT_NE(requests[0].find("colour: 2"), std::string::npos) << "green: " << requests[0];
  EXPECT_NE(requests[0].find("1000"), std::string::npos) << "blinking each second";
  const std::string log = console();
  EXPECT_EQ(occurrences(log, "MCU request retry: 52"), 0) << log;
}

// With no capture, card check, format or file copy running, the link refuses nothing: in a
// sync the notifications go on to the sync state, which acknowledges each of them, and they do
// not cut short the link's wait for its next answer.
TEST_F(McuLinkOnTheBoard, NotificationOutsideACaptureGoesToTheSyncStateWhichAcknowledgesIt) {
  make();
  wake(sim::WakeReason::kSync);
  ASSERT_TRUE(wait_state("STATE_SYNC"));

  const int pir = board_->mcu().notify_pir();
  const int test = board_->mcu().notify_test_button();
  ASSERT_GT(pir, 0);
  ASSERT_GT(test, 0);
  // A third notification behind them: once it is logged, the link is done with the others.
  ASSERT_GT(board_->mcu().notify_timelapse(), 0);
  ASSERT_TRUE(wait_console("kvt_MCU2ISP_timelapse_request_tag"));
  // A link that mistook the notifications for the end of its wait would ask again at once.
  board_->time().sleep_until(board_->elapsed() + 1s);

  EXPECT_TRUE(test_support::eventually(
      [&] { return board_->mcu().acknowledged(pir) && board_->mcu().acknowledged(test); }));
  EXPECT_EQ(board_->mcu().received("get_camera_state_request"), 1)
      << "a notification does not cut short the wait for the next answer";
  EXPECT_NE(console().find("kvt_MCU2ISP_pir_detection_request_tag"), std::string::npos);
}

}  // namespace
