// What the camera asks of its operating system for commands and time: run a shell command, read
// what one prints, sleep, read the wall clock. Every command, every wait and every log time stamp
// of the application goes through here, so a test can watch the commands in order, answer them,
// and move time by hand instead of waiting for it.
#pragma once

#include <cstdint>
#include <cstdio>
#include <ctime>

// A call left null is the operating system's own.
struct Os {
  // Runs `command` through the shell and waits for it; returns what system(3) returns.
  int (*system)(const char* command) = nullptr;
  // Starts `command` through the shell with its standard output on the returned stream (null
  // when it could not start), as popen(command, "r") does.
  FILE* (*open_pipe)(const char* command) = nullptr;
  // Closes a stream of open_pipe and returns what pclose(3) returns: the command's wait
  // status, or -1.
  int (*close_pipe)(FILE* stream) = nullptr;
  void (*sleep_us)(uint64_t microseconds) = nullptr;
  // Seconds since the epoch.
  time_t (*now)() = nullptr;
};

// The operating system's own calls.
Os real_os();

// Every later call, from any thread, goes to `os` until os_restore() puts the real calls back.
// A test replaces them while no other thread of the application runs, or accepts that
// threads already sleeping finish their real sleep.
void os_replace(const Os& os);
void os_restore();

int os_system(const char* command);
FILE* os_open_pipe(const char* command);
int os_close_pipe(FILE* stream);
void os_sleep_us(uint64_t microseconds);
void os_sleep_ms(uint32_t milliseconds);
time_t os_now();
