// The board clock as the board itself (outside the sandbox) keeps it: it makes the clock page
// that the shim in the sandbox reads, sets the date and time, and runs the thread that moves
// board time (see sim/clock/board_clock_page.h for the rules):
//  - while the camera's processes compute, board time advances by the processor time they use;
//  - the chip's hardware work and the board's own threads cost no board time;
//  - when every process and thread of the board waits (nothing runs or waits for a processor,
//    no byte is on its way on a serial line), board time jumps to the earliest deadline of a
//    wait in the sandbox or of an alarm of the board's own, and the thread ends those waits.
// So a story gives the same outcome on a busy host as on a quiet one, and a 300 s time-out
// costs the host only the computation around it.
//
// The board's own threads wait for a moment of board time through alarms (set_alarm,
// sleep_until, wait_until), never by sleeping host time, so that the clock knows what they
// wait for.
#pragma once

#include <sys/types.h>

#include <chrono>
#include <condition_variable>
#include <cstdint>
#include <functional>
#include <map>
#include <memory>
#include <mutex>
#include <string>
#include <thread>

#include "sim/clock/board_clock_page.h"
#include "sim/peers/peer_clock.h"

namespace sim::board {

class BoardTasks;

class BoardTime {
 public:
  BoardTime();
  ~BoardTime();
  BoardTime(const BoardTime&) = delete;
  BoardTime& operator=(const BoardTime&) = delete;

  // Makes the page file at `path` with the board's date and time at `startEpochMs`, and starts
  // the clock's thread, which watches this process and everything it starts. `speedLimit`
  // keeps board time from running more than that many times as fast as the host's (0: no
  // limit, board time runs as far ahead as the waits let it). Returns 0 or -1 with `ret_error`.
  int create(const std::string& path, uint32_t speedLimit, int64_t startEpochMs,
             std::string* ret_error = nullptr);

  const std::string& path() const { return path_; }
  uint32_t speed_limit() const { return speedLimit_; }

  // Board time since create() (setting the date does not move it).
  std::chrono::milliseconds elapsed() const;
  std::chrono::nanoseconds elapsed_ns() const;
  // The camera's date and time now, in milliseconds since 1970 (UTC).
  int64_t epoch_ms() const;
  // Sets the camera's date and time, as `date -s` inside the sandbox does.
  int set_epoch_ms(int64_t epochMs);

  // The camera's processor powers up: its monotonic clock starts again, and the byte counts of
  // the serial lines start afresh. Call before the camera's first process starts. Board time
  // does not jump until a program of the camera waits on a time of its own (or 10 s of host
  // time passed): until then the board only prepares (its parts power up, the sandbox is made,
  // the programs load), which takes no board time.
  void power_up();
  // Its processes are all gone: forget what they registered in the page.
  void power_off();
  // While the board does work of its own that takes no board time (taking the power away,
  // looking at what the camera left), board time does not jump: hold() and release() pair.
  void hold();
  void release();
  // The camera opens the pseudo-terminal slave `slavePath` as serial line `index`; `master` is
  // the board's end. The shim counts what the camera moves on it, the board's peers what they
  // move (through the counters `counters()` gives).
  void watch_serial_line(int index, const std::string& slavePath, int master);
  // Where the board's side of line `index` counts the bytes it wrote and read.
  std::pair<int64_t*, int64_t*> board_byte_counters(int index);

  // Rings `ring` (on the clock's thread) once board time reaches `at` (elapsed time). The
  // clock jumps there when nothing else happens first. Returns the alarm's id.
  uint64_t set_alarm(std::chrono::nanoseconds at, std::function<void()> ring);
  // Removes an alarm; if it is ringing on another thread, waits until it has rung.
  void cancel_alarm(uint64_t id);
  // Sleeps the calling (board) thread until board time reaches `elapsed`.
  void sleep_until(std::chrono::milliseconds elapsed);
  // Waits on `changed` until `done()` (checked with `lock` held) or board time `at`; returns
  // done(). The condition is notified under `lock`'s mutex when the time comes.
  bool wait_until(std::unique_lock<std::mutex>& lock, std::condition_variable& changed,
                  std::chrono::nanoseconds at, const std::function<bool()>& done);
  // This clock as the board's threads and peers see it (valid while this lives).
  const sim::PeerClock& clock() const { return view_; }

  // What the clock did since it was made.
  struct Usage {
    std::chrono::nanoseconds host{0};         // host time
    std::chrono::nanoseconds working{0};      // of it, while something of the board worked
    std::chrono::nanoseconds cameraCpu{0};    // board time charged for the camera's computing
    std::chrono::nanoseconds hardwareCpu{0};  // host processor time of the chip's hardware
    std::chrono::nanoseconds jumped{0};       // board time skipped while everything waited
    int64_t jumps = 0;
    bool workingNow = false;  // at the clock's last look
  };
  Usage usage() const;

 private:
  class Driver;

  std::string path_;
  int fd_ = -1;
  board_clock::Page* page_ = nullptr;
  uint32_t speedLimit_ = 0;
  std::unique_ptr<Driver> driver_;
  sim::PeerClock view_;
};

// Host CLOCK_MONOTONIC in nanoseconds.
int64_t host_mono_ns();

}  // namespace sim::board
