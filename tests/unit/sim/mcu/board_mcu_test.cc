// The MCU on the board's ttyS1: the camera's requests reach the peer and its answers come
// back, both recorded by member; faults set on the board act on the line; notifications are
// sent while the camera listens and their acknowledgements are recorded at power-off.
#include <string>
#include <vector>

#include <gtest/gtest.h>

#include "sim/board/board.h"

#include "tests/unit/sim/board/probe_board.h"

namespace {

using board_test::kPatience;
using board_test::ProbeBoard;
using sim::board::BoardEvent;
using sim::board::EventKind;

std::vector<BoardEvent> serial(ProbeBoard& probe, const std::string& direction,
                               const std::string& member) {
  std::vector<BoardEvent> found;
  for (const BoardEvent& event : probe.board().record().events(EventKind::kSerial)) {
    if (event.field("direction") == direction && event.field("member") == member) {
      found.push_back(event);
    }
  }
  return found;
}

// Requests are answered on ttyS1 and recorded by member both ways; one sent again after an
// unanswered one is marked as a retry.
TEST(BoardMcu, RequestsAndAnswersAreRecordedByMemberWithRetriesMarked) {
  ProbeBoard probe;
  ASSERT_TRUE(probe.ok());
  sim::McuFault silence;
  silence.kind = sim::McuFaultKind::kNoAnswer;
  silence.member = "get_device_info_request";
  silence.count = 1;
  probe.board().mcu().add_fault(silence);
  probe.script({"send-mcu get_device_info_request", "sleep-ms 500",
                "send-mcu get_device_info_request", "read-mcu 1", "done"});
  ASSERT_EQ(probe.wake(), 0);
  ASSERT_TRUE(probe.wait_done());
  EXPECT_EQ(probe.out("mcu"), "get_device_info_response\n") << "one answer, to the second";

  const auto requests = serial(probe, "camera->mcu", "get_device_info_request");
  ASSERT_EQ(requests.size(), 2u);
  EXPECT_EQ(requests[0].field("retry"), "false");
  EXPECT_EQ(requests[0].field("line"), "ttyS1");
  EXPECT_EQ(requests[1].field("retry"), "true");
  EXPECT_NE(requests[1].text.find("(retry)"), std::string::npos) << "marked in the timeline";
  // The answer the fault kept back is recorded as such, never as one that was sent. The peer
  // records an answer once it has written it, so the camera may read it first.
  ASSERT_TRUE(probe.board().record().wait_for(
      [](const BoardEvent& event) {
        return event.field("member") == "get_device_info_response" && event.field("sent") == "true";
      },
      kPatience));
  const auto answers = serial(probe, "mcu->camera", "get_device_info_response");
  ASSERT_EQ(answers.size(), 2u);
  EXPECT_EQ(answers[0].field("sent"), "false");
  EXPECT_EQ(answers[0].text.find("MCU -> camera"), std::string::npos) << answers[0].text;
  EXPECT_EQ(answers[1].field("sent"), "true");
  EXPECT_NE(answers[1].text.find("MCU-SIM"), std::string::npos) << "fields shown";
}

TEST(BoardMcu, NotificationsAndWhetherTheyWereAcknowledgedAreRecorded) {
  ProbeBoard probe;
  ASSERT_TRUE(probe.ok());
  // The device info answer tells the test that the camera holds the line open.
  probe.script({"send-mcu get_device_info_request", "read-mcu 2", "send-mcu pir_detection_response",
                "done"});
  ASSERT_EQ(probe.wake(), 0);
  ASSERT_TRUE(probe.board().record().wait_for(
      [](const BoardEvent& event) {
        return event.kind == EventKind::kSerial &&
               event.field("member") == "get_device_info_response";
      },
      kPatience));
  const int pir = probe.board().mcu().notify_pir();
  ASSERT_GT(pir, 0);
  ASSERT_TRUE(probe.wait_done());
  ASSERT_TRUE(probe.board().mcu().wait_received("pir_detection_response", 1, kPatience));
  const int timelapse = probe.board().mcu().notify_timelapse();
  ASSERT_GT(timelapse, 0);
  probe.board().cut_power("test over");
  ASSERT_TRUE(probe.board().wait_power_off(kPatience));

  EXPECT_EQ(probe.out("mcu"), "get_device_info_response\npir_detection_request\n");
  std::vector<std::string> summary;
  for (const BoardEvent& event : probe.board().record().events("mcu")) {
    if (event.field("what") != "notification") {
      continue;
    }
    summary.push_back(event.field("notification") + " " + event.field("acknowledged"));
  }
  EXPECT_EQ(summary, (std::vector<std::string>{"PIR true", "time-lapse false"}));
}

}  // namespace
