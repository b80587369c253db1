// On the camera the ADC requests and samples go straight to the driver.
#include "platform/adc/adc_device.h"

#include <sys/ioctl.h>
#include <unistd.h>

int adc_ioctl(int fd, unsigned long request, unsigned long argument) {
  return ioctl(fd, request, argument) < 0 ? -1 : 0;
}

ssize_t adc_read(int fd, void* buffer, size_t size) {
  return read(fd, buffer, size);
}
