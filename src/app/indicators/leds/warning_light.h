// The warning light of the model that has one: a timer thread decides how long GPIO 42 stays
// lit after an accepted PIR detection, a pattern thread drives the line (steady or 1 Hz
// blinking) and counts the seconds shown.
#pragma once

#include <pthread.h>

#include <atomic>
#include <cstdint>

#include "app/indicators/leds/led_state.h"

enum WarningClosing : int32_t {
  WARN_CLOSE_HOLD = 0,    // one lighting; ready-to-sleep waits until it has ended
  WARN_CLOSE_ONCE = 1,    // one lighting, cut short by ready-to-sleep
  WARN_CLOSE_EXTEND = 2,  // each trigger restarts the duration, within the total allowed
};

extern std::atomic<uint32_t> warnTrigger;      // guarded by warnTriggerLock
extern std::atomic<uint32_t> warnRemaining;    // seconds still to show; guarded by warnTimerLock
extern std::atomic<uint32_t> warnElapsed;      // seconds shown since the light last went off
extern std::atomic<uint8_t> warnEnabled;       // the pattern thread runs while set
extern std::atomic<uint8_t> warnLightAllowed;  // set by the card check, see the timer thread
extern pthread_mutex_t warnTriggerLock;
extern pthread_mutex_t warnTimerLock;

int warning_led_init_locks();
void warning_led_trigger(uint32_t value);
// Returns warnRemaining when `get` is set; otherwise stores `value` and returns it.
uint32_t warning_led_remaining(uint32_t value, bool get);

// Seconds to show for a new trigger under the extend mechanism: the duration, or what is left
// of duration x multiplier after `elapsed` seconds already shown.
uint32_t warning_extend_seconds(uint32_t duration, uint32_t max_total, uint32_t elapsed);

// The settings in force (from the boot tags).
struct WarningSettings {
  bool active;
  uint32_t duration;
  uint32_t multiplier;
  uint32_t pattern;  // 0 steady, otherwise blinking
  int32_t closing;
};
WarningSettings warning_settings();

// One 100 ms step of the pattern thread.
struct WarningPattern {
  bool lit = false;
  uint32_t step = 0;  // steps into the current second
};
void warning_pattern_step(WarningPattern& pattern, uint32_t blinking, GpioWriter write);

// Thread bodies. warning_led_thread starts the light when it is active on this model (the
// pattern thread beside it) and then runs the timer.
void* warning_timer_thread(void*);
void* warning_pattern_thread(void*);
void* warning_led_thread(void*);
