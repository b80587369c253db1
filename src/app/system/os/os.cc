#include "app/system/os/os.h"

#include <unistd.h>

#include <atomic>
#include <cstdlib>

namespace {

int real_system(const char* command) {
  return std::system(command);
}

FILE* real_open_pipe(const char* command) {
  return popen(command, "r");
}

int real_close_pipe(FILE* stream) {
  return pclose(stream);
}

void real_sleep_us(uint64_t microseconds) {
  usleep(static_cast<useconds_t>(microseconds));
}

time_t real_now() {
  return std::time(nullptr);
}

// One atomic pointer per call, so a thread that reads them while a test replaces them sees the
// old or the new call, never a torn one.
std::atomic<int (*)(const char*)> g_system{real_system};
std::atomic<FILE* (*)(const char*)> g_open_pipe{real_open_pipe};
std::atomic<int (*)(FILE*)> g_close_pipe{real_close_pipe};
std::atomic<void (*)(uint64_t)> g_sleep_us{real_sleep_us};
std::atomic<time_t (*)()> g_now{real_now};

}  // namespace

Os real_os() {
  return {real_system, real_open_pipe, real_close_pipe, real_sleep_us, real_now};
}

void os_replace(const Os& os) {
  const Os real = real_os();
  g_system = os.system != nullptr ? os.system : real.system;
  g_open_pipe = os.open_pipe != nullptr ? os.open_pipe : real.open_pipe;
  g_close_pipe = os.close_pipe != nullptr ? os.close_pipe : real.close_pipe;
  g_sleep_us = os.sleep_us != nullptr ? os.sleep_us : real.sleep_us;
  g_now = os.now != nullptr ? os.now : real.now;
}

void os_restore() {
  os_replace(real_os());
}

int os_system(const char* command) {
  return g_system.load()(command);
}

FILE* os_open_pipe(const char* command) {
  return g_open_pipe.load()(command);
}

int os_close_pipe(FILE* stream) {
  return g_close_pipe.load()(stream);
}

void os_sleep_us(uint64_t microseconds) {
  g_sleep_us.load()(microseconds);
}

void os_sleep_ms(uint32_t milliseconds) {
  os_sleep_us(static_cast<uint64_t>(milliseconds) * 1000);
}

time_t os_now() {
  return g_now.load()();
}
