// The board clock: one small shared page that every process of the simulated board reads its
// date and time from, so the camera, the shell commands it runs and the board itself all see
// one clock, which the scenario sets and which may run faster than the host's.
//
// Board monotonic time runs `speed` times as fast as the host's monotonic clock from the
// moment the page was made:
//   boardMono = hostOrigin + (hostMono - hostOrigin) * speed
// and board date and time keep a fixed distance to board monotonic time until someone sets the
// clock (the scenario, or `date -s` inside the sandbox):
//   boardReal = realAnchor + (boardMono - monoAnchor)
// All values are nanoseconds. Writers take an exclusive flock on the page file and bump the
// sequence number around their change (odd while writing); readers retry while it moves.
//
// Header-only and free of the C++ runtime: the clock shim preloaded into every process of the
// sandbox includes it.
#pragma once

#include <stdint.h>
#include <time.h>

namespace board_clock {

inline constexpr uint32_t kPageMagic = 0x4b4c4342;  // "BCLK"
inline constexpr uint32_t kPageVersion = 1;
inline constexpr uint32_t kPageSize = 4096;
inline constexpr int64_t kNsPerSecond = 1000000000;
// Time compression above this would turn every millisecond poll of the camera into a spin.
inline constexpr uint32_t kMaxSpeed = 1000;
// Environment variable naming the page file for the shim.
inline constexpr char kPageEnvironment[] = "BOARD_CLOCK";

struct Page {
  uint32_t magic;
  uint32_t version;
  uint32_t sequence;
  uint32_t speed;
  int64_t hostOrigin;
  int64_t realAnchor;
  int64_t monoAnchor;
};

// The values of a page at one moment, copied out consistently.
struct Snapshot {
  uint32_t speed = 1;
  int64_t hostOrigin = 0;
  int64_t realAnchor = 0;
  int64_t monoAnchor = 0;
};

inline int64_t to_ns(const timespec& time) {
  return static_cast<int64_t>(time.tv_sec) * kNsPerSecond + time.tv_nsec;
}

inline timespec to_timespec(int64_t ns) {
  timespec time;
  time.tv_sec = static_cast<time_t>(ns / kNsPerSecond);
  time.tv_nsec = static_cast<long>(ns % kNsPerSecond);
  if (time.tv_nsec < 0) {
    time.tv_nsec += kNsPerSecond;
    time.tv_sec -= 1;
  }
  return time;
}

inline bool valid(const Page* page) {
  return page != nullptr && page->magic == kPageMagic && page->version == kPageVersion &&
         __atomic_load_n(&page->speed, __ATOMIC_ACQUIRE) >= 1;
}

inline Snapshot read(const Page* page) {
  Snapshot snapshot;
  for (;;) {
    const uint32_t before = __atomic_load_n(&page->sequence, __ATOMIC_ACQUIRE);
    if ((before & 1U) == 0) {
      // Acquire loads keep the second look at the sequence after the values.
      snapshot.speed = __atomic_load_n(&page->speed, __ATOMIC_ACQUIRE);
      snapshot.hostOrigin = __atomic_load_n(&page->hostOrigin, __ATOMIC_ACQUIRE);
      snapshot.realAnchor = __atomic_load_n(&page->realAnchor, __ATOMIC_ACQUIRE);
      snapshot.monoAnchor = __atomic_load_n(&page->monoAnchor, __ATOMIC_ACQUIRE);
      if (__atomic_load_n(&page->sequence, __ATOMIC_RELAXED) == before) {
        return snapshot;
      }
    }
  }
}

// The caller holds the page file's flock.
inline void write(Page* page, const Snapshot& snapshot) {
  __atomic_add_fetch(&page->sequence, 1U, __ATOMIC_ACQ_REL);
  // Release stores keep the odd sequence number ahead of the new values.
  __atomic_store_n(&page->speed, snapshot.speed, __ATOMIC_RELEASE);
  __atomic_store_n(&page->hostOrigin, snapshot.hostOrigin, __ATOMIC_RELEASE);
  __atomic_store_n(&page->realAnchor, snapshot.realAnchor, __ATOMIC_RELEASE);
  __atomic_store_n(&page->monoAnchor, snapshot.monoAnchor, __ATOMIC_RELEASE);
  __atomic_add_fetch(&page->sequence, 1U, __ATOMIC_RELEASE);
}

// Host monotonic time -> board monotonic time.
inline int64_t board_mono(const Snapshot& clock, int64_t hostMono) {
  return clock.hostOrigin + (hostMono - clock.hostOrigin) * clock.speed;
}

inline int64_t board_real(const Snapshot& clock, int64_t hostMono) {
  return clock.realAnchor + (board_mono(clock, hostMono) - clock.monoAnchor);
}

// Board monotonic time -> the host monotonic time at which the board reaches it.
inline int64_t host_mono(const Snapshot& clock, int64_t boardMono) {
  return clock.hostOrigin + (boardMono - clock.hostOrigin) / clock.speed;
}

// Board date and time -> board monotonic time.
inline int64_t mono_of_real(const Snapshot& clock, int64_t boardReal) {
  return clock.monoAnchor + (boardReal - clock.realAnchor);
}

// A board duration as the host waits it. Never rounds a wait that was asked for down to
// nothing, so that a poll loop still yields the processor.
inline int64_t host_duration(const Snapshot& clock, int64_t boardDuration) {
  if (boardDuration <= 0) {
    return boardDuration;
  }
  const int64_t host = boardDuration / clock.speed;
  return host > 0 ? host : 1;
}

// The snapshot after setting board date and time to `boardReal` at host time `hostMono`.
inline Snapshot with_real(Snapshot clock, int64_t hostMono, int64_t boardReal) {
  clock.monoAnchor = board_mono(clock, hostMono);
  clock.realAnchor = boardReal;
  return clock;
}

}  // namespace board_clock
