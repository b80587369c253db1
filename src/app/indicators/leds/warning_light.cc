#include "app/indicators/leds/warning_light.h"

#include "app/records/boot_tags.h"
#include "app/records/log/app_log.h"
#include "app/system/core/sys_info.h"
#include "app/system/os/os.h"

std::atomic<uint32_t> warnTrigger{0};
std::atomic<uint32_t> warnRemaining{0};
std::atomic<uint32_t> warnElapsed{0};
std::atomic<uint8_t> warnEnabled{1};
std::atomic<uint8_t> warnLightAllowed{0};
pthread_mutex_t warnTriggerLock;
pthread_mutex_t warnTimerLock;

namespace {

constexpr uint32_t kTimerPollMs = 250;
constexpr uint32_t kPatternStepMs = 100;
constexpr uint32_t kStepsPerSecond = 10;
constexpr uint32_t kBlinkOnSteps = 5;
constexpr int kPirBootReason = 1;
constexpr int kWarningGpio = 42;

void wait_while_lit(bool stop_at_sleep_request) {
  while (warning_led_remaining(0, true) != 0) {
    if (stop_at_sleep_request && sysInfo->readyToSleepRequested) {
      break;
    }
    os_sleep_ms(kTimerPollMs);
  }
  warning_led_remaining(0, false);
}

void set_holding(int8_t value) {
  SemLock lock(&sysInfoLock);
  sysInfo->warnLightHolding = value;
}

}  // namespace

int warning_led_init_locks() {
  if (int error = pthread_mutex_init(&warnTriggerLock, nullptr); error != 0) {
    app_log(MOD_LED_MGR, LEVEL_ERR, "Warning LED timer flag mutex init failed");
    return error;
  }
  if (int error = pthread_mutex_init(&warnTimerLock, nullptr); error != 0) {
    app_log(MOD_LED_MGR, LEVEL_ERR, "Warning LED timer mutex init failed");
    return error;
  }
  return 0;
}

void warning_led_trigger(uint32_t value) {
  pthread_mutex_lock(&warnTriggerLock);
  warnTrigger = value;
  pthread_mutex_unlock(&warnTriggerLock);
}

uint32_t warning_led_remaining(uint32_t value, bool get) {
  pthread_mutex_lock(&warnTimerLock);
  if (get) {
    value = warnRemaining;
  } else {
    warnRemaining = value;
  }
  pthread_mutex_unlock(&warnTimerLock);
  return value;
}

uint32_t warning_extend_seconds(uint32_t duration, uint32_t max_total, uint32_t elapsed) {
  if (static_cast<uint64_t>(duration) + elapsed <= max_total) {
    return duration;
  }
  return max_total > elapsed ? max_total - elapsed : 0;
}

WarningSettings warning_settings() {
  return {bootTags.warnActive != 0, static_cast<uint32_t>(bootTags.warnDuration.load()),
          static_cast<uint32_t>(bootTags.warnMaxTimeMultiplicator.load()),
          static_cast<uint32_t>(bootTags.warnPattern.load()), bootTags.warnClosingMechanism};
}

void warning_pattern_step(WarningPattern& pattern, uint32_t blinking, GpioWriter write) {
  if (warning_led_remaining(0, true) == 0) {
    pattern = {};
    write(kWarningGpio, 0);
    warnElapsed = 0;
    return;
  }
  if (!pattern.lit) {
    app_log(MOD_LED_MGR, LEVEL_INFO, "Warning LED pattern started.");
    pattern = {.lit = true, .step = 0};
  }
  write(kWarningGpio, blinking != 0 && pattern.step >= kBlinkOnSteps ? 0 : 1);
  if (++pattern.step == kStepsPerSecond) {
    pattern.step = 0;
    pthread_mutex_lock(&warnTimerLock);
    if (warnRemaining > 0) {
      warnRemaining = warnRemaining - 1;
    }
    pthread_mutex_unlock(&warnTimerLock);
    warnElapsed = warnElapsed + 1;
  }
}

void* warning_pattern_thread(void*) {
  const uint32_t blinking = warning_settings().pattern;
  WarningPattern pattern;
  while (warnEnabled) {
    warning_pattern_step(pattern, blinking, write_led_gpio);
    os_sleep_ms(kPatternStepMs);
  }
  write_led_gpio(kWarningGpio, 0);
  return nullptr;
}

void* warning_timer_thread(void*) {
  const WarningSettings settings = warning_settings();
  if (!settings.active) {
    warnEnabled = 0;
    return nullptr;
  }
  const uint32_t max_total = settings.duration * settings.multiplier;
  while (!sysInfo->readyToSleepRequested) {
    // "Allowed" (a good card check found the battery at 15 % or more and the light on in the
    // configuration) is the one thing that gates a lighting beside the accepted detection: a
    // lighting starts only while the light is allowed; a trigger meanwhile waits.
    if (!(warnTrigger && sysInfo->pirAccepted && warnLightAllowed)) {
      os_sleep_ms(kTimerPollMs);
      continue;
    }
    warning_led_trigger(0);
    switch (settings.closing) {
      case WARN_CLOSE_ONCE:
        warning_led_remaining(settings.duration, false);
        wait_while_lit(true);
        break;
      case WARN_CLOSE_EXTEND:
        warning_led_remaining(warning_extend_seconds(settings.duration, max_total, warnElapsed),
                              false);
        break;
      default:
        set_holding(1);
        warning_led_remaining(settings.duration, false);
        wait_while_lit(false);
        set_holding(0);
        break;
    }
  }
  warnEnabled = 0;
  return nullptr;
}

void* warning_led_thread(void*) {
  if (!warning_settings().active || bootTags.orve_model != kModelWithWarningLight) {
    app_log(MOD_LED_MGR, LEVEL_INFO, "Waring LED not active");
    return nullptr;
  }
  if (sysInfo->boot_reason == kPirBootReason) {
    warning_led_trigger(1);
  }
  pthread_attr_t attr;
  if (int error = pthread_attr_init(&attr); error != 0) {
    app_log(MOD_LED_MGR, LEVEL_ERR, "Warning LED pthread_attr_init failed ,errno : %d", error);
    return nullptr;
  }
  if (int error = pthread_attr_setstacksize(&attr, kThreadStackSize); error != 0) {
    app_log(MOD_LED_MGR, LEVEL_ERR, "Warning LED pthread_attr_setstacksize failed ,errno : %d",
            error);
  }
  pthread_t pattern;
  if (int error = pthread_create(&pattern, &attr, warning_pattern_thread, nullptr); error != 0) {
    app_log(MOD_LED_MGR, LEVEL_ERR, "Warning LED thread creation failed : %d", error);
    pthread_attr_destroy(&attr);
    return nullptr;
  }
  pthread_detach(pattern);
  pthread_attr_destroy(&attr);
  app_log(MOD_LED_MGR, LEVEL_INFO, "Started Warning LED threads.");
  return warning_timer_thread(nullptr);
}
