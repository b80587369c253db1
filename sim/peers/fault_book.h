// Faults on demand for a peer of the camera (the MCU, the Modem): what a flaky peer does to the
// messages it sends, switched on by member name with a count, a delay or a number of bytes.
//
// Scenario form, shared by every peer ("fault mcu ...", "fault modem ..."):
//   KIND [MEMBER] [count N] [delay TIME] [bytes N]
// KIND is no-answer, late-answer (needs a delay), drop-answer, garbage or bad-checksum.
#pragma once

#include <chrono>
#include <cstddef>
#include <cstdint>
#include <functional>
#include <span>
#include <string>
#include <string_view>
#include <vector>

namespace sim {

enum class PeerFaultKind : int {
  kNoAnswer,             // the request is read and recorded, nothing is answered
  kLateAnswer,           // the answer leaves `delay` of board time after the request
  kDropAnswer,           // the answer is not sent (use `count` for "n times")
  kGarbageBeforeAnswer,  // stray bytes (never the start byte) go out just before the answer
  kBadChecksum,          // the answer's checksum byte is wrong, so the camera drops the frame
};

// A fault acts on answers to the request member named (empty = every request) and on a
// notification the peer sends of its own when `member` names it. `count` is how many messages
// it acts on; -1 = until cleared.
struct PeerFault {
  PeerFaultKind kind = PeerFaultKind::kNoAnswer;
  std::string member;
  int count = -1;
  std::chrono::milliseconds delay{0};
  std::size_t garbageBytes = 4;
};

// What the faults that matched do to one message. A withheld message is not written at all;
// the other effects may combine (a late answer with a bad checksum).
struct FaultEffect {
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

// "no-answer", ... as in scenarios.
std::string_view fault_kind_name(PeerFaultKind kind);
// "MCU fault late-answer on get_rtc_date_time_request, 2 times, 3000 ms late".
std::string describe_fault(std::string_view peer, const PeerFault& fault);

// Parses the scenario form above. `knownMember` says whether the peer has a member of that name
// (a fault on a member that does not exist would never act). Returns 0, or -1 with a reason.
int parse_fault(std::span<const std::string> words,
                const std::function<bool(std::string_view)>& knownMember, PeerFault* ret_fault,
                std::string* ret_error);

// The faults switched on for one peer. Not thread-safe: the peer guards it with its own lock.
class FaultBook {
 public:
  void add(const PeerFault& fault);
  void clear();
  bool empty() const { return faults_.empty(); }

  // Applies the faults that match one outgoing message and uses up one of each one's count.
  // `member` is the request member answered, or the notification's own member name. A fault
  // without a member acts on every answer but on no notification, so that a silent peer can
  // still be told to notify.
  FaultEffect take(std::string_view member, bool isNotification);

 private:
  std::vector<PeerFault> faults_;
};

}  // namespace sim
