// The board clock as the board itself (outside the sandbox) keeps it: it makes the clock page
// that the shim in the sandbox reads, sets the date and time, and converts between board and
// host time so that the board can wait for a moment of board time.
#pragma once

#include <chrono>
#include <cstdint>
#include <string>

#include "sim/clock/board_clock_page.h"

namespace sim::board {

class BoardTime {
 public:
  BoardTime() = default;
  ~BoardTime();
  BoardTime(const BoardTime&) = delete;
  BoardTime& operator=(const BoardTime&) = delete;

  // Makes the page file at `path`: the board's date and time start at `startEpochMs` now and
  // run `speed` times as fast as the host's clock. Returns 0 or -1 with `ret_error`.
  int create(const std::string& path, uint32_t speed, int64_t startEpochMs,
             std::string* ret_error = nullptr);

  const std::string& path() const { return path_; }
  uint32_t speed() const;

  // Board time since create() (runs with compression; setting the date does not move it).
  std::chrono::milliseconds elapsed() const;
  // The camera's date and time now, in milliseconds since 1970 (UTC).
  int64_t epoch_ms() const;
  // Sets the camera's date and time, as `date -s` inside the sandbox does.
  int set_epoch_ms(int64_t epochMs);

  // Sleeps the host until the board's elapsed time reaches `elapsed` (at once if it has).
  void sleep_until(std::chrono::milliseconds elapsed) const;
  // The host time that a board duration takes.
  std::chrono::nanoseconds host_duration(std::chrono::nanoseconds boardDuration) const;

 private:
  board_clock::Snapshot snapshot() const;

  std::string path_;
  int fd_ = -1;
  board_clock::Page* page_ = nullptr;
  int64_t startMono_ = 0;
};

// Host CLOCK_MONOTONIC in nanoseconds.
int64_t host_mono_ns();

}  // namespace sim::board
