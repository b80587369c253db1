// The last thermistor reading, kept where every subsystem can read it: start-up writes it
// (temperature.cc), the info bar and the Modem's camera-status answer read it.
#include "app/system/core/temperature.h"

std::atomic<int32_t> temperatureC{kNoTemperature};
std::atomic<int32_t> temperatureF{kNoTemperature};
