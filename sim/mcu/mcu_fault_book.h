// The faults switched on for the MCU peer, and what they do to one outgoing message.
#pragma once

#include <chrono>
#include <cstddef>
#include <cstdint>
#include <string>
#include <string_view>
#include <vector>

#include "sim/mcu/mcu_peer.h"

namespace sim {

// What the faults that matched do to one message. A withheld message is not written at all;
// the other effects may combine (a late answer with a bad checksum).
struct McuFaultEffect {
  bool withheld = false;
  std::chrono::milliseconds delay{0};
  std::size_t garbageBytes = 0;
  bool badChecksum = false;
  // One short text per fault that acted, for the record ("dropped", "late 3000 ms", ...).
  std::string description;
};

// `count` stray bytes for the line between frames. None is the start byte 0xDE, so the camera
// drops each on its own and the frame after them still synchronises.
std::vector<uint8_t> garbage_bytes(std::size_t count);

class McuFaultBook {
 public:
  void add(const McuFault& fault);
  void clear();
  bool empty() const { return faults_.empty(); }

  // Applies the faults that match one outgoing message and uses up one of each one's count.
  // `member` is the request member answered, or the notification's own member name.
  McuFaultEffect take(std::string_view member, bool isNotification);

 private:
  std::vector<McuFault> faults_;
};

}  // namespace sim
