#include "sim/mcu/mcu_fault_book.h"

#include <algorithm>

#include <gtest/gtest.h>

namespace sim {
namespace {

using std::chrono::milliseconds;

McuFault fault(McuFaultKind kind, std::string member = {}, int count = -1) {
  McuFault result;
  result.kind = kind;
  result.member = std::move(member);
  result.count = count;
  return result;
}

TEST(McuFaultBook, FaultWithoutMemberHitsEveryAnswerButNoNotification) {
  McuFaultBook book;
  book.add(fault(McuFaultKind::kNoAnswer));
  EXPECT_TRUE(book.take("get_camera_state_request", false).withheld);
  EXPECT_TRUE(book.take("get_device_info_request", false).withheld);
  EXPECT_FALSE(book.take("pir_detection_request", true).withheld);
}

TEST(McuFaultBook, NamedFaultHitsOnlyItsMember) {
  McuFaultBook book;
  book.add(fault(McuFaultKind::kBadChecksum, "pir_detection_request"));
  EXPECT_FALSE(book.take("timelapse_request", true).badChecksum);
  EXPECT_FALSE(book.take("get_camera_state_request", false).badChecksum);
  EXPECT_TRUE(book.take("pir_detection_request", true).badChecksum);
}

TEST(McuFaultBook, CountRunsOutAndUnlimitedStaysUntilCleared) {
  McuFaultBook book;
  book.add(fault(McuFaultKind::kDropAnswer, "get_camera_state_request", 2));
  EXPECT_TRUE(book.take("get_camera_state_request", false).withheld);
  EXPECT_FALSE(book.take("get_device_info_request", false).withheld);  // not used up by others
  EXPECT_TRUE(book.take("get_camera_state_request", false).withheld);
  EXPECT_FALSE(book.take("get_camera_state_request", false).withheld);
  EXPECT_TRUE(book.empty());

  book.add(fault(McuFaultKind::kNoAnswer));
  for (int i = 0; i < 50; ++i) {
    ASSERT_TRUE(book.take("get_rtc_date_time_request", false).withheld);
  }
  book.clear();
  EXPECT_FALSE(book.take("get_rtc_date_time_request", false).withheld);
  book.add(fault(McuFaultKind::kNoAnswer, {}, 0));
  EXPECT_TRUE(book.empty()) << "a fault for zero messages is no fault";
}

TEST(McuFaultBook, EffectsCombineAndAreDescribed) {
  McuFaultBook book;
  McuFault late = fault(McuFaultKind::kLateAnswer);
  late.delay = milliseconds(3000);
  McuFault garbage = fault(McuFaultKind::kGarbageBeforeAnswer, "get_device_info_request", 1);
  garbage.garbageBytes = 5;
  book.add(late);
  book.add(garbage);
  book.add(fault(McuFaultKind::kBadChecksum, "get_device_info_request", 1));

  const McuFaultEffect effect = book.take("get_device_info_request", false);
  EXPECT_FALSE(effect.withheld);
  EXPECT_EQ(effect.delay, milliseconds(3000));
  EXPECT_EQ(effect.garbageBytes, 5u);
  EXPECT_TRUE(effect.badChecksum);
  EXPECT_EQ(effect.description, "late 3000 ms, after 5 garbage bytes, bad checksum");

  const McuFaultEffect next = book.take("get_device_info_request", false);
  EXPECT_EQ(next.delay, milliseconds(3000));
  EXPECT_EQ(next.garbageBytes, 0u);
  EXPECT_FALSE(next.badChecksum);
}

TEST(GarbageBytes, NeverStartAFrame) {
  const std::vector<uint8_t> bytes = garbage_bytes(100);
  ASSERT_EQ(bytes.size(), 100u);
  EXPECT_EQ(std::count(bytes.begin(), bytes.end(), 0xDE), 0);
  EXPECT_TRUE(garbage_bytes(0).empty());
}

}  // namespace
}  // namespace sim
