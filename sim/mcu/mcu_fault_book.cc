#include "sim/mcu/mcu_fault_book.h"

#include <algorithm>
#include <array>
#include <string>

namespace sim {

namespace {

// Bytes a noisy line might carry: framing look-alikes (stop 0xAD, escape 0xAF), zero, all ones.
constexpr std::array<uint8_t, 8> kGarbagePattern = {0x55, 0xAD, 0x00, 0xFF, 0xAF, 0x13, 0x7E, 0x01};

// A fault without a member acts on every answer; notifications are hit only when named, so a
// silent MCU (every answer withheld) can still be told to send a PIR.
bool matches(const McuFault& fault, std::string_view member, bool isNotification) {
  if (fault.member.empty()) {
    return !isNotification;
  }
  return fault.member == member;
}

void describe(std::string& text, std::string_view what) {
  if (!text.empty()) {
    text += ", ";
  }
  text += what;
}

}  // namespace

std::vector<uint8_t> garbage_bytes(std::size_t count) {
  std::vector<uint8_t> bytes(count);
  for (std::size_t i = 0; i < count; ++i) {
    bytes[i] = kGarbagePattern[i % kGarbagePattern.size()];
  }
  return bytes;
}

void McuFaultBook::add(const McuFault& fault) {
  if (fault.count == 0) {
    return;
  }
  faults_.push_back(fault);
}

void McuFaultBook::clear() {
  faults_.clear();
}

McuFaultEffect McuFaultBook::take(std::string_view member, bool isNotification) {
  McuFaultEffect effect;
  for (McuFault& fault : faults_) {
    if (!matches(fault, member, isNotification)) {
      continue;
    }
    switch (fault.kind) {
      case McuFaultKind::kNoAnswer:
        effect.withheld = true;
        describe(effect.description, "not answered");
        break;
      case McuFaultKind::kDropAnswer:
        effect.withheld = true;
        describe(effect.description, "dropped");
        break;
      case McuFaultKind::kLateAnswer:
        effect.delay = std::max(effect.delay, fault.delay);
        describe(effect.description, "late " + std::to_string(fault.delay.count()) + " ms");
        break;
      case McuFaultKind::kGarbageBeforeAnswer:
        effect.garbageBytes += fault.garbageBytes;
        describe(effect.description,
                 "after " + std::to_string(fault.garbageBytes) + " garbage bytes");
        break;
      case McuFaultKind::kBadChecksum:
        effect.badChecksum = true;
        describe(effect.description, "bad checksum");
        break;
    }
    if (fault.count > 0) {
      --fault.count;
    }
  }
  std::erase_if(faults_, [](const McuFault& fault) { return fault.count == 0; });
  return effect;
}

}  // namespace sim
