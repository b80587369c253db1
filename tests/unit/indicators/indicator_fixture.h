// Shared set-up of the indicator tests: the process records, a recording GPIO writer and a
// board clock that the indicators' sleeps advance instead of sleeping.
#pragma once

#include <functional>
#include <utility>
#include <vector>

#include <gtest/gtest.h>

#include "app/config/camera_config.h"
#include "app/indicators/leds/led_state.h"
#include "app/system/core/sys_info.h"

#include "tests/support/shared_records.h"

namespace indicator_test {

inline std::vector<std::pair<int, int>> writes;  // (gpio, level) in write order
inline uint64_t clockMs = 0;
inline std::function<void(uint32_t)> onSleep;  // runs for each sleep, after the clock moved

// A card format that counts its calls and gives `format_result`.
inline int formats = 0;
inline int format_result = 0;
inline int fake_format() {
  ++formats;
  return format_result;
}

inline int record_write(int gpio, int value) {
  writes.emplace_back(gpio, value);
  return 0;
}

inline void board_sleep(uint32_t ms) {
  clockMs += ms;
  if (onSleep) {
    onSleep(ms);
  }
}

class IndicatorTest : public ::testing::Test {
 protected:
  static void SetUpTestSuite() {
    init_record_locks();
    test_support::use_fresh_shared_records();
  }
  void SetUp() override {
    writes.clear();
    clockMs = 0;
    onSleep = nullptr;
    indicatorSleep = board_sleep;
    formats = 0;
    format_result = 0;
    for (LedState& led : ledStates) {
      led.mode = LED_OFF;
      led.level = 0;
    }
  }
};

}  // namespace indicator_test
