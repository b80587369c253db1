// What the card code, start-up, power-down and the states ask of the LED manager and the
// warning light: each request stores into the LED records that the LED manager shows at its
// next tick.
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
// Start-up and power-down.
int init_warning_led_locks();
void set_all_led_records_off();
// Signal LED 1 blinks for 5 seconds, the other signal LEDs off (the Modem sync timed out).
void show_signal_timeout_leds();
// Green SD LED blinking, red off, while a format runs.
void show_sd_formatting();
bool sd_red_led_on();
void set_test_led_on();
// The warning light for a PIR capture (0 in the power-down state, else 1).
void trigger_warning_led(int argument);
