// The front-panel LEDs: one wanted-state record per LED, and the manager that turns the
// records into GPIO levels every 250 ms tick.
//
// Other code only stores into the records (no lock: each field is a plain word the manager
// reads once per tick); the manager thread is the only writer of the LED lines.
#pragma once

#include <array>
#include <atomic>
#include <cstdint>

enum LedMode : uint32_t { LED_ON = 0, LED_OFF = 1, LED_BLINK = 2 };

struct LedState {
  std::atomic<uint32_t> mode{LED_ON};
  std::atomic<uint32_t> level{0};      // the level last written to the line
  std::atomic<uint32_t> remaining{0};  // toggles left when not continuous
  std::atomic<uint32_t> continuous{0};
  std::atomic<uint32_t> period{0};  // ticks per toggle
};

enum LedId : int {
  LED_SD_GREEN,
  LED_SD_RED,
  LED_SIGNAL_1,
  LED_SIGNAL_2,
  LED_SIGNAL_3,
  LED_SIGNAL_4,
  LED_SIGNAL_5,
  LED_BATTERY_1,
  LED_BATTERY_2,
  LED_BATTERY_3,
  LED_BATTERY_4,
  LED_STATUS,
  kLedCount
};

struct LedLine {
  const char* name;
  int gpio;
  bool blinks;  // the manager handles the blink mode on this line
};

// In the manager's order; the status LED's line belongs to the warning light on model 6.
inline constexpr std::array<LedLine, kLedCount> kLedLines = {{
    {"SD green", 53, true},
    {"SD red", 52, true},
    {"signal 1", 62, true},
    {"signal 2", 61, true},
    {"signal 3", 60, true},
    {"signal 4", 59, true},
    {"signal 5", 58, true},
    {"battery 1", 39, true},
    {"battery 2", 45, false},
    {"battery 3", 40, false},
    {"battery 4", 46, false},
    {"status", 42, true},
}};

inline constexpr int kModelWithWarningLight = 6;
inline constexpr uint32_t kLedTickMs = 250;
// Four ticks per toggle: one second on, one second off.
inline constexpr uint32_t kBlinkPeriodTicks = 4;

// Process-wide; zero (on, level 0) at start, as the hardware's records are.
extern std::array<LedState, kLedCount> ledStates;
// The last battery charge shown, in percent.
extern std::atomic<uint32_t> batteryPercent;
// Below this charge, in percent, the battery is low.
inline constexpr uint32_t kLowCharge = 15;

// Record setters.
void set_led(LedId led, LedMode mode);
void set_led_blink(LedId led, uint32_t period, bool continuous, uint32_t toggles = 0);

// Writes the decimal value into a GPIO value file. Returns 0, or -1 when it cannot be opened.
int write_gpio(const char* path, int value);

// How the manager writes a line; the default writes /sys/class/gpio/gpioN/value.
using GpioWriter = int (*)(int gpio, int value);
int write_led_gpio(int gpio, int value);

// One 250 ms tick over every LED of the table. `counters` keeps each LED's tick count between
// ticks; `model` decides whether the status line is the manager's.
struct LedTickCounters {
  std::array<uint32_t, kLedCount> ticks{};
};
void led_manager_tick(LedTickCounters& counters, int model, GpioWriter write);

// Exports the LED lines (status excepted) as outputs, two shell commands each.
void export_led_gpios();

// Thread body: exports the lines, then ticks every 250 ms for the life of the process.
void* led_manager_thread(void*);
