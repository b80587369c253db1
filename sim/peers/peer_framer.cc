#include "sim/peers/peer_framer.h"

#include <utility>

namespace sim {
namespace {

constexpr uint8_t kHeaderByte = 0x01;
constexpr uint8_t kVersion = 0x00;
constexpr uint8_t kSequence = 0x00;
// Header byte, version, sequence and the two length bytes.
constexpr std::size_t kHeaderSize = 5;

bool needs_escape(uint8_t byte) {
  return byte == kPeerStartByte || byte == kPeerStopByte || byte == kPeerEscapeByte;
}

void put_stuffed(std::vector<uint8_t>& out, uint8_t byte) {
  if (needs_escape(byte)) {
    out.push_back(kPeerEscapeByte);
    out.push_back(static_cast<uint8_t>(byte ^ kPeerEscapeByte));
  } else {
    out.push_back(byte);
  }
}

uint8_t checksum_of(std::span<const uint8_t> header, std::span<const uint8_t> payload) {
  unsigned sum = 0;
  for (uint8_t byte : header) {
    sum += byte;
  }
  for (uint8_t byte : payload) {
    sum += byte;
  }
  return static_cast<uint8_t>(0x100 - (sum & 0xFF));
}

std::span<const uint8_t> as_bytes(std::string_view text) {
  return {reinterpret_cast<const uint8_t*>(text.data()), text.size()};
}

}  // namespace

uint8_t peer_checksum(std::span<const uint8_t> payload) {
  const auto length = payload.size();
  const uint8_t header[kHeaderSize] = {kHeaderByte, kVersion, kSequence,
                                       static_cast<uint8_t>(length & 0xFF),
                                       static_cast<uint8_t>((length >> 8) & 0xFF)};
  return checksum_of(header, payload);
}

std::vector<uint8_t> frame(std::span<const uint8_t> payload, const FrameLayout& layout) {
  const auto low = static_cast<uint8_t>(payload.size() & 0xFF);
  const auto high = static_cast<uint8_t>((payload.size() >> 8) & 0xFF);
  const uint8_t checksum = static_cast<uint8_t>(peer_checksum(payload) + layout.checksumError);

  std::vector<uint8_t> out = {kPeerStartByte, kHeaderByte, kVersion, kSequence};
  if (layout.lengthHighByteFirst) {
    out.insert(out.end(), {high, low});
  } else {
    out.insert(out.end(), {low, high});
  }
  for (uint8_t byte : payload) {
    put_stuffed(out, byte);
  }
  if (layout.checksumFirst) {
    put_stuffed(out, checksum);
    out.push_back(0x00);
  } else {
    out.push_back(0x00);
    put_stuffed(out, checksum);
  }
  out.push_back(layout.stopByte);
  return out;
}

std::vector<uint8_t> frame(std::string_view payload, const FrameLayout& layout) {
  return frame(as_bytes(payload), layout);
}

void Deframer::feed(std::span<const uint8_t> bytes) {
  for (uint8_t byte : bytes) {
    take(byte);
  }
}

void Deframer::feed(std::string_view bytes) {
  feed(as_bytes(bytes));
}

bool Deframer::pop(std::vector<uint8_t>* ret_payload) {
  if (ready_.empty()) {
    return false;
  }
  *ret_payload = std::move(ready_.front());
  ready_.pop_front();
  return true;
}

bool Deframer::pop(std::string* ret_payload) {
  std::vector<uint8_t> payload;
  if (!pop(&payload)) {
    return false;
  }
  ret_payload->assign(payload.begin(), payload.end());
  return true;
}

void Deframer::take(uint8_t byte) {
  switch (stage_) {
    case Stage::kIdle:
      if (byte == kPeerStartByte) {
        header_.clear();
        payload_.clear();
        checksumField_.clear();
        escaped_ = false;
        stage_ = Stage::kHeader;
      } else {
        ++strayBytes_;
      }
      return;

    case Stage::kHeader:
      header_.push_back(byte);
      if (header_.size() < kHeaderSize) {
        return;
      }
      length_ = header_[3] | (static_cast<std::size_t>(header_[4]) << 8);
      if (length_ > kMaxPayload) {
        reject("payload too long");
        return;
      }
      stage_ = length_ == 0 ? Stage::kChecksum : Stage::kPayload;
      return;

    case Stage::kPayload:
    case Stage::kChecksum: {
      // Stuffing keeps the start byte out of a frame: one here means the sender gave up on the
      // frame and began another.
      if (byte == kPeerStartByte) {
        reject("start byte inside a frame");
        stage_ = Stage::kIdle;
        take(byte);
        return;
      }
      uint8_t value = 0;
      if (!unstuff(byte, &value)) {
        return;
      }
      if (stage_ == Stage::kPayload) {
        payload_.push_back(value);
        if (payload_.size() == length_) {
          stage_ = Stage::kChecksum;
        }
      } else {
        checksumField_.push_back(value);
        if (checksumField_.size() == 2) {
          stage_ = Stage::kStop;
        }
      }
      return;
    }

    case Stage::kStop:
      finish(byte);
      return;
  }
}

bool Deframer::unstuff(uint8_t byte, uint8_t* ret_value) {
  if (escaped_) {
    escaped_ = false;
    const auto value = static_cast<uint8_t>(byte ^ kPeerEscapeByte);
    if (!needs_escape(value)) {
      reject("escape of a byte that needs none");
      return false;
    }
    *ret_value = value;
    return true;
  }
  if (byte == kPeerEscapeByte) {
    escaped_ = true;
    return false;
  }
  if (byte == kPeerStopByte) {
    reject("stop byte inside a frame");
    return false;
  }
  *ret_value = byte;
  return true;
}

void Deframer::reject(const char* why) {
  ++rejected_;
  lastError_ = why;
  stage_ = Stage::kIdle;
}

void Deframer::finish(uint8_t stopByte) {
  stage_ = Stage::kIdle;
  if (stopByte != kPeerStopByte) {
    reject("bad stop byte");
    return;
  }
  if (header_[0] != kHeaderByte || header_[1] != kVersion || header_[2] != kSequence) {
    reject("unexpected header byte, version or sequence");
    return;
  }
  if (checksumField_[0] != 0x00) {
    reject("checksum field does not start with 00");
    return;
  }
  if (checksumField_[1] != checksum_of(header_, payload_)) {
    reject("bad checksum");
    return;
  }
  ++frames_;
  ready_.push_back(std::move(payload_));
  payload_.clear();
}

}  // namespace sim
