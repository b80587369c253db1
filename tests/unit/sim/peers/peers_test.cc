// What the board's peers share: the fault book, the fault form of scenarios, the line's
// recording and the bounded writes on a line nobody reads.
#include <fcntl.h>
#include <unistd.h>

#include <algorithm>
#include <filesystem>

#include <gtest/gtest.h>

#include "sim/mcu/mcu_peer.h"
#include "sim/peers/fault_book.h"
#include "sim/peers/line_record.h"
#include "sim/peers/peer_framer.h"
#include "sim/peers/serial_line.h"

namespace sim {
namespace {

using std::chrono::milliseconds;

TEST(FaultBook, EffectsCombine) {
  FaultBook book;
  book.add({PeerFaultKind::kLateAnswer, "", -1, milliseconds(3000)});
  book.add({PeerFaultKind::kGarbageBeforeAnswer, "get_device_info_request", 1, milliseconds(0), 5});
  book.add({PeerFaultKind::kBadChecksum, "get_device_info_request", 1});
  const FaultEffect effect = book.take("get_device_info_request", false);
  EXPECT_EQ(effect.delay, milliseconds(3000));
  EXPECT_EQ(effect.garbageBytes, 5u);
  EXPECT_TRUE(effect.badChecksum);
  const FaultEffect next = book.take("get_device_info_request", false);
  EXPECT_EQ(next.garbageBytes, 0u);
  EXPECT_FALSE(next.badChecksum);
  EXPECT_EQ(std::ranges::count(garbage_bytes(100), 0xDE), 0) << "garbage never starts a frame";
}

TEST(ParseFault, RefusesWhatWouldNeverAct) {
  struct Case {
    std::vector<std::string> words;
    std::string error;  // "" when accepted
  };
  const std::vector<Case> cases = {
      {{"late-answer", "get_rtc_date_time_request", "delay", "3s", "count", "2"}, ""},
      {{"garbage", "bytes", "100000"}, ""},
      {{"no-answer", "pir_detection_request"}, ""},
      {{"no-answer", "get_rtc_request"}, "no message member 'get_rtc_request'"},
      {{"no-answer", "get_camera_state_response"}, "no message member"},
      {{"late-answer"}, "needs a delay"},
      {{"slow"}, "unknown fault 'slow'"},
      {{"drop-answer", "count", "0"}, "not a count"},
      {{"garbage", "bytes", "99999999999"}, "not a byte count"},
      {{"late-answer", "delay", "9223372036854775808ms"}, "not a time"},
  };
  for (const Case& c : cases) {
    PeerFault parsed;
    std::string why;
    const int result = parse_fault(c.words, McuPeer::fault_member_known, &parsed, &why);
    if (c.error.empty()) {
      EXPECT_EQ(result, 0) << c.words[0] << ": " << why;
    } else {
      EXPECT_EQ(result, -1) << c.words[0];
      EXPECT_NE(why.find(c.error), std::string::npos) << why;
    }
  }
}

TEST(LineRecording, RoundTripsAnyBytes) {
  const std::string path = testing::TempDir() + "/line-record-test.jsonl";
  std::filesystem::remove(path);
  LineMessage odd;
  odd.boardTime = milliseconds(1250);
  odd.direction = PeerDirection::kPeerToCamera;
  odd.member = "get_device_info_response";
  odd.detail = std::string("quote \" back\\slash\nnul ") + '\0' + " high \xff";
  odd.sent = false;
  {
    LineRecording recording;
    ASSERT_EQ(recording.open(path, "ttyS1", "mcu"), 0);
    recording.write(LineMessage{});
    recording.write(odd);
  }
  const std::vector<LineMessage> back = read_line_recording(path);
  ASSERT_EQ(back.size(), 2u);
  EXPECT_EQ(back[1].boardTime, odd.boardTime);
  EXPECT_EQ(back[1].direction, PeerDirection::kPeerToCamera);
  EXPECT_EQ(back[1].detail.substr(0, 25), odd.detail.substr(0, 25));
  EXPECT_NE(back[1].detail.find("nul "), std::string::npos);
  EXPECT_FALSE(back[1].sent);
}

TEST(SerialLine, WritesToALineNobodyReadsGiveUp) {
  PtyPair pty;
  ASSERT_EQ(open_pty(&pty), 0);
  // The camera holds the line open but reads nothing: the line fills and the write gives up.
  const int slave = ::open(pty.slavePath.c_str(), O_RDWR | O_NOCTTY | O_CLOEXEC);
  ASSERT_GE(slave, 0);
  EXPECT_EQ(write_bounded(pty.master, garbage_bytes(1 << 20), milliseconds(50)), -1);
  ::close(slave);
  EXPECT_TRUE(line_hung_up(pty.master));
  EXPECT_EQ(write_bounded(pty.master, garbage_bytes(4), milliseconds(50)), -1);
  close_pty(&pty);
}

// A camera that holds the line open but stopped reading: the peer's answers pile up behind a
// megabyte of garbage, and stopping the peer still returns.
TEST(SerialLine, APeerStopsWhileItsWriteWaitsForRoom) {
  PtyPair pty;
  ASSERT_EQ(open_pty(&pty), 0);
  const int slave = ::open(pty.slavePath.c_str(), O_RDWR | O_NOCTTY | O_CLOEXEC);
  ASSERT_GE(slave, 0);
  McuPeer peer(pty.master, {}, {});
  peer.add_fault({PeerFaultKind::kGarbageBeforeAnswer, "", -1, milliseconds(0), 1 << 20});
  ASSERT_EQ(peer.start(), 0);
  const std::vector<uint8_t> request = frame(std::string("\x0a\x00", 2));  // get_device_info
  ASSERT_EQ(::write(slave, request.data(), request.size()), static_cast<ssize_t>(request.size()));
  ASSERT_TRUE(peer.wait_received("get_device_info_request", 1, std::chrono::seconds(60)));
  peer.stop();
  ::close(slave);
  close_pty(&pty);
}

}  // namespace
}  // namespace sim
