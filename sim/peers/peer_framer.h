// The peers' own serial framer, for the simulated MCU and Modem.
//
// Written apart from the camera's frame codec on purpose: the peers frame and deframe with this
// code and encode with libprotobuf, so every exchange on the simulated board checks the camera's
// codec and its nanopb messages against an independent implementation.
//
// The frame on both links:
//   DE | 01 | version 00 | sequence 00 | length low, high | payload | 00, checksum | AD
// The payload and the checksum byte are stuffed: DE, AD and AF go out as AF followed by the
// byte XOR AF. The checksum makes the sum of header byte, version, sequence, both length bytes
// and the unstuffed payload zero modulo 256.
//
// The deframer is strict about what the camera must send (length low byte first, checksum field
// 00 then the checksum, stop byte AD, escapes only of DE, AD, AF) and rejects anything else, so
// that a fault in the camera's sender shows up as a rejected frame.
//
// Not thread-safe: one Deframer belongs to the thread that reads the peer's descriptor.
#pragma once

#include <cstddef>
#include <cstdint>
#include <deque>
#include <span>
#include <string>
#include <string_view>
#include <vector>

namespace sim {

inline constexpr uint8_t kPeerStartByte = 0xDE;
inline constexpr uint8_t kPeerStopByte = 0xAD;
inline constexpr uint8_t kPeerEscapeByte = 0xAF;

// Departures from the regular frame, for peers that play a faulty or unusual sender. The
// default is the regular frame.
struct FrameLayout {
  // Length field as high byte then low byte ("00 05" for five bytes).
  bool lengthHighByteFirst = false;
  // Checksum field as checksum then 00 ("3C 00") instead of 00 then checksum.
  bool checksumFirst = false;
  // Added to the correct checksum; non-zero gives a frame with a bad checksum.
  uint8_t checksumError = 0;
  uint8_t stopByte = kPeerStopByte;
};

// The checksum of a frame with this payload: the two's complement of the sum of the header
// byte, version, sequence, both length bytes and the payload.
uint8_t peer_checksum(std::span<const uint8_t> payload);

// One complete frame around `payload` (the encoded message).
std::vector<uint8_t> frame(std::span<const uint8_t> payload, const FrameLayout& layout = {});
std::vector<uint8_t> frame(std::string_view payload, const FrameLayout& layout = {});

// Takes the bytes read from a link in any slicing and yields the payloads of the good frames.
class Deframer {
 public:
  // Frames longer than this are rejected (no message of either set comes near it).
  static constexpr std::size_t kMaxPayload = 4096;

  void feed(std::span<const uint8_t> bytes);
  void feed(std::string_view bytes);

  // Moves the oldest complete payload into *ret_payload; false when there is none.
  bool pop(std::vector<uint8_t>* ret_payload);
  bool pop(std::string* ret_payload);

  // Good frames so far, frames rejected, and bytes that arrived outside any frame.
  std::size_t frames() const { return frames_; }
  std::size_t rejected() const { return rejected_; }
  std::size_t strayBytes() const { return strayBytes_; }
  // Why the last frame was rejected ("bad checksum", "bad stop byte", ...); empty if none was.
  const std::string& lastError() const { return lastError_; }

 private:
  enum class Stage { kIdle, kHeader, kPayload, kChecksum, kStop };

  void take(uint8_t byte);
  // Unstuffs one byte of the payload or checksum; false while the byte is an escape.
  bool unstuff(uint8_t byte, uint8_t* ret_value);
  void reject(const char* why);
  void finish(uint8_t stopByte);

  Stage stage_ = Stage::kIdle;
  std::vector<uint8_t> header_;
  std::vector<uint8_t> payload_;
  std::vector<uint8_t> checksumField_;
  std::size_t length_ = 0;
  bool escaped_ = false;
  std::deque<std::vector<uint8_t>> ready_;
  std::size_t frames_ = 0;
  std::size_t rejected_ = 0;
  std::size_t strayBytes_ = 0;
  std::string lastError_;
};

}  // namespace sim
