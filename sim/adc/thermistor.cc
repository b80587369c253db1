#include "sim/adc/thermistor.h"

#include <math.h>
#include <stdio.h>

#include <array>

namespace sim::adc {

namespace {

constexpr double kBeta = 3380.0;
constexpr double kT0 = 298.15;
constexpr double kKelvin = 273.15;

// The deviation of the board's thermistor, as the firmware corrects it: by the rounded raw
// reading r, the temperature around the camera.
double ambient_for(double raw) {
  const long r = lround(raw);
  if (r > 0) {
    return raw - 1.0;
  }
  // A narrow band just below -9 degrees reads as -11.
  if (raw > -9.7 && raw < -9.26) {
    return -11.0;
  }
  if (r >= -9) {
    return static_cast<double>(r - 1);
  }
  if (r >= -28) {
    return static_cast<double>(r - 2);
  }
  if (r >= -40) {
    return -30.0;
  }
  return static_cast<double>(r);
}

// What a sample reads as, in whole degrees, as the firmware truncates it.
long reading_of(int32_t millivolts) {
  return static_cast<long>(ambient_for(thermistor_celsius(millivolts)));
}

}  // namespace

double thermistor_celsius(int32_t millivolts) {
  if (millivolts <= 0 || millivolts >= kReferenceMv) {
    return -kKelvin;
  }
  const double ratio = static_cast<double>(millivolts) / (kReferenceMv - millivolts);
  return 1.0 / (log(ratio) / kBeta + 1.0 / kT0) - kKelvin;
}

int32_t millivolts_for(double celsius) {
  const long wanted = lround(celsius);
  // Samples that read `wanted` form one run (the reading falls as the voltage rises); take
  // its middle. Without one, the sample that reads nearest.
  int32_t first = -1;
  int32_t last = -1;
  int32_t nearest = 1;
  long nearestGap = 1L << 30;
  for (int32_t mv = 1; mv < kReferenceMv; ++mv) {
    const long reading = reading_of(mv);
    const long gap = labs(reading - wanted);
    if (gap < nearestGap) {
      nearestGap = gap;
      nearest = mv;
    }
    if (reading == wanted) {
      if (first < 0) {
        first = mv;
      }
      last = mv;
    }
  }
  return first >= 0 ? (first + last) / 2 : nearest;
}

std::string device_text(int32_t millivolts) {
  char text[16];
  snprintf(text, sizeof(text), "%6d\n", static_cast<int>(millivolts));
  return text;
}

}  // namespace sim::adc
