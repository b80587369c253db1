#include "sim/peers/peer_clock.h"

namespace sim {

using std::chrono::milliseconds;
using std::chrono::nanoseconds;

PeerClock::PeerClock() {
  const auto origin = std::chrono::steady_clock::now();
  now_ = [origin] {
    return std::chrono::duration_cast<milliseconds>(std::chrono::steady_clock::now() - origin);
  };
}

PeerClock::PeerClock(Now now, SetAlarm setAlarm, CancelAlarm cancelAlarm)
    : now_(std::move(now)), setAlarm_(std::move(setAlarm)), cancelAlarm_(std::move(cancelAlarm)) {}

uint64_t PeerClock::set_alarm(nanoseconds at, std::function<void()> ring) const {
  return setAlarm_ ? setAlarm_(at, std::move(ring)) : 0;
}

void PeerClock::cancel_alarm(uint64_t id) const {
  if (cancelAlarm_ && id != 0) {
    cancelAlarm_(id);
  }
}

bool PeerClock::wait_until(std::unique_lock<std::mutex>& lock, std::condition_variable& changed,
                           nanoseconds at, const std::function<bool()>& done) const {
  const auto reached = [&] { return now() >= std::chrono::duration_cast<milliseconds>(at); };
  if (done() || reached()) {
    return done();
  }
  if (!has_alarms()) {
    while (!done() && !reached()) {
      const milliseconds left = std::chrono::duration_cast<milliseconds>(at) - now();
      changed.wait_for(lock, std::max(left, milliseconds(1)));
    }
    return done();
  }
  std::mutex* mutex = lock.mutex();
  bool rang = false;
  const uint64_t id = set_alarm(at, [mutex, &changed, &rang] {
    std::lock_guard guard(*mutex);
    rang = true;
    changed.notify_all();
  });
  // The alarm ends the wait; the host bound only re-reads done() now and then.
  while (!done() && !rang) {
    changed.wait_for(lock, std::chrono::seconds(1));
  }
  // The ring takes the mutex: cancel without it.
  lock.unlock();
  cancel_alarm(id);
  lock.lock();
  return done();
}

milliseconds PeerClock::host_estimate(milliseconds span) {
  return std::max(span, milliseconds(0));
}

void PeerAlarm::aim(nanoseconds at) {
  if (at == at_ && id_ != 0) {
    return;
  }
  clear();
  at_ = at;
  id_ = clock_.set_alarm(at, ring_);
}

void PeerAlarm::clear() {
  if (id_ != 0) {
    clock_.cancel_alarm(id_);
    id_ = 0;
  }
  at_ = nanoseconds(-1);
}

}  // namespace sim
