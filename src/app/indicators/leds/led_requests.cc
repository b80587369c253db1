// The LED requests of the card code, power-down, start-up and the sync states: each stores
// into the LED records, which the LED manager shows at its next tick.
#include "app/indicators/leds/led_requests.h"

#include "app/config/camera_config.h"
#include "app/indicators/leds/led_state.h"
#include "app/indicators/leds/warning_light.h"
#include "app/records/log/app_log.h"
#include "app/system/core/sys_info.h"

namespace {
constexpr uint32_t kSignalTimeoutToggles = 5;
}

int show_sd_good() {
  set_led(LED_SD_RED, LED_OFF);
  set_led(LED_SD_GREEN, LED_ON);
  return 0;
}

int show_sd_fault() {
  set_led(LED_SD_GREEN, LED_OFF);
  set_led_blink(LED_SD_RED, kBlinkPeriodTicks, true);
  return 0;
}

void show_sd_formatting() {
  set_led(LED_SD_RED, LED_OFF);
  set_led_blink(LED_SD_GREEN, kBlinkPeriodTicks, true);
}

// Each good card check decides again: the battery's charge (the fuel gauge entry in use, once
// the MCU has reported the gauge valid) is 15 % or more and the configuration has the light on.
int allow_warning_light_if_charged() {
  bool charged = false;
  if (sysInfo->fuelGaugeValid) {
    SemLock lock(&configLock);
    const int index = cameraConfig->fuelGaugeIndex;
    charged = index >= 0 && index < static_cast<int>(kMaxFuelGaugeEntries) &&
              cameraConfig->fuelGauge[index].batteryPercent >= kLowCharge;
  }
  const bool allowed = charged && cameraConfig->warning_light_stat != 0;
  warnLightAllowed = allowed ? 1 : 0;
  return allowed ? 1 : 0;
}

int sd_red_led_off() {
  return sd_red_led_on() ? 0 : 1;
}

bool sd_red_led_on() {
  return ledStates[LED_SD_RED].mode != LED_OFF;
}

// One toggle per second: `seconds` toggles with the one-second period.
int blink_test_led(int seconds) {
  set_led_blink(LED_STATUS, kBlinkPeriodTicks, false, seconds > 0 ? seconds : 0);
  return 0;
}

void set_test_led_on() {
  set_led(LED_STATUS, LED_ON);
}

void set_all_led_records_off() {
  for (LedState& led : ledStates) {
    led.mode = LED_OFF;
  }
}

void show_signal_timeout_leds() {
  for (int led = LED_SIGNAL_2; led <= LED_SIGNAL_5; ++led) {
    set_led(static_cast<LedId>(led), LED_OFF);
  }
  set_led_blink(LED_SIGNAL_1, kBlinkPeriodTicks, false, kSignalTimeoutToggles);
}

int init_warning_led_locks() {
  return warning_led_init_locks();
}

void trigger_warning_led(int argument) {
  warning_led_trigger(argument > 0 ? static_cast<uint32_t>(argument) : 0);
}
