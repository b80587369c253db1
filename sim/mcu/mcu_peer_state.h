// What the MCU peer's worker and its public calls share. Private to sim/mcu.
#pragma once

#include <atomic>
#include <chrono>
#include <condition_variable>
#include <cstdint>
#include <functional>
#include <map>
#include <mutex>
#include <set>
#include <string>
#include <vector>

#include <google/protobuf/message.h>

#include "sim/mcu/mcu_peer.h"
#include "sim/peers/fault_book.h"
#include "sim/peers/line_record.h"

namespace sim {

// A message waiting for its time on the line.
struct McuOutgoing {
  std::chrono::milliseconds due{0};
  uint64_t order = 0;
  std::vector<uint8_t> bytes;
  McuRecord record;
  uint32_t answeredRequest = 0;  // request member this answers usably, 0 if none
  bool cutsPower = false;        // the answer to ready-to-sleep: the board cuts power after it
  bool withheld = false;         // a fault keeps it off the line; it is only recorded
};

struct McuPeerState {
  // Fixed at construction.
  PeerClock clock;
  McuRecordCallback onRecord;
  int wakeRead = -1;
  int wakeWrite = -1;
  // Readable once stop() is called: a write waiting for room on the line gives up.
  int stopRead = -1;
  int stopWrite = -1;
  LineRecording recording;
  std::atomic<bool> running{false};

  mutable std::mutex mutex;
  mutable std::condition_variable changed;
  // Everything below is guarded by `mutex`.
  std::function<void()> onReadyToSleep;
  std::vector<std::function<void(bool)>> onModemPower;
  McuSetup setup;
  WakeReason wakeReason = WakeReason::kFirstBoot;
  bool rtcValid = true;
  int32_t rtcEpoch = 0;
  std::chrono::milliseconds rtcSetAt{0};
  McuStatusLed led;
  bool modemPowered = false;
  int watchdogNotifications = 0;
  int wdmDoneRequests = 0;
  FaultBook faults;
  std::vector<McuNotificationRecord> notifications;
  std::vector<McuRecord> history;
  std::map<std::string, int, std::less<>> receivedCount;
  std::map<std::string, int, std::less<>> sentCount;
  // Request members whose last copy has had no usable answer yet: a new copy is a retry.
  std::set<uint32_t> unanswered;
  std::vector<McuOutgoing> outgoing;
  uint64_t nextOrder = 0;
  // Set by a new power-up: the worker forgets a frame half received.
  bool lineReset = false;

  std::chrono::milliseconds now() const { return clock.now(); }
  // The RTC as it reads now: it runs with board time from when it was set.
  int32_t rtc_now() const;
  // Wakes the worker from its wait (new outgoing message, stop).
  void wake() const;

  // Appends to the history under `mutex` and collects the record for the callback, which the
  // caller runs through emit() once the lock is released.
  void note(McuRecord record, std::vector<McuRecord>& emitted);
  void emit(const std::vector<McuRecord>& emitted) const;

  // Frames a kvt_MCU2ISP and puts it on its way as the faults that match it allow; the worker
  // writes (or, when withheld, only records) it once due. `faultMember` is the request member
  // answered or the notification's name; `answeredRequest` the request member's tag (0 for a
  // notification). Caller holds `mutex`.
  void queue(const google::protobuf::Message& wrapper, const std::string& faultMember,
             bool isNotification, uint32_t answeredRequest);
};

// The worker's loop on the line: reads and answers requests, writes what is due.
void run_mcu_line(int fd, McuPeerState& state);

}  // namespace sim
