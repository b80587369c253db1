// The auxiliary ADC driver (/dev/jz_adc_aux_N): an ioctl device that, once its reference is
// set and the channel enabled, gives one 32-bit sample in millivolts per read().
//
// The application keeps the device path and the driver's requests; it opens and closes the
// device with open()/close() and issues the requests and the read through adc_ioctl() and
// adc_read(). On the camera these are ioctl() and read(); on a host, where no such driver
// exists, the board serves the device node as a file that holds the pin's voltage, and these
// two calls play the driver's part on it.
#pragma once

#include <stddef.h>
#include <stdint.h>
#include <sys/types.h>

#ifdef __cplusplus
extern "C" {
#endif

// Device path prefix; the channel number follows ("/dev/jz_adc_aux_0").
#define ADC_AUX_DEVICE_PREFIX "/dev/jz_adc_aux_"

// The driver's requests.
enum {
  ADC_ENABLE = 0,    // start conversions on the channel
  ADC_DISABLE = 1,   // stop them
  ADC_SET_VREF = 2,  // argument: the reference voltage in millivolts
};

// ioctl() on the ADC device. 0 on success, -1 with errno on failure.
int adc_ioctl(int fd, unsigned long request, unsigned long argument);
// read() on the ADC device: one sample is an int32_t of millivolts. Returns the bytes read,
// or -1 with errno (e.g. EIO when the channel is not enabled).
ssize_t adc_read(int fd, void* buffer, size_t size);

#ifdef __cplusplus
}
#endif
