// The camera's NTC thermistor and its divider as the board models them: 10 kOhm at 25 degrees,
// B = 3380 K, against a 10 kOhm resistor from the 1800 mV reference, read by the auxiliary ADC.
//
// The thermistor sits on the warm main board and is cooled unevenly in frost, which the
// camera's firmware corrects for (one degree above zero, a few below). The board's thermistor
// has exactly those deviations, so that the camera's corrected reading gives back the
// temperature around the camera.
#pragma once

#include <stdint.h>

#include <string>

namespace sim::adc {

inline constexpr int32_t kReferenceMv = 1800;

// The temperature (Celsius) at which the thermistor gives `millivolts` on the ADC pin,
// before any correction; far out of range for 0 and 1800 mV.
double thermistor_celsius(int32_t millivolts);

// The millivolts the ADC pin shows when the air around the camera is `celsius`: the sample
// whose corrected reading is closest to it (the middle of the run of samples that read it).
int32_t millivolts_for(double celsius);

// The text of the board's ADC device file for a pin at `millivolts`: always the same length, so
// the file can be rewritten in place while the camera may be reading it.
std::string device_text(int32_t millivolts);

}  // namespace sim::adc
