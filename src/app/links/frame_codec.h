// The byte frame shared by the MCU and Modem serial links.
//
//   DE | 01 | version 00 | sequence 00 | length low, high | payload | 00, checksum | AD
//
// The payload is one encoded wrapper message. The payload
// bytes and the checksum byte are stuffed so that the start and stop bytes never appear inside
// a frame: DE, AD and AF go out as AF followed by the byte XOR AF. The checksum makes the sum of
// header byte, version, sequence, both length bytes and the unstuffed payload zero modulo 256.
// The log texts call it CRC; it is this additive checksum.
#pragma once

#include <cstddef>
#include <cstdint>
#include <span>

inline constexpr uint8_t kFrameStartByte = 0xDE;
inline constexpr uint8_t kFrameStopByte = 0xAD;
inline constexpr uint8_t kFrameEscapeByte = 0xAF;
inline constexpr uint8_t kFrameHeaderByte = 0x01;
inline constexpr uint8_t kFrameVersion = 0x00;
inline constexpr uint8_t kFrameSequence = 0x00;  // never incremented
// Header byte, version, sequence and the two length bytes.
inline constexpr std::size_t kFrameHeaderSize = 5;
// Start byte, header, checksum field and stop byte around the payload.
inline constexpr std::size_t kFrameOverhead = 1 + kFrameHeaderSize + 2 + 1;

// True for the bytes the sender stuffs: start, stop and escape byte.
constexpr bool frame_byte_needs_escape(uint8_t byte) {
  return byte == kFrameStartByte || byte == kFrameStopByte || byte == kFrameEscapeByte;
}

// The checksum of the five header bytes and the unstuffed payload: (256 - sum mod 256) mod 256.
uint8_t frame_checksum(std::span<const uint8_t> header, std::span<const uint8_t> payload);

// The five unstuffed header bytes of a frame carrying `payloadLength` bytes.
void frame_header(std::size_t payloadLength, uint8_t (&ret_header)[kFrameHeaderSize]);

// Builds the complete frame around `payload` in `ret_frame`. Returns the frame's length, or 0
// when the frame does not fit or the payload is longer than the length field can say.
std::size_t build_frame(std::span<const uint8_t> payload, std::span<uint8_t> ret_frame);
