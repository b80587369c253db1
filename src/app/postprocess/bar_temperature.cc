#include "app/postprocess/bar_temperature.h"

#include "app/system/core/temperature.h"

// Start-up reads the thermistor once per run; the bar shows that reading.
int current_temperature(int* ret_celsius, int* ret_fahrenheit) {
  *ret_celsius = temperatureC;
  *ret_fahrenheit = temperatureF;
  return *ret_celsius == kNoTemperature ? -1 : 0;
}
