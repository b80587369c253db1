// The frame built by the camera's codec, and the peers' independent framer checked against it.
#include "app/links/frame_codec.h"

#include <array>
#include <cstdint>
#include <random>
#include <string>
#include <vector>

#include <gtest/gtest.h>

#include "sim/peers/peer_framer.h"

namespace {

using Bytes = std::vector<uint8_t>;

Bytes camera_frame(const Bytes& payload, std::size_t capacity = 4096) {
  Bytes frame(capacity);
  const std::size_t length = build_frame(payload, frame);
  frame.resize(length);
  return frame;
}

// Frames worked out by hand: the empty payload; stuffed payload bytes counted once in the
// length (01 + 03 + DE + AD + AF = 0x23E: checksum C2); a checksum that needs stuffing itself
// (01 + 01 + 51 = 0x53: checksum AD).
TEST(FrameCodec, ExamplesWorkedOutByHand) {
  // clang-format off
  const std::pair<Bytes, Bytes> examples[] = {
      {{}, {0xDE, 0x01, 0x00, 0x00, 0x00, 0x00, 0x00, 0xFF, 0xAD}},
      {{0xDE, 0xAD, 0xAF}, {0xDE, 0x01, 0x00, 0x00, 0x03, 0x00, 0xAF, 0x71, 0xAF, 0x02, 0xAF, 0x00, 0x00, 0xC2, 0xAD}},
      {{0x51}, {0xDE, 0x01, 0x00, 0x00, 0x01, 0x00, 0x51, 0x00, 0xAF, 0x02, 0xAD}},
  };
  // clang-format on
  for (const auto& [payload, frame] : examples) {
    EXPECT_EQ(camera_frame(payload), frame);
  }
}

TEST(FrameCodec, LengthIsLittleEndianAndHeaderBytesAreNeverStuffed) {
  // 0xAD payload bytes: the low length byte is the stop byte's value and goes out as it is.
  const Bytes payload(0xAD, 0x11);
  const Bytes frame = camera_frame(payload);
  ASSERT_GE(frame.size(), 6u);
  EXPECT_EQ(frame[4], 0xAD);
  EXPECT_EQ(frame[5], 0x00);

  const Bytes longer = camera_frame(Bytes(0x0123, 0x11));
  EXPECT_EQ(longer[4], 0x23);
  EXPECT_EQ(longer[5], 0x01);
}

// Other sums are checked through the examples above and the peers' framer below.
TEST(FrameCodec, ChecksumOfAZeroSumIsZero) {
  const uint8_t zeroSum[kFrameHeaderSize] = {0x00, 0x00, 0x00, 0x00, 0x00};
  EXPECT_EQ(frame_checksum(zeroSum, {}), 0x00) << "(256 - 0) mod 256 is 0, not 256";
}

TEST(FrameCodec, FrameThatDoesNotFitIsRefused) {
  const Bytes payload = {0xDE, 0xDE};
  // 9 bytes of frame plus two escapes: 13.
  Bytes frame(12);
  EXPECT_EQ(build_frame(payload, frame), 0u);
  frame.resize(13);
  EXPECT_EQ(build_frame(payload, frame), 13u);
}

// The peers' framer is written apart from the codec; both must produce the same bytes, and the
// peers' deframer must take back what the camera sends.
TEST(PeerFramer, AgreesWithTheCameraCodecOnRandomPayloads) {
  std::mt19937 random(7);
  for (int round = 0; round < 300; ++round) {
    Bytes payload(random() % 300);
    for (uint8_t& byte : payload) {
      // Plenty of bytes that need stuffing.
      const uint8_t specials[] = {0xDE, 0xAD, 0xAF};
      byte = random() % 4 == 0 ? specials[random() % 3] : static_cast<uint8_t>(random());
    }
    const Bytes camera = camera_frame(payload);
    ASSERT_EQ(camera, sim::frame(payload)) << "round " << round;

    sim::Deframer deframer;
    deframer.feed(camera);
    Bytes back;
    ASSERT_TRUE(deframer.pop(&back)) << "round " << round << ": " << deframer.lastError();
    EXPECT_EQ(back, payload);
  }
}

TEST(PeerFramer, DeframerTakesBytesInAnySlicingAndCountsStrayBytes) {
  const Bytes first = sim::frame(Bytes{0x08, 0x2A});
  const Bytes second = sim::frame(Bytes(0xAD, 0xDE));  // length byte AD, payload all escapes
  Bytes stream = {0x00, 0x55};
  stream.insert(stream.end(), first.begin(), first.end());
  stream.push_back(0x13);
  stream.insert(stream.end(), second.begin(), second.end());

  sim::Deframer deframer;
  for (uint8_t byte : stream) {
    deframer.feed(std::span<const uint8_t>(&byte, 1));
  }
  Bytes payload;
  ASSERT_TRUE(deframer.pop(&payload));
  EXPECT_EQ(payload, (Bytes{0x08, 0x2A}));
  ASSERT_TRUE(deframer.pop(&payload));
  EXPECT_EQ(payload, Bytes(0xAD, 0xDE));
  EXPECT_FALSE(deframer.pop(&payload));
  EXPECT_EQ(deframer.frames(), 2u);
  EXPECT_EQ(deframer.strayBytes(), 3u);
  EXPECT_EQ(deframer.rejected(), 0u);
}

TEST(PeerFramer, DeframerRejectsWhatTheCameraMustNotSend) {
  const Bytes payload = {0x08, 0x17};
  struct Case {
    const char* name;
    Bytes frame;
    const char* error;
  };
  Bytes badEscape = sim::frame(payload);
  badEscape.insert(badEscape.begin() + 6, {0xAF, 0x11});  // escape of a plain byte
  Bytes badHeader = sim::frame(payload);
  badHeader[2] = 0x01;  // version 1
  const std::vector<Case> cases = {
      {"bad checksum", sim::frame(payload, {.checksumError = 1}), "bad checksum"},
      {"bad stop byte", sim::frame(payload, {.stopByte = 0xAC}), "bad stop byte"},
      {"checksum first", sim::frame(payload, {.checksumFirst = true}),
       "checksum field does not start with 00"},
      {"escape of a plain byte", badEscape, "escape of a byte that needs none"},
      {"version 1", badHeader, "unexpected header byte, version or sequence"},
  };
  for (const Case& c : cases) {
    sim::Deframer deframer;
    deframer.feed(c.frame);
    Bytes out;
    EXPECT_FALSE(deframer.pop(&out)) << c.name;
    EXPECT_EQ(deframer.rejected(), 1u) << c.name;
    EXPECT_EQ(deframer.lastError(), c.error) << c.name;
  }
}

TEST(PeerFramer, DeframerRecoversOnANewStartByteInsideAFrame) {
  Bytes stream = sim::frame(Bytes{0x01, 0x02, 0x03});
  stream.resize(7);  // the sender gave up after one payload byte
  const Bytes good = sim::frame(Bytes{0x04});
  stream.insert(stream.end(), good.begin(), good.end());

  sim::Deframer deframer;
  deframer.feed(stream);
  Bytes payload;
  ASSERT_TRUE(deframer.pop(&payload));
  EXPECT_EQ(payload, Bytes{0x04});
  EXPECT_EQ(deframer.rejected(), 1u);
}

}  // namespace
