// The end of a capture as the system server sees it, and the capture-error marker that the
// next boot reads.

#include <cstdio>
#include <cstdlib>
#include <ctime>

#include "app/AV-Common.h"
#include "app/capture/capture_flags.h"
#include "app/capture/capture_orchestration.h"
#include "app/capture/ir_control.h"
#include "app/config/camera_config.h"
#include "app/records/log/app_log.h"
#include "app/system/core/event_queue.h"
#include "app/system/core/shell.h"
#include "app/system/core/sys_info.h"
#include "app/system/os/os.h"

namespace {

constexpr uint32_t kPollUs = 10 * 1000;
constexpr std::size_t kMarkerCommandSize = 128;

}  // namespace

void send_capture_event(int kind) {
  EventMessage event{};
  event.kind = kind;
  send_event(sysQueue, event, kSysQueueSendError);
}

void record_capture_error_reboot() {
  // The marker carries the local wall-clock time as if it were UTC, as the boot check reads it.
  const time_t now = time(nullptr);
  tm local{};
  localtime_r(&now, &local);
  const auto stamp = static_cast<unsigned>(timegm(&local));
  // Written with system() directly rather than through the shell runner.
  char command[kMarkerCommandSize];
  if (system("tag_env_info --set dovu cap_error_reboot 1") != 0) {
    app_log(MOD_PHOTO_AV, LEVEL_ERR, "cap_error_reboot tag not written");
  }
  snprintf(command, sizeof command, "tag_env_info --set dovu cap_error_rebootEpoch %u", stamp);
  if (system(command) != 0) {
    app_log(MOD_PHOTO_AV, LEVEL_ERR, "cap_error_rebootEpoch tag not written");
  }
  snprintf(command, sizeof command, "echo %u > /config/cap_error_file", stamp);
  if (system(command) != 0) {
    app_log(MOD_PHOTO_AV, LEVEL_ERR, "cap_error_file not written");
  }
}

void report_capture_error() {
  app_log(MOD_PHOTO_AV, LEVEL_INFO, "Sending EVENT_CAP_ERROR\n");
  ir_led_off_after_capture();
  if (pipelineMode == 0 && !yuvDown) {
    set_locked(captureFlags.yuvDeinitRequest, 1);
  } else if (pipelineMode == 1) {
    set_locked(captureFlags.h265DeinitRequest, 1);
  }
  while (captureFlags.sensorDeinitBusy) {
    os_sleep_us(kPollUs);
  }
  {
    SemLock lock(&sysInfoLock);
    sysInfo->captureOngoing = 0;
    captureFlags.captureStart = 0;
    captureFlags.testCapture = 0;
  }
  send_capture_event(EVENT_CAP_ERROR);
  record_capture_error_reboot();
}

int set_system_time(long offset) {
  return run_shellf("TZ='UTC' date -s @%ld",
                    static_cast<long>(cameraConfig->rtcEpoch.load()) - offset);
}
