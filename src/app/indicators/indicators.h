// What the state handlers ask of the front panel above the LED records: the battery and signal
// displays, which read the card's state, and the format button, which formats the card. The
// plain LED requests (SD and test LEDs, the warning light) are in leds/led_requests.h.
#pragma once

#include <atomic>
#include <cstdint>

// The battery (which 0) or signal (which 1) display; `have_value` 0 means no signal value is
// known yet. Returns 1 for the battery, 4 for the signal (callers ignore it).
int show_battery_and_signal(int which, int have_value);

// The signal display, `have_value` as above.
void show_signal_leds(int have_value);
void show_battery_leds();

// Format button (first boot only).
extern std::atomic<uint8_t> formatButtonDown;  // the button was down at the last sample
extern std::atomic<uint32_t> formatLedShown;
// Stops the button monitor and waits until it has ended; a running format goes on.
void stop_format_button();
bool formatButtonPressed();

// The monitor's count of consecutive low samples, one sample per 250 ms.
struct FormatButtonMonitor {
  uint32_t count = 0;
};
inline constexpr uint32_t kFormatHoldSamples = 20;  // five seconds
// Takes one sample (0 pressed); true when this sample completes the hold.
bool format_button_sample(FormatButtonMonitor& monitor, int level);
// The handler's work once a format has been asked for: the format and its display on the SD
// LEDs and the MCU status LED. Returns the format's result.
int format_and_show();

void* format_button_monitor_thread(void*);
void* format_button_handler_thread(void*);
