// The board clock: one shared page that every process of the simulated board reads its date and
// time from, so the camera, the shell commands it runs and the board itself all see one clock.
//
// Board time is virtual. The board (sim/board/board_time.*) advances it and the clock shim
// preloaded into the sandbox (board_clock_shim.cc) reads it:
//  - while the camera's processes compute, board time advances by the processor time they use,
//    as if they ran on the camera's one core: the same work costs the same board time on a busy
//    host as on a quiet one;
//  - the chip's own hardware (sensor, ISP, encoder), which the host media library computes on
//    the host's processors, and the board's peers cost no board time;
//  - when every process of the board waits, board time jumps to the earliest moment something
//    is due: a sleep or timed wait ending (each registers its deadline here) or an alarm of the
//    board's own (a peer's late answer, a scenario event, the end of a wake-up).
//
// Board monotonic time starts at 0 when the page is made and never goes back; it is the board's
// elapsed time. The camera's CLOCK_MONOTONIC counts from its power-up (`bootMono`), as a kernel's
// does. Board date and time keep a fixed distance to board monotonic time until someone sets the
// clock (the scenario, or `date -s` inside the sandbox):
//   boardReal = realAnchor + (boardMono - monoAnchor)
// All values are nanoseconds.
//
// The page holds board monotonic time, which only the board's clock thread writes (it moves in
// steps: by the processor time charged at each of the clock's looks, and by the jumps), and a
// sequence-locked date, which writers change under an exclusive flock on the page file. Beside
// them are the tables through which the shim tells the board what the camera's threads do:
// timed waits with their deadlines, hardware work, processes and their processor time, and the
// bytes each side of a serial line wrote and read.
//
// Header-only and free of the C++ runtime: the clock shim includes it.
#pragma once

#include <signal.h>
#include <stdint.h>
#include <time.h>

namespace board_clock {

inline constexpr uint32_t kPageMagic = 0x4b4c4342;  // "BCLK"
inline constexpr uint32_t kPageVersion = 2;
inline constexpr uint32_t kPageSize = 64 * 1024;
inline constexpr int64_t kNsPerSecond = 1000000000;
// Environment variable naming the page file for the shim.
inline constexpr char kPageEnvironment[] = "BOARD_CLOCK";
// The camera's monotonic clock when its processor is powered. A camera's clock starts near zero
// at power-up and the application starts moments later, so the media library's frame stamps
// (taken from this clock) count from about the application's start, as the burst's timing
// expects.
inline constexpr int64_t kKernelBootNs = 0;
// The real-time signal the board sends a thread of the sandbox to end a wait whose deadline the
// board's time reached. The shim keeps it blocked outside its waits.
inline int wake_signal() {
  return SIGRTMAX - 3;
}

inline constexpr uint32_t kWaiterSlots = 256;
inline constexpr uint32_t kHardwareSlots = 64;
inline constexpr uint32_t kProcessSlots = 512;
inline constexpr uint32_t kSerialLines = 2;

// Slot states. A writer takes a free slot by compare-and-swap to kSlotWriting, fills it, and
// publishes it with a release store of the final state.
inline constexpr uint32_t kSlotFree = 0;
inline constexpr uint32_t kSlotWriting = 1;
inline constexpr uint32_t kSlotWaiting = 2;  // waiter: in a timed wait until `deadline`
inline constexpr uint32_t kSlotActive = 2;   // hardware: working; process: alive
inline constexpr uint32_t kSlotEnded = 3;    // hardware: done, `cpuAtEnd` valid; process: exited

// What a timed wait waits for besides its deadline.
inline constexpr uint32_t kWaitForTime = 0;       // a sleep: only the deadline or a signal end it
inline constexpr uint32_t kWaitForSomething = 1;  // descriptors, a semaphore, a condition, a queue

// A thread of the sandbox inside a timed wait.
struct Waiter {
  uint32_t state;
  uint32_t wakeable;  // the wake signal ends the wait early; otherwise it ends by its host timer
  uint64_t pidNamespace;  // inode of the thread's PID namespace
  int32_t tid;            // the thread's id in that namespace
  uint32_t waitsFor;      // kWaitForTime or kWaitForSomething
  int64_t deadline;       // board monotonic time
};

// A thread doing the chip's hardware work: the host media library computes a frame or encodes
// one, or a thread that such work started (the encoder's own threads) for its whole life.
struct Hardware {
  uint32_t state;
  uint32_t wholeLife;
  uint64_t pidNamespace;
  int32_t tid;
  int32_t reserved;
  int64_t cpuAtStart;  // the thread's processor time when the work began
  int64_t cpuAtEnd;    // and when it ended (state kSlotEnded)
};

// A process running under the board clock, and at its end its processor time.
struct Process {
  uint32_t state;
  int32_t pid;  // in its PID namespace
  uint64_t pidNamespace;
  int64_t cpuAtExit;  // state kSlotEnded
};

// Bytes each side of a serial line wrote and read since the board reset the counts. While the
// camera's side has written more than the board's peer read (or the other way round) bytes are
// on their way through the kernel's terminal layer, and the board is not idle.
struct SerialBytes {
  uint64_t device;  // st_rdev of the camera's end (the pseudo-terminal's slave)
  int64_t cameraWrote;
  int64_t cameraRead;
  int64_t boardWrote;
  int64_t boardRead;
};

struct Date {
  int64_t realAnchor;
  int64_t monoAnchor;
  int64_t bootMono;  // board time of the camera's last power-up
};

struct Page {
  uint32_t magic;
  uint32_t version;
  uint32_t dateSequence;
  uint32_t reserved0;
  int64_t board;  // board monotonic time (atomic)
  Date date;
  // Bumped by the shim each time a thread starts a timed wait, and futex-woken while the board
  // is `listening` (waiting for it), so the board looks at once whether everything waits.
  uint32_t activity;
  uint32_t listening;
  // Bumped by the shim before a process of the sandbox starts another (fork, posix_spawn,
  // system, popen), so the board looks for new processes.
  uint32_t spawned;
  // The thread that began the latest timed wait (so the board knows whom to see asleep).
  int32_t lastWaiter;
  uint64_t lastWaiterNamespace;
  SerialBytes lines[kSerialLines];
  Waiter waiters[kWaiterSlots];
  Hardware hardware[kHardwareSlots];
  Process processes[kProcessSlots];
};
static_assert(sizeof(Page) <= kPageSize, "the clock page outgrew its file");

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
  return page != nullptr && page->magic == kPageMagic && page->version == kPageVersion;
}

// Sequence-locked copy: readers retry while a writer is inside (odd sequence) or moved it.
template <typename Record>
inline Record read_locked(const uint32_t* sequence, const Record* record) {
  constexpr int kWords = sizeof(Record) / sizeof(int64_t);
  static_assert(sizeof(Record) % sizeof(int64_t) == 0, "records are made of 64-bit words");
  for (;;) {
    const uint32_t before = __atomic_load_n(sequence, __ATOMIC_ACQUIRE);
    if ((before & 1U) != 0) {
      continue;
    }
    Record copy;
    const auto* from = reinterpret_cast<const int64_t*>(record);
    auto* to = reinterpret_cast<int64_t*>(&copy);
    for (int i = 0; i < kWords; ++i) {
      to[i] = __atomic_load_n(&from[i], __ATOMIC_ACQUIRE);
    }
    if (__atomic_load_n(sequence, __ATOMIC_RELAXED) == before) {
      return copy;
    }
  }
}

// One writer at a time (the caller makes sure of it).
template <typename Record>
inline void write_locked(uint32_t* sequence, Record* record, const Record& value) {
  constexpr int kWords = sizeof(Record) / sizeof(int64_t);
  __atomic_add_fetch(sequence, 1U, __ATOMIC_ACQ_REL);
  const auto* from = reinterpret_cast<const int64_t*>(&value);
  auto* to = reinterpret_cast<int64_t*>(record);
  for (int i = 0; i < kWords; ++i) {
    __atomic_store_n(&to[i], from[i], __ATOMIC_RELEASE);
  }
  __atomic_add_fetch(sequence, 1U, __ATOMIC_RELEASE);
}

inline int64_t board_mono(const Page* page) {
  return __atomic_load_n(&page->board, __ATOMIC_ACQUIRE);
}
inline Date read_date(const Page* page) {
  return read_locked(&page->dateSequence, &page->date);
}

inline int64_t board_real(const Date& date, int64_t boardMono) {
  return date.realAnchor + (boardMono - date.monoAnchor);
}

// Board date and time -> board monotonic time.
inline int64_t mono_of_real(const Date& date, int64_t boardReal) {
  return date.monoAnchor + (boardReal - date.realAnchor);
}

// The camera's CLOCK_MONOTONIC <-> board monotonic time.
inline int64_t camera_mono(const Date& date, int64_t boardMono) {
  return boardMono - date.bootMono + kKernelBootNs;
}
inline int64_t mono_of_camera(const Date& date, int64_t cameraMono) {
  return cameraMono + date.bootMono - kKernelBootNs;
}

// The date after setting board date and time to `boardReal` at board time `boardMono`.
inline Date with_real(Date date, int64_t boardMono, int64_t boardReal) {
  date.monoAnchor = boardMono;
  date.realAnchor = boardReal;
  return date;
}

}  // namespace board_clock
