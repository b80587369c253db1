// The simulated library as a whole: start and stop, its log, the ISP status file, and the
// host controls.
#include <errno.h>
#include <stdarg.h>
#include <stdio.h>
#include <string.h>

#include "platform/imp/host/host_media.h"
#include "platform/imp/host/imp_host.h"
#include "platform/imp/imp_log.h"
#include "platform/imp/imp_osd.h"
#include "platform/imp/imp_system.h"
#include "platform/imp/isp_status_file.h"

// The pool is reserved once, before the library starts; its size only matters for regions,
// which the host's pictures do not have yet.
int IMP_OSD_SetPoolSize(int size) {
  imp_host::HostMedia& m = imp_host::media();
  std::lock_guard lock(m.mutex);
  if (injected_failure(m, "IMP_OSD_SetPoolSize")) {
    errno = EIO;
    return -1;
  }
  if (size <= 0 || m.systemUp) {
    errno = EINVAL;
    return -1;
  }
  m.osdPoolSize = size;
  return 0;
}

int IMP_System_Init(void) {
  imp_host::HostMedia& m = imp_host::media();
  std::lock_guard lock(m.mutex);
  if (injected_failure(m, "IMP_System_Init")) {
    errno = EIO;
    return -1;
  }
  if (m.systemUp || !m.sensorEnabled) {
    errno = EINVAL;
    return -1;
  }
  m.systemUp = true;
  return 0;
}

int IMP_System_Exit(void) {
  imp_host::HostMedia& m = imp_host::media();
  std::lock_guard lock(m.mutex);
  if (injected_failure(m, "IMP_System_Exit")) {
    errno = EIO;
    return -1;
  }
  if (!m.systemUp) {
    errno = EINVAL;
    return -1;
  }
  m.systemUp = false;
  return 0;
}

// The library logs to standard error, one line per message with its level and tag.
void IMP_Log_Print(IMPLogLevel level, const char* tag, const char* format, ...) {
  static constexpr const char* kLevels[] = {"D", "I", "W", "E"};
  const int index = level >= IMP_LOG_LEVEL_DEBUG && level <= IMP_LOG_LEVEL_ERROR
                        ? level - IMP_LOG_LEVEL_DEBUG
                        : 3;
  char message[512];
  va_list arguments;
  va_start(arguments, format);
  vsnprintf(message, sizeof(message), format, arguments);
  va_end(arguments);
  fprintf(stderr, "[%s/%s] %s\n", kLevels[index], tag != nullptr ? tag : "", message);
}

FILE* isp_status_fopen(const char* path, const char* mode) {
  if (path == nullptr || strcmp(path, ISP_STATUS_PATH) != 0) {
    return fopen(path, mode);
  }
  imp_host::HostMedia& m = imp_host::media();
  std::string served;
  {
    std::lock_guard lock(m.mutex);
    imp_host::advance_exposure(m, imp_host::now_us());
    served = imp_host::write_isp_status(m);
  }
  return fopen(served.c_str(), mode);
}

namespace imp_host {

void reset() {
  HostMedia& m = media();
  std::lock_guard lock(m.mutex);
  m.channels = {};
  m.ispOpen = m.sensorAdded = m.sensorEnabled = m.tuning = m.systemUp = false;
  m.sensor = IMPSensorInfo{};
  m.runningMode = IMPISP_RUNNING_MODE_DAY;
  m.contrast = m.brightness = 128;
  m.osdPoolSize = 0;
  m.ae = AutoExposure{};
  m.evStart = 0;
  m.aeFrame = -1;
  m.aeChannel = -1;
  m.inputs.forget();
}

}  // namespace imp_host
