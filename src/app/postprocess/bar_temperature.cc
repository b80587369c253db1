#include "app/postprocess/bar_temperature.h"

#include "app/system/temperature.h"

// The reading lives with start-up (camera_system), which this library does not link: the
// values are taken when the program has them (camera_app always does, as start-up reads the
// thermistor) and are "no reading" in a program without start-up.
#pragma weak temperatureC
#pragma weak temperatureF

int current_temperature(int* ret_celsius, int* ret_fahrenheit) {
  if (&temperatureC == nullptr || &temperatureF == nullptr) {
    *ret_celsius = kNoTemperature;
    *ret_fahrenheit = kNoTemperature;
    return -1;
  }
  *ret_celsius = temperatureC;
  *ret_fahrenheit = temperatureF;
  return *ret_celsius == kNoTemperature ? -1 : 0;
}
