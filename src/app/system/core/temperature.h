// The camera's temperature from the NTC thermistor on the auxiliary ADC channel 0, read once
// per run and kept in two process-wide values.
#pragma once

#include <atomic>
#include <cstdint>

// No valid reading: both values hold this.
inline constexpr int kNoTemperature = 255;

// The last reading in whole degrees Celsius and Fahrenheit (kNoTemperature when none).
extern std::atomic<int32_t> temperatureC;
extern std::atomic<int32_t> temperatureF;

// Reads the thermistor (divider on GPIO 8, reference 1800 mV) into the two outputs. Returns 0,
// -1 on a failed open or a reading out of the thermistor's range, or the failing driver
// call's result; on failure both outputs hold kNoTemperature.
int read_temperature(int* ret_celsius, int* ret_fahrenheit);

// The same into temperatureC and temperatureF (what start-up calls).
int read_temperature();

// Converts a sample of the divider (millivolts against the 1800 mV reference) into whole
// degrees. Returns 0, or -1 (outputs kNoTemperature) when out of range.
int temperature_from_millivolts(int32_t millivolts, int* ret_celsius, int* ret_fahrenheit);
