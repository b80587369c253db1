#include <cstdio>

#include "app/indicators/leds/led_state.h"
#include "app/records/boot_tags.h"
#include "app/records/log/app_log.h"
#include "app/system/core/shell.h"
#include "app/system/os/os.h"

std::array<LedState, kLedCount> ledStates;
std::atomic<uint32_t> batteryPercent{0};

namespace {

// One line's turn of the tick. Levels are written only on a change, except a line in an
// unknown mode and an expired blink, which are driven low on every tick.
void tick_line(LedState& led, uint32_t& counter, int gpio, bool blinks, GpioWriter write) {
  const uint32_t mode = led.mode;
  if (mode == LED_OFF || mode == LED_ON) {
    counter = 0;
    const uint32_t wanted = mode == LED_ON ? 1 : 0;
    if (led.level != wanted) {
      led.level = wanted;
      write(gpio, static_cast<int>(wanted));
    }
    return;
  }
  const uint32_t period = led.period;
  if (mode != LED_BLINK || !blinks || period == 0) {
    write(gpio, 0);
    return;
  }
  counter = (counter + 1) % period;
  if (led.continuous == 1) {
    if (counter == 1) {
      led.remaining = 0;
      led.level = 1 - led.level;
      write(gpio, static_cast<int>(led.level.load()));
    }
    return;
  }
  if (led.remaining == 0) {
    led.level = 0;
    write(gpio, 0);
  } else if (counter == 1) {
    led.remaining = led.remaining - 1;
    led.level = 1 - led.level;
    write(gpio, static_cast<int>(led.level.load()));
  }
}

}  // namespace

void set_led(LedId led, LedMode mode) {
  ledStates[led].mode = mode;
}

void set_led_blink(LedId led, uint32_t period, bool continuous, uint32_t toggles) {
  LedState& state = ledStates[led];
  state.period = period;
  state.continuous = continuous ? 1 : 0;
  state.remaining = toggles;
  state.mode = LED_BLINK;
}

int write_gpio(const char* path, int value) {
  FILE* file = fopen(path, "w");
  if (file == nullptr) {
    return -1;
  }
  fprintf(file, "%d", value);
  fclose(file);
  return 0;
}

int write_led_gpio(int gpio, int value) {
  char path[48];
  snprintf(path, sizeof(path), "/sys/class/gpio/gpio%d/value", gpio);
  return write_gpio(path, value);
}

void led_manager_tick(LedTickCounters& counters, int model, GpioWriter write) {
  for (int led = 0; led < kLedCount; ++led) {
    if (led == LED_STATUS && model == kModelWithWarningLight) {
      continue;
    }
    tick_line(ledStates[led], counters.ticks[led], kLedLines[led].gpio, kLedLines[led].blinks,
              write);
  }
}

void export_led_gpios() {
  for (const LedLine& line : kLedLines) {
    if (line.gpio == kLedLines[LED_STATUS].gpio) {
      continue;  // exported by start-up with the warning light
    }
    run_shellf("echo %d > /sys/class/gpio/export", line.gpio);
    run_shellf("echo \"out\" > /sys/class/gpio/gpio%d/direction", line.gpio);
  }
}

void* led_manager_thread(void*) {
  app_log(MOD_LED_MGR, LEVEL_INFO, "LED MANAGER STARTED");
  export_led_gpios();
  LedTickCounters counters;
  for (;;) {
    led_manager_tick(counters, bootTags.orve_model, write_led_gpio);
    os_sleep_ms(kLedTickMs);
  }
  return nullptr;
}
