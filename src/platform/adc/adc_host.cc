// The ADC driver as a host plays it. The board serves the device node as a small file that
// holds the voltage on the ADC pin in millivolts, as text; these calls keep the driver's
// per-device state (reference set, channel enabled) and give one sample per read, limited
// to the reference as a converter saturates at it.
#include <errno.h>
#include <stdint.h>
#include <stdlib.h>
#include <string.h>
#include <sys/stat.h>
#include <unistd.h>

#include <map>
#include <mutex>

#include "platform/adc/adc_device.h"

namespace {

// The converter accepts references up to its supply.
constexpr unsigned long kMaxReferenceMv = 3300;

struct AdcState {
  unsigned long referenceMv = 0;
  bool enabled = false;
};

std::mutex g_mutex;
std::map<ino_t, AdcState> g_devices;

int device_of(int fd, ino_t* ret_inode) {
  struct stat status {};
  if (fstat(fd, &status) != 0) {
    return -1;
  }
  *ret_inode = status.st_ino;
  return 0;
}

int fail(int error) {
  errno = error;
  return -1;
}

}  // namespace

int adc_ioctl(int fd, unsigned long request, unsigned long argument) {
  ino_t inode = 0;
  if (device_of(fd, &inode) != 0) {
    return -1;
  }
  std::lock_guard lock(g_mutex);
  AdcState& state = g_devices[inode];
  switch (request) {
    case ADC_SET_VREF:
      if (argument == 0 || argument > kMaxReferenceMv) {
        return fail(EINVAL);
      }
      state.referenceMv = argument;
      return 0;
    case ADC_ENABLE:
      if (state.referenceMv == 0) {
        return fail(EINVAL);
      }
      state.enabled = true;
      return 0;
    case ADC_DISABLE:
      state.enabled = false;
      return 0;
    default:
      return fail(ENOTTY);
  }
}

ssize_t adc_read(int fd, void* buffer, size_t size) {
  if (size < sizeof(int32_t)) {
    return fail(EINVAL);
  }
  ino_t inode = 0;
  if (device_of(fd, &inode) != 0) {
    return -1;
  }
  unsigned long referenceMv = 0;
  {
    std::lock_guard lock(g_mutex);
    const AdcState& state = g_devices[inode];
    if (!state.enabled) {
      return fail(EIO);
    }
    referenceMv = state.referenceMv;
  }
  char text[32] = {};
  ssize_t got = pread(fd, text, sizeof(text) - 1, 0);
  if (got <= 0) {
    return fail(EIO);
  }
  char* end = nullptr;
  long pinMv = strtol(text, &end, 10);
  if (end == text) {
    return fail(EIO);
  }
  if (pinMv < 0) {
    pinMv = 0;
  }
  if (static_cast<unsigned long>(pinMv) > referenceMv) {
    pinMv = static_cast<long>(referenceMv);
  }
  int32_t sample = static_cast<int32_t>(pinMv);
  memcpy(buffer, &sample, sizeof(sample));
  return sizeof(sample);
}
