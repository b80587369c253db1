// Requests for the MCU's status LED, with lit red taking precedence over green and blue.
#pragma once

#include <atomic>

enum StatusLedColour : int { STATUS_LED_GREEN = 0, STATUS_LED_RED = 1, STATUS_LED_BLUE = 2 };
enum StatusLedMode : int { STATUS_LED_ON = 0, STATUS_LED_OFF = 1, STATUS_LED_BLINK = 2 };

// Last requested mode of each colour; start-up sets all three to STATUS_LED_OFF.
extern std::atomic<int> statusLedGreen;
extern std::atomic<int> statusLedRed;
extern std::atomic<int> statusLedBlue;

// Sends at most one status-LED request to the MCU queue. lastMcuRequest is left alone: status
// LED requests are never repeated by the link manager.
void set_status_led(int colour, int mode);
