// Board time as a thread of the board (a peer on a serial line, a part) sees it: the time now,
// and alarms that the board rings when its time reaches a moment. An alarm tells the board's
// clock what the thread waits for: when nothing else happens, board time jumps to the earliest
// alarm or deadline. So a board thread never waits for a moment of board time by sleeping host
// time, which the clock cannot see.
//
// A clock made without the board (a peer tested on its own) is host time since it was made,
// and its waits are host waits.
#pragma once

#include <chrono>
#include <condition_variable>
#include <cstdint>
#include <functional>
#include <mutex>

namespace sim {

class PeerClock {
 public:
  using Now = std::function<std::chrono::milliseconds()>;
  using SetAlarm = std::function<uint64_t(std::chrono::nanoseconds, std::function<void()>)>;
  using CancelAlarm = std::function<void(uint64_t)>;

  // Host time since now.
  PeerClock();
  PeerClock(Now now, SetAlarm setAlarm, CancelAlarm cancelAlarm);

  std::chrono::milliseconds now() const { return now_(); }
  // Whether the board rings alarms (otherwise waits are host waits).
  bool has_alarms() const { return static_cast<bool>(setAlarm_); }
  // Rings `ring` (on the board clock's thread) when board time reaches `at`; 0 without alarms.
  uint64_t set_alarm(std::chrono::nanoseconds at, std::function<void()> ring) const;
  // Removes an alarm; if it is ringing on another thread, returns once it has rung.
  void cancel_alarm(uint64_t id) const;
  // Waits on `changed` (with `lock` held around done()) until done() or board time `at`.
  // Returns done().
  bool wait_until(std::unique_lock<std::mutex>& lock, std::condition_variable& changed,
                  std::chrono::nanoseconds at, const std::function<bool()>& done) const;
  // The host time a board wait of `span` takes if nothing jumps: at most `span`.
  static std::chrono::milliseconds host_estimate(std::chrono::milliseconds span);

 private:
  Now now_;
  SetAlarm setAlarm_;
  CancelAlarm cancelAlarm_;
};

// An alarm a thread re-aims as its next moment changes; gone with it.
class PeerAlarm {
 public:
  PeerAlarm(const PeerClock& clock, std::function<void()> ring)
      : clock_(clock), ring_(std::move(ring)) {}
  ~PeerAlarm() { clear(); }
  PeerAlarm(const PeerAlarm&) = delete;
  PeerAlarm& operator=(const PeerAlarm&) = delete;

  // Rings at board time `at`, instead of the moment set before.
  void aim(std::chrono::nanoseconds at);
  void clear();

 private:
  const PeerClock& clock_;
  std::function<void()> ring_;
  uint64_t id_ = 0;
  std::chrono::nanoseconds at_{-1};
};

}  // namespace sim
