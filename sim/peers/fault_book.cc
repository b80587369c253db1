#include "sim/peers/fault_book.h"

#include <algorithm>
#include <array>

#include "sim/board/directive_words.h"

namespace sim {

namespace {

// Bytes a noisy line might carry: framing look-alikes (stop 0xAD, escape 0xAF), zero, all ones.
constexpr std::array<uint8_t, 8> kGarbagePattern = {0x55, 0xAD, 0x00, 0xFF, 0xAF, 0x13, 0x7E, 0x01};

// More garbage than this in one go is no longer a noisy line but a scenario mistake.
constexpr std::size_t kMaxGarbageBytes = 1 << 20;

struct KindName {
  PeerFaultKind kind;
  std::string_view name;
};

constexpr std::array kKindNames = {
    KindName{PeerFaultKind::kNoAnswer, "no-answer"},
    KindName{PeerFaultKind::kLateAnswer, "late-answer"},
    KindName{PeerFaultKind::kDropAnswer, "drop-answer"},
    KindName{PeerFaultKind::kGarbageBeforeAnswer, "garbage"},
    KindName{PeerFaultKind::kBadChecksum, "bad-checksum"},
};

bool matches(const PeerFault& fault, std::string_view member, bool isNotification) {
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

std::string_view fault_kind_name(PeerFaultKind kind) {
  return kKindNames[static_cast<std::size_t>(kind)].name;
}

std::string describe_fault(std::string_view peer, const PeerFault& fault) {
  std::string text = std::string(peer) + " fault " + std::string(fault_kind_name(fault.kind));
  text += fault.member.empty() ? " on every answer" : " on " + fault.member;
  if (fault.count >= 0) {
    text += ", " + std::to_string(fault.count) + " time" + (fault.count == 1 ? "" : "s");
  }
  if (fault.delay.count() > 0) {
    text += ", " + std::to_string(fault.delay.count()) + " ms late";
  }
  if (fault.kind == PeerFaultKind::kGarbageBeforeAnswer) {
    text += ", " + std::to_string(fault.garbageBytes) + " bytes";
  }
  return text;
}

int parse_fault(std::span<const std::string> words,
                const std::function<bool(std::string_view)>& knownMember, PeerFault* ret_fault,
                std::string* ret_error) {
  auto fail = [&](std::string why) {
    *ret_error = std::move(why);
    return -1;
  };
  if (words.empty()) {
    return fail("a fault needs a kind: no-answer, late-answer, drop-answer, garbage, bad-checksum");
  }
  const auto found = std::find_if(kKindNames.begin(), kKindNames.end(),
                                  [&](const KindName& entry) { return entry.name == words[0]; });
  if (found == kKindNames.end()) {
    return fail("unknown fault '" + words[0] +
                "' (expected no-answer, late-answer, drop-answer, garbage or bad-checksum)");
  }
  PeerFault fault;
  fault.kind = found->kind;
  std::size_t i = 1;
  if (i < words.size() && words[i] != "count" && words[i] != "delay" && words[i] != "bytes") {
    fault.member = words[i++];
    if (!knownMember(fault.member)) {
      return fail("no message member '" + fault.member + "' on this line");
    }
  }
  for (; i < words.size(); i += 2) {
    if (i + 1 >= words.size()) {
      return fail("'" + words[i] + "' needs a value");
    }
    const std::string& value = words[i + 1];
    if (words[i] == "count") {
      if (!board::parse_number(value, &fault.count) || fault.count < 1) {
        return fail("'" + value + "' is not a count (1 or more)");
      }
    } else if (words[i] == "delay") {
      if (!board::parse_duration(value, &fault.delay)) {
        return fail("'" + value + "' is not a time (a number and a unit: 500ms, 2s, 10m)");
      }
    } else if (words[i] == "bytes") {
      if (!board::parse_number(value, &fault.garbageBytes) || fault.garbageBytes < 1 ||
          fault.garbageBytes > kMaxGarbageBytes) {
        return fail("'" + value + "' is not a byte count (1.." + std::to_string(kMaxGarbageBytes) +
                    ")");
      }
    } else {
      return fail("unknown fault option '" + words[i] + "' (expected count, delay or bytes)");
    }
  }
  if (fault.kind == PeerFaultKind::kLateAnswer && fault.delay.count() <= 0) {
    return fail("a late-answer fault needs a delay");
  }
  *ret_fault = fault;
  return 0;
}

void FaultBook::add(const PeerFault& fault) {
  if (fault.count == 0) {
    return;
  }
  faults_.push_back(fault);
}

void FaultBook::clear() {
  faults_.clear();
}

FaultEffect FaultBook::take(std::string_view member, bool isNotification) {
  FaultEffect effect;
  for (PeerFault& fault : faults_) {
    if (!matches(fault, member, isNotification)) {
      continue;
    }
    switch (fault.kind) {
      case PeerFaultKind::kNoAnswer:
        effect.withheld = true;
        describe(effect.description, "not answered");
        break;
      case PeerFaultKind::kDropAnswer:
        effect.withheld = true;
        describe(effect.description, "dropped");
        break;
      case PeerFaultKind::kLateAnswer:
        effect.delay = std::max(effect.delay, fault.delay);
        describe(effect.description, "late " + std::to_string(fault.delay.count()) + " ms");
        break;
      case PeerFaultKind::kGarbageBeforeAnswer:
        effect.garbageBytes += fault.garbageBytes;
        describe(effect.description,
                 "after " + std::to_string(fault.garbageBytes) + " garbage bytes");
        break;
      case PeerFaultKind::kBadChecksum:
        effect.badChecksum = true;
        describe(effect.description, "bad checksum");
        break;
    }
    if (fault.count > 0) {
      --fault.count;
    }
  }
  std::erase_if(faults_, [](const PeerFault& fault) { return fault.count == 0; });
  return effect;
}

}  // namespace sim
