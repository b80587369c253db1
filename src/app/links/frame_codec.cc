#include "app/links/frame_codec.h"

namespace {

// Appends `byte` at ret_frame[*position], stuffed when it must be. False when it does not fit.
bool put(uint8_t byte, bool stuffed, std::span<uint8_t> ret_frame, std::size_t* position) {
  const bool escape = stuffed && frame_byte_needs_escape(byte);
  const std::size_t needed = escape ? 2 : 1;
  if (*position + needed > ret_frame.size()) {
    return false;
  }
  if (escape) {
    ret_frame[(*position)++] = kFrameEscapeByte;
    ret_frame[(*position)++] = static_cast<uint8_t>(byte ^ kFrameEscapeByte);
  } else {
    ret_frame[(*position)++] = byte;
  }
  return true;
}

}  // namespace

uint8_t frame_checksum(std::span<const uint8_t> header, std::span<const uint8_t> payload) {
  unsigned sum = 0;
  for (uint8_t byte : header) {
    sum += byte;
  }
  for (uint8_t byte : payload) {
    sum += byte;
  }
  return static_cast<uint8_t>((256 - sum % 256) % 256);
}

void frame_header(std::size_t payloadLength, uint8_t (&ret_header)[kFrameHeaderSize]) {
  ret_header[0] = kFrameHeaderByte;
  ret_header[1] = kFrameVersion;
  ret_header[2] = kFrameSequence;
  ret_header[3] = static_cast<uint8_t>(payloadLength & 0xFF);
  ret_header[4] = static_cast<uint8_t>((payloadLength >> 8) & 0xFF);
}

std::size_t build_frame(std::span<const uint8_t> payload, std::span<uint8_t> ret_frame) {
  if (payload.size() > 0xFFFF) {
    return 0;
  }
  uint8_t header[kFrameHeaderSize];
  frame_header(payload.size(), header);

  std::size_t position = 0;
  bool fits = put(kFrameStartByte, false, ret_frame, &position);
  for (uint8_t byte : header) {
    fits = fits && put(byte, false, ret_frame, &position);
  }
  for (uint8_t byte : payload) {
    fits = fits && put(byte, true, ret_frame, &position);
  }
  fits = fits && put(0x00, false, ret_frame, &position);
  fits = fits && put(frame_checksum(header, payload), true, ret_frame, &position);
  fits = fits && put(kFrameStopByte, false, ret_frame, &position);
  return fits ? position : 0;
}
