// The camera reads back, through its ADC driver seam and its own conversion, the temperature
// the board's thermistor was set to.
#include "sim/adc/thermistor.h"

#include <fcntl.h>
#include <unistd.h>

#include <string>

#include <gtest/gtest.h>

#include "app/system/temperature.h"

namespace {

void set_pin(int32_t millivolts) {
  const std::string text = sim::adc::device_text(millivolts);
  int fd = open("/dev/jz_adc_aux_0", O_WRONLY);
  ASSERT_GE(fd, 0);
  ASSERT_EQ(pwrite(fd, text.data(), text.size(), 0), static_cast<ssize_t>(text.size()));
  close(fd);
}

TEST(Thermistor, CameraReadsBackTheBoardsTemperature) {
  // Across the working range, the cold bands included; below -30 the camera's correction
  // stops at -30.
  struct Case {
    int set;
    int read;
  };
  const Case cases[] = {{85, 85},   {40, 40},   {24, 24},   {1, 1},     {0, 0},
                        {-1, -1},   {-9, -9},   {-10, -10}, {-11, -11}, {-12, -12},
                        {-20, -20}, {-30, -30}, {-35, -30}};
  for (const Case& c : cases) {
    SCOPED_TRACE(c.set);
    set_pin(sim::adc::millivolts_for(c.set));
    int celsius = 0;
    int fahrenheit = 0;
    ASSERT_EQ(read_temperature(&celsius, &fahrenheit), 0);
    EXPECT_EQ(celsius, c.read);
  }
  // -11 only comes from the narrow band of raw readings between -9.7 and -9.26.
  const double raw = sim::adc::thermistor_celsius(sim::adc::millivolts_for(-11));
  EXPECT_GT(raw, -9.7);
  EXPECT_LT(raw, -9.26);
  // The divider at half the reference is the thermistor's 25 degrees.
  EXPECT_NEAR(sim::adc::thermistor_celsius(900), 25.0, 1e-9);
  EXPECT_LT(sim::adc::thermistor_celsius(0), -200);
}

}  // namespace
