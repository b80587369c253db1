// A case that starts a thread and leaves it running, in a program linked with the no-threads
// guard: the guard must fail the program (see tests/CMakeLists.txt).
#include <atomic>
#include <chrono>
#include <thread>

#include <gtest/gtest.h>

namespace {

TEST(NoThreadsGuardProbe, LeavesAThreadRunning) {
  static std::atomic<bool> stop{false};
  static std::thread left([] {
    while (!stop) {
      std::this_thread::sleep_for(std::chrono::milliseconds(1));
    }
  });
  // Ended at exit, after the guard has counted it.
  static const struct Ender {
    ~Ender() {
      stop = true;
      left.join();
    }
  } ender;
  SUCCEED();
}

}  // namespace
