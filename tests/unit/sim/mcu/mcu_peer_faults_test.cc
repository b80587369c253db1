// Every fault of the MCU peer does what it says, and only that.
#include <algorithm>
#include <string>

#include <gtest/gtest.h>

#include "tests/support/eventually.h"
#include "tests/unit/sim/mcu/camera_end.h"

namespace sim_test {
namespace {

using std::chrono::milliseconds;
using Kind = sim::McuFaultKind;

// The records of request `member` received by the peer, in order.
std::vector<sim::McuRecord> requests(const CameraEnd& camera, const std::string& member) {
  std::vector<sim::McuRecord> found;
  for (const sim::McuRecord& record : const_cast<CameraEnd&>(camera).peer().history()) {
    if (record.direction == sim::PeerDirection::kCameraToPeer && record.member == member) {
      found.push_back(record);
    }
  }
  return found;
}

// The peer handles the line in order, so an answered request sent after a silent one proves
// the silent one got nothing.
TEST(McuPeerFaults, NoAnswerSilencesEveryRequestUntilCleared) {
  CameraEnd camera;
  camera.peer().add_fault({Kind::kNoAnswer, ""});  // every member
  for (int i = 0; i < 3; ++i) {
    camera.send(camera_state_request());
  }
  camera.send(device_info_request());
  ASSERT_TRUE(camera.peer().wait_received("get_device_info_request", 1, kPatience));
  // The PIR goes out although answers do not: the MCU is silent, not dead.
  ASSERT_GT(camera.peer().notify_pir(), 0);
  EXPECT_EQ(camera.receive_member(), "pir_detection_request");

  camera.peer().clear_faults();
  camera.send(camera_state_request());
  EXPECT_EQ(camera.receive_member(), "get_camera_state_response");
  EXPECT_EQ(camera.peer().sent("get_device_info_response"), 0);

  const auto asked = requests(camera, "get_camera_state_request");
  ASSERT_EQ(asked.size(), 4u);
  EXPECT_FALSE(asked[0].retry);
  EXPECT_TRUE(asked[1].retry);
  EXPECT_TRUE(asked[3].retry) << "still unanswered when it came the fourth time";
}

TEST(McuPeerFaults, DropAnswerDropsExactlyNAnswersOfItsMember) {
  CameraEnd camera;
  camera.peer().add_fault({Kind::kDropAnswer, "get_camera_state_request", 2});
  camera.send(camera_state_request());
  camera.send(device_info_request());  // another member is not touched
  EXPECT_EQ(camera.receive_member(), "get_device_info_response");
  camera.send(camera_state_request());
  camera.send(camera_state_request());
  EXPECT_EQ(camera.receive_member(), "get_camera_state_response");
  camera.send(camera_state_request());
  EXPECT_EQ(camera.receive_member(), "get_camera_state_response");

  const auto asked = requests(camera, "get_camera_state_request");
  ASSERT_EQ(asked.size(), 4u);
  EXPECT_TRUE(asked[2].retry);
  EXPECT_FALSE(asked[3].retry) << "the third copy was answered";
  EXPECT_TRUE(camera.peer().wait_sent("get_camera_state_response", 2, kPatience));
}

TEST(McuPeerFaults, LateAnswerWaitsForBoardTime) {
  CameraEnd camera;
  camera.peer().add_fault({Kind::kLateAnswer, "get_rtc_date_time_request", 1, milliseconds(3000)});
  camera.send(empty_member("get_rtc_date_time_request"));
  camera.send(device_info_request());
  EXPECT_EQ(camera.receive_member(), "get_device_info_response") << "the late answer overtaken";

  camera.clock().advance(milliseconds(2999));
  camera.send(device_info_request());
  EXPECT_EQ(camera.receive_member(), "get_device_info_response") << "still not due";

  camera.clock().advance(milliseconds(1));
  kvt::kvt_MCU2ISP message;
  ASSERT_TRUE(camera.receive(&message));
  ASSERT_TRUE(message.has_get_rtc_date_time_response());
  // The RTC is read when the request arrives, not when the late answer leaves.
  EXPECT_EQ(message.get_rtc_date_time_response().epoch(), sim::McuSetup{}.rtcEpoch);
}

TEST(McuPeerFaults, GarbageGoesBeforeTheAnswerAndTheAnswerStillArrives) {
  CameraEnd camera;
  camera.peer().add_fault({Kind::kGarbageBeforeAnswer, {}, 1, milliseconds(0), 6});
  camera.send(camera_state_request());
  EXPECT_EQ(camera.receive_member(), "get_camera_state_response");
  EXPECT_EQ(camera.deframer().strayBytes(), 6u);
  ASSERT_GE(camera.raw().size(), 7u);
  EXPECT_EQ(camera.raw()[6], sim::kPeerStartByte) << "six stray bytes, then the frame";

  camera.send(camera_state_request());
  EXPECT_EQ(camera.receive_member(), "get_camera_state_response");
  EXPECT_EQ(camera.deframer().strayBytes(), 6u) << "one answer only";
  EXPECT_FALSE(requests(camera, "get_camera_state_request")[1].retry);
}

TEST(McuPeerFaults, BadChecksumSpoilsTheAnswerAndTheRetryIsAnsweredWell) {
  CameraEnd camera;
  camera.peer().add_fault({Kind::kBadChecksum, "get_camera_state_request", 1});
  camera.send(camera_state_request());
  camera.send(device_info_request());
  EXPECT_EQ(camera.receive_member(), "get_device_info_response");
  EXPECT_EQ(camera.deframer().rejected(), 1u);
  EXPECT_EQ(camera.deframer().lastError(), "bad checksum");

  camera.send(camera_state_request());
  EXPECT_EQ(camera.receive_member(), "get_camera_state_response");
  EXPECT_EQ(camera.deframer().rejected(), 1u);
  EXPECT_TRUE(requests(camera, "get_camera_state_request")[1].retry)
      << "the spoilt answer did not count as an answer";
}

TEST(McuPeerFaults, WithheldReadyToSleepAnswerCutsNoPower) {
  CameraEnd camera;
  std::atomic<int> powerCuts{0};
  camera.peer().set_on_ready_to_sleep([&] { ++powerCuts; });
  camera.peer().add_fault({Kind::kDropAnswer, "isp_ready_to_sleep_request", 1});
  const kvt::kvt_ISP2MCU sleep = empty_member("isp_ready_to_sleep_request");
  camera.send(sleep);
  camera.send(device_info_request());
  EXPECT_EQ(camera.receive_member(), "get_device_info_response");
  EXPECT_EQ(powerCuts.load(), 0);

  camera.send(sleep);
  EXPECT_EQ(camera.receive_member(), "isp_ready_to_sleep_response");
  camera.send(device_info_request());
  EXPECT_EQ(camera.receive_member(), "get_device_info_response");
  EXPECT_EQ(powerCuts.load(), 1);
}

TEST(McuPeerFaults, PoweredOffCameraHearsNothingAndANewPowerUpStartsClean) {
  CameraEnd camera;
  // A late answer of this power-up, due only after the next one has begun.
  camera.peer().add_fault({Kind::kLateAnswer, "get_camera_state_request", 1, milliseconds(5000)});
  camera.send(camera_state_request());
  ASSERT_TRUE(camera.peer().wait_received("get_camera_state_request", 1, kPatience));
  // Sent while the camera still ran but never read by it: gone at the next power-up.
  ASSERT_GT(camera.peer().notify_pir(), 0);
  ASSERT_TRUE(camera.peer().wait_sent("pir_detection_request", 1, kPatience));
  camera.close_line();
  // Sent while nobody listens: recorded, not written.
  ASSERT_GT(camera.peer().notify_timelapse(), 0);
  ASSERT_TRUE(test_support::eventually([&] {
    return std::ranges::any_of(camera.peer().history(), [](const sim::McuRecord& record) {
      return record.member == "timelapse_request" &&
             record.detail.find("not written") != std::string::npos;
    });
  }));
  EXPECT_EQ(camera.peer().sent("timelapse_request"), 0);

  camera.peer().set_wake_reason(sim::WakeReason::kSync);
  ASSERT_EQ(camera.open_line(), 0);
  camera.clock().advance(milliseconds(10'000));
  camera.send(camera_state_request());
  kvt::kvt_MCU2ISP message;
  ASSERT_TRUE(camera.receive(&message));
  EXPECT_EQ(message.get_camera_state_response().state(), 2u);
  EXPECT_EQ(camera.deframer().frames(), 1u) << "nothing of the last power-up arrived";
  EXPECT_EQ(camera.deframer().strayBytes(), 0u);
  // The peer counts a message once it is written, just after the camera may have read it.
  ASSERT_TRUE(camera.peer().wait_sent("get_camera_state_response", 1, kPatience));
  EXPECT_EQ(camera.peer().sent("get_camera_state_response"), 1) << "the late answer forgotten";
}

}  // namespace
}  // namespace sim_test
