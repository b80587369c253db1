#include "app/system/core/temperature.h"

#include <fcntl.h>
#include <unistd.h>

#include <cmath>
#include <cstdio>
#include <mutex>

#include "app/records/log/app_log.h"
#include "app/system/core/shell.h"
#include "app/system/core/sys_info.h"
#include "platform/adc/adc_device.h"

namespace {

constexpr int kAdcChannel = 0;
constexpr int32_t kReferenceMv = 1800;
// Beta equation of the 10 kOhm (at 25 degrees) thermistor with B = 3380 K.
constexpr double kInverseBeta = 0.0002958579862024635;
constexpr double kInverseT0 = 0.0033540164586156607;
constexpr double kKelvin = 273.15;
constexpr double kMinWorking = -40.0;
constexpr double kMaxWorking = 125.0;

// The thermistor reads high in the cold: rounded values from 0 down to -40 are lowered.
struct ColdCorrection {
  int from;  // highest rounded value of the band
  int to;    // lowest
  int lower_by;
  int fixed;  // nonzero: the band reads as this value instead
};
constexpr ColdCorrection kColdCorrections[] = {
    {0, -9, 1, 0},
    {-10, -28, 2, 0},
    {-29, -40, 0, -30},
};

double corrected(int rounded) {
  for (const ColdCorrection& band : kColdCorrections) {
    if (rounded <= band.from && rounded >= band.to) {
      return band.fixed != 0 ? band.fixed : rounded - band.lower_by;
    }
  }
  return rounded;
}

int no_reading(int* ret_celsius, int* ret_fahrenheit) {
  *ret_celsius = kNoTemperature;
  *ret_fahrenheit = kNoTemperature;
  return -1;
}

// Powers the thermistor divider and holds the ADC lock for one reading.
// One reading of the ADC at a time.
std::mutex adcLock;

class DividerOn {
 public:
  DividerOn() {
    adcLock.lock();
    run_shell("echo 1  > /sys/class/gpio/gpio8/value");
  }
  ~DividerOn() {
    run_shell("echo 0  > /sys/class/gpio/gpio8/value");
    adcLock.unlock();
  }
  DividerOn(const DividerOn&) = delete;
  DividerOn& operator=(const DividerOn&) = delete;
};

class Device {
 public:
  explicit Device(const char* path) : fd_(open(path, O_RDONLY)) {}
  ~Device() {
    if (fd_ >= 0) {
      close(fd_);
    }
  }
  Device(const Device&) = delete;
  Device& operator=(const Device&) = delete;
  int fd() const { return fd_; }

 private:
  int fd_;
};

}  // namespace

int temperature_from_millivolts(int32_t millivolts, int* ret_celsius, int* ret_fahrenheit) {
  const float v = static_cast<float>(millivolts);
  const float ratio = (v * 10000.0F / (static_cast<float>(kReferenceMv) - v)) / 10000.0F;
  // Single precision throughout, so that 900 mV (ratio 1) reads exactly 25 degrees.
  const float t_single =
      1.0F / (std::log(ratio) * static_cast<float>(kInverseBeta) + static_cast<float>(kInverseT0)) -
      static_cast<float>(kKelvin);
  const double t = static_cast<double>(t_single);
  double value;
  if (std::isfinite(t) && std::lround(t) > 0) {
    value = t - 1.0;
  } else if (t > -9.7 && t < -9.26) {
    *ret_celsius = -11;
    *ret_fahrenheit = 12;
    return 0;
  } else if (std::isfinite(t)) {
    value = corrected(static_cast<int>(std::lround(t)));
  } else {
    value = t;
  }
  if (!std::isfinite(value) || value < kMinWorking || value > kMaxWorking) {
    app_log(MOD_MAIN, LEVEL_ERR, "Temperature out of thermistor working range.");
    return no_reading(ret_celsius, ret_fahrenheit);
  }
  *ret_celsius = static_cast<int>(value);
  *ret_fahrenheit = static_cast<int>(value * 1.8 + 32.0);
  return 0;
}

int read_temperature(int* ret_celsius, int* ret_fahrenheit) {
  DividerOn divider;
  char path[32];
  snprintf(path, sizeof path, "%s%d", ADC_AUX_DEVICE_PREFIX, kAdcChannel);
  Device device(path);
  if (device.fd() < 0) {
    app_log(MOD_MAIN, LEVEL_ERR, "sample_adc:open error !");
    return no_reading(ret_celsius, ret_fahrenheit);
  }
  if (int result = adc_ioctl(device.fd(), ADC_SET_VREF, kReferenceMv); result != 0) {
    app_log(MOD_MAIN, LEVEL_ERR, "Failed to set reference voltage!");
    no_reading(ret_celsius, ret_fahrenheit);
    return result;
  }
  if (int result = adc_ioctl(device.fd(), ADC_ENABLE, 0); result != 0) {
    app_log(MOD_MAIN, LEVEL_ERR, "Failed to enable ADC channel!");
    no_reading(ret_celsius, ret_fahrenheit);
    return result;
  }
  int32_t sample = 0;
  const bool sampled = adc_read(device.fd(), &sample, sizeof sample) == sizeof sample;
  adc_ioctl(device.fd(), ADC_DISABLE, 0);
  if (!sampled) {
    app_log(MOD_MAIN, LEVEL_ERR, "Failed to read ADC sample!");
    return no_reading(ret_celsius, ret_fahrenheit);
  }
  return temperature_from_millivolts(sample, ret_celsius, ret_fahrenheit);
}

int read_temperature() {
  int celsius = kNoTemperature;
  int fahrenheit = kNoTemperature;
  const int result = read_temperature(&celsius, &fahrenheit);
  temperatureC = celsius;
  temperatureF = fahrenheit;
  return result;
}
