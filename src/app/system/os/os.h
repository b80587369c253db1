// What the camera asks of its operating system for commands and time: run a shell command,
// sleep, read the wall clock. Every command, every wait and every log time stamp of the
// application goes through here, so a test can watch the commands in order, answer them, and
// move time by hand instead of waiting for it.
#pragma once

#include <cstdint>
#include <ctime>

struct Os {
  // Runs `command` through the shell and waits for it; returns what system(3) returns.
  int (*system)(const char* command);
  void (*sleep_us)(uint64_t microseconds);
  // Seconds since the epoch.
  time_t (*now)();
};

// The operating system's own calls.
Os real_os();

// Every later call, from any thread, goes to `os` until os_restore() puts the real calls back.
// A test replaces them while no other thread of the application runs, or accepts that
// threads already sleeping finish their real sleep.
void os_replace(const Os& os);
void os_restore();

int os_system(const char* command);
void os_sleep_us(uint64_t microseconds);
void os_sleep_ms(uint32_t milliseconds);
time_t os_now();
