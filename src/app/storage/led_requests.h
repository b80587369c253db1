// What the card code and power-down ask of the LED manager and the warning light. The
// indicators (src/app/indicators) implement these: each stores into the LED records that the
// LED manager shows at its next tick.
#pragma once

// The SD LEDs for a good card: green on, red off.
int show_sd_good();
// The SD LEDs for a fault: red blinking continuously with a period of 4 ticks, green off.
int show_sd_fault();
// After a good check: allows the warning light when the battery level is 15 or more and the
// configuration's warning-light setting is on, withholds it otherwise. 1 when allowed, else 0.
int allow_warning_light_if_charged();
// 1 when the red SD LED is off, 0 when it is lit (on or blinking).
int sd_red_led_off();
// The test LED blinks for `seconds`.
int blink_test_led(int seconds);
