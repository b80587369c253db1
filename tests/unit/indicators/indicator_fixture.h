// Shared set-up of the indicator tests: the process records, a recording GPIO writer, commands
// answered without running, and a board clock that the indicators' sleeps advance instead of
// sleeping.
#pragma once

#include <sys/wait.h>

#include <cstdio>
#include <functional>
#include <string_view>
#include <utility>
#include <vector>

#include <gtest/gtest.h>

#include "app/config/camera_config.h"
#include "app/indicators/leds/led_state.h"
#include "app/system/core/sys_info.h"
#include "app/system/os/os.h"

#include "tests/support/shared_records.h"

namespace indicator_test {

inline std::vector<std::pair<int, int>> writes;  // (gpio, level) in write order
inline uint64_t clockMs = 0;
inline std::function<void(uint32_t)> onSleep;  // runs for each sleep, after the clock moved

// The camera's commands. A format's partitioning (its dialogue piped into fdisk) is counted
// and succeeds when `format_result` is 0; every other command succeeds without running, as
// the tests have no card.
inline int formats = 0;
inline int format_result = 0;
inline int answer_command(const char* command) {
  if (std::string_view(command).ends_with("| fdisk /dev/mmcblk0")) {
    ++formats;
    return format_result == 0 ? 0 : W_EXITCODE(1, 0);
  }
  return 0;
}

// What the camera reads from a command: nothing, and the command fails, as every probe of a
// card does without one.
inline FILE* answer_pipe(const char*) {
  return tmpfile();
}
inline int close_answer(FILE* stream) {
  fclose(stream);
  return W_EXITCODE(1, 0);
}

inline int record_write(int gpio, int value) {
  writes.emplace_back(gpio, value);
  return 0;
}

inline void board_sleep(uint64_t microseconds) {
  const auto ms = static_cast<uint32_t>(microseconds / 1000);
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
    os_replace({.system = answer_command,
                .open_pipe = answer_pipe,
                .close_pipe = close_answer,
                .sleep_us = board_sleep});
    formats = 0;
    format_result = 0;
    for (LedState& led : ledStates) {
      led.mode = LED_OFF;
      led.level = 0;
    }
  }
  void TearDown() override { os_restore(); }
};

}  // namespace indicator_test
