// The MCU's own notifications and the tracking of their acknowledgements.
#include <gtest/gtest.h>

#include "tests/unit/sim/mcu/camera_end.h"

namespace sim_test {
namespace {

// Waits until the peer has handled `count` copies of acknowledgement `member`.
void acknowledge(CameraEnd& camera, const char* member, int count) {
  camera.send(empty_member(member));
  ASSERT_TRUE(camera.peer().wait_received(member, count, kPatience));
}

// Each notification goes out as its member, open until an acknowledgement of its kind settles
// the oldest open one.
TEST(McuPeerNotifications, AcknowledgementSettlesTheOldestOpenOneOfItsKind) {
  CameraEnd camera;
  const int firstPir = camera.peer().notify_pir();
  const int timelapse = camera.peer().notify_timelapse();
  const int secondPir = camera.peer().notify_pir();
  for (const char* member :
       {"pir_detection_request", "timelapse_request", "pir_detection_request"}) {
    EXPECT_EQ(camera.receive_member(), member);
  }
  EXPECT_EQ(camera.peer().notifications()[1].kind, sim::McuNotification::kTimelapse);

  camera.clock().advance(std::chrono::milliseconds(1500));
  acknowledge(camera, "pir_detection_response", 1);
  EXPECT_TRUE(camera.peer().acknowledged(firstPir));
  EXPECT_FALSE(camera.peer().acknowledged(secondPir));
  EXPECT_FALSE(camera.peer().acknowledged(timelapse)) << "a PIR answer is no time-lapse answer";

  acknowledge(camera, "test_button_notification_response", 1);
  acknowledge(camera, "timelapse_response", 1);
  EXPECT_TRUE(camera.peer().acknowledged(timelapse));
  acknowledge(camera, "pir_detection_response", 2);
  EXPECT_TRUE(camera.peer().acknowledged(secondPir));

  const auto sent = camera.peer().notifications();
  EXPECT_EQ(sent[0].sentAt.count(), 0);
  EXPECT_EQ(sent[0].acknowledgedAt.count(), 1500);
  EXPECT_FALSE(camera.peer().acknowledged(99));

  // The stray test-button answer is recorded as acknowledging nothing.
  bool strayNoted = false;
  for (const sim::McuRecord& record : camera.peer().history()) {
    strayNoted |= record.member == "test_button_notification_response" &&
                  record.detail == "acknowledges no open notification";
  }
  EXPECT_TRUE(strayNoted);
}

TEST(McuPeerNotifications, FaultsActOnANamedNotification) {
  CameraEnd camera;
  camera.peer().add_fault({sim::McuFaultKind::kBadChecksum, "timelapse_request", 1});
  camera.peer().notify_timelapse();
  camera.peer().notify_test_button();
  EXPECT_EQ(camera.receive_member(), "test_button_notification_request");
  EXPECT_EQ(camera.deframer().rejected(), 1u);
}

}  // namespace
}  // namespace sim_test
