// Waits for something another thread or process does: polls `condition` with short sleeps and
// gives up after a generous bound. The bound only keeps a broken build from hanging; it is
// not a measure of speed, and a test never asserts how soon the condition came true.
#pragma once

#include <chrono>
#include <thread>

namespace test_support {

inline constexpr std::chrono::milliseconds kEventuallyBound{30'000};

// True as soon as `condition()` is; false when it stayed false for the whole bound.
template <typename Condition>
bool eventually(Condition condition, std::chrono::milliseconds bound = kEventuallyBound) {
  constexpr std::chrono::milliseconds kPoll{2};
  for (auto waited = std::chrono::milliseconds(0); waited < bound; waited += kPoll) {
    if (condition()) {
      return true;
    }
    std::this_thread::sleep_for(kPoll);
  }
  return condition();
}

}  // namespace test_support
