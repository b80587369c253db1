// Values the post-processing takes from other parts of the system.
#pragma once

// The camera's temperature in whole degrees from start-up's thermistor reading; both 255 (no
// valid reading) when there is none. Returns 0, or -1 without a reading.
int current_temperature(int* ret_celsius, int* ret_fahrenheit);
