// The wall clock as the camera reads it for its timings: now, and the time between two readings.
#pragma once

#include <cstdint>
#include <ctime>

inline timespec now_realtime() {
  timespec now{};
  clock_gettime(CLOCK_REALTIME, &now);
  return now;
}

inline int64_t elapsed_us(const timespec& from, const timespec& to) {
  return (to.tv_sec - from.tv_sec) * 1000000LL + (to.tv_nsec - from.tv_nsec) / 1000;
}

inline double seconds_between(const timespec& from, const timespec& to) {
  return static_cast<double>(to.tv_sec - from.tv_sec) +
         static_cast<double>(to.tv_nsec - from.tv_nsec) / 1e9;
}
