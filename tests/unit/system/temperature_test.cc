// The thermistor reading: the Beta conversion with its cold-weather corrections, the range
// limits, and a camera without its ADC device.
#include "app/system/core/temperature.h"

#include <cmath>

#include <gtest/gtest.h>

namespace {

// The divider sample (millivolts against 1800 mV) at which the Beta equation gives `celsius`.
int32_t millivolts_for(double celsius) {
  const double ratio =
      std::exp((1.0 / (celsius + 273.15) - 0.0033540164586156607) / 0.0002958579862024635);
  return static_cast<int32_t>(std::lround(1800.0 * ratio / (1.0 + ratio)));
}

struct Reading {
  const char* what;
  int32_t millivolts;
  int result;
  int celsius;
  int fahrenheit;
};

TEST(TemperatureTest, ConvertsSamplesWithTheColdCorrections) {
  const Reading kReadings[] = {
      {"25 degrees read one low", 900, 0, 24, 75},
      {"warm", millivolts_for(40.2), 0, 39, 102},
      {"just below zero lowered by one", millivolts_for(-3.0), 0, -4, 24},
      {"-10 lowered by two", millivolts_for(-10.0), 0, -12, 10},
      {"-9.5 window", millivolts_for(-9.5), 0, -11, 12},
      {"-35 held at -30", millivolts_for(-35.0), 0, -30, -22},
      {"below -40 uncorrected and out of range", millivolts_for(-45.0), -1, 255, 255},
      {"reference itself", 1800, -1, 255, 255},
      {"nothing on the pin", 0, -1, 255, 255},
      {"above the reference", 2500, -1, 255, 255},
  };
  for (const Reading& reading : kReadings) {
    int celsius = 0;
    int fahrenheit = 0;
    EXPECT_EQ(temperature_from_millivolts(reading.millivolts, &celsius, &fahrenheit),
              reading.result)
        << reading.what;
    EXPECT_EQ(celsius, reading.celsius) << reading.what;
    EXPECT_EQ(fahrenheit, reading.fahrenheit) << reading.what;
  }
}

TEST(TemperatureTest, MissingAdcDeviceLeavesNoReading) {
  temperatureC = 20;
  temperatureF = 68;
  EXPECT_EQ(read_temperature(), -1);
  EXPECT_EQ(temperatureC, kNoTemperature);
  EXPECT_EQ(temperatureF, kNoTemperature);
}

}  // namespace
