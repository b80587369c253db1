// STATE_INIT: make sure the MCU clock is valid, read the MCU's device information, then ask the
// MCU why it woke the camera and change to that state.
#include <cstdlib>
#include <cstring>

#include "app/config/camera_config.h"
#include "app/indicators/indicators.h"
#include "app/records/log/app_log.h"
#include "app/system/core/event_queue.h"
#include "app/system/core/shell.h"
#include "app/system/core/status_led.h"
#include "app/system/core/sys_info.h"
#include "app/system/state_machine.h"
#include "app/system/states/state_handlers.h"
#include "app/system/thread_table.h"

namespace {

constexpr uint32_t kFirstBootBlinkPeriodMs = 1000;
constexpr uint32_t kTestCaptureBlinkPeriodMs = 1000;

void set_blink_period(uint32_t period_ms) {
  SemLock lock(&configLock);
  cameraConfig->statusLedBlinkPeriodMs = period_ms;
}

// Starts a first-boot thread; logs its line and returns false when it cannot be created.
bool start_first_boot_thread(ThreadBody body, const char* failure_format) {
  pthread_t thread;
  int error = pthread_create(&thread, &threadAttr, body, nullptr);
  if (error != 0) {
#pragma GCC diagnostic push
#pragma GCC diagnostic ignored "-Wformat-nonliteral"
    app_log(MOD_FIRSTBOOT, LEVEL_ERR, failure_format, error);
#pragma GCC diagnostic pop
    return false;
  }
  pthread_detach(thread);
  return true;
}

// First boot: the sensor stays unpowered, the status LED blinks green and the format button
// is watched. Returns false when a format-button thread could not be started.
bool prepare_first_boot() {
  run_shell("echo 17 > /sys/class/gpio/export");
  run_shell("echo 'out' > /sys/class/gpio/gpio17/direction");
  run_shell("echo 0 > /sys/class/gpio/gpio17/value");
  app_log(MOD_INIT, LEVEL_INFO, "Sensor_Power_Down_F");
  show_signal_leds(0);
  set_blink_period(kFirstBootBlinkPeriodMs);
  set_status_led(STATUS_LED_GREEN, STATUS_LED_BLINK);
  if (!start_first_boot_thread(kThreadBodies.format_button,
                               "SD Format button Thread Creation Failed.... Exiting from the "
                               "Application...errno : %d") ||
      !start_first_boot_thread(kThreadBodies.format_enable,
                               "SD Enable Format button Thread Creation Failed.... Exiting from "
                               "the Application...errno : %d")) {
    return false;
  }
  SemLock lock(&sysInfoLock);
  sysInfo->captureType = 0;
  sysInfo->syncType = 0;
  return true;
}

void prepare_capture(int32_t capture_type) {
  SemLock lock(&sysInfoLock);
  sysInfo->captureType = capture_type;
  sysInfo->storagePartition = 0;
}

void prepare_sync(int32_t sync_type, bool capture_due) {
  SemLock lock(&sysInfoLock);
  sysInfo->syncType = sync_type;
  if (capture_due) {
    sysInfo->captureAtSync = 1;
  }
}

void enter_reported_state(int32_t state) {
  SemLock lock(&sysInfoLock);
  sysInfo->state = state;
  sysInfo->enterState = 1;
}

// Sets up the state the MCU reported and returns the state to enter, or -1 to stay.
int32_t prepare_reported_state(int32_t reported) {
  const bool capture_mode_allows = cameraConfig->capture_mode != 2;
  switch (reported) {
    case STATE_FIRSTBOOT:
      return prepare_first_boot() ? reported : -1;
    case STATE_SYNC:
      prepare_sync(1, cameraConfig->cap_on_nxt_sync && capture_mode_allows);
      return reported;
    case STATE_SYNCDAILY:
      prepare_sync(2, cameraConfig->cap_on_nxt_sync && cameraConfig->sync_frequency == 0 &&
                          capture_mode_allows);
      return reported;
    case STATE_CAPTUREDETECTION:
      prepare_capture(1);
      if (sysInfo->boot_reason != 1) {
        app_log(MOD_INIT, LEVEL_INFO,
                "CAMERA STATE AND BOOT REASON MISMATCH OCCURRED GOING TO POWERDOWN");
        return STATE_POWERDOWN;
      }
      return reported;
    case STATE_CAPTURETIMELAPSE:
      prepare_capture(2);
      return reported;
    case STATE_CAPTURETEST:
      show_signal_leds(0);
      set_blink_period(kTestCaptureBlinkPeriodMs);
      prepare_capture(3);
      return reported;
    case STATE_INSTANTREQUEST:
      prepare_sync(1, false);
      return reported;
    case STATE_INIT:
      // The MCU asks for the init state again: it is entered afresh.
      return reported;
    case STATE_POWERDOWN:
      return reported;
    default:
      // No state has this number; a run that cannot know its work ends.
      app_log(MOD_INIT, LEVEL_ERR, "Unknown camera state %d reported, going to power down",
              reported);
      return STATE_POWERDOWN;
  }
}

// Reads the decimal state number the link manager wrote into the record's text.
int32_t reported_state(const EventMessage& event) {
  char text[kEventTextSize + 1] = {};
  memcpy(text, event.text, kEventTextSize);
  char* end = nullptr;
  long value = strtol(text, &end, 10);
  if (end == text || value < INT32_MIN || value > INT32_MAX) {
    return -1;
  }
  return static_cast<int32_t>(value);
}

void handle_camera_state(const EventMessage& event) {
  const int32_t reported = reported_state(event);
  if (reported >= STATE_FIRSTBOOT && reported <= STATE_INSTANTREQUEST) {
    app_log(MOD_INIT, LEVEL_INFO, "MCU to ISP - MCU_RESP_GET_CAMERA_STATE STATE : %s",
            state_name(reported));
  }
  const int32_t next = prepare_reported_state(reported);
  if (next >= 0) {
    enter_reported_state(next);
  }
}

}  // namespace

void handle_init(EventMessage event) {
  if (event.kind == EVENT_STATE_ENTRY) {
    log_state_change();
    {
      SemLock lock(&sysInfoLock);
      sysInfo->rtcYear = 1970;
    }
    request_mcu(MOD_INIT, event, MCU_REQ_GET_RTC_DATE_TIME);
    return;
  }
  if (event.kind != MSG_MCU_RESP) {
    return;
  }
  switch (event.response) {
    case MCU_RESP_GET_RTC_DATE_TIME:
      if (!sysInfo->rtcValid) {
        request_mcu(MOD_INIT, event, MCU_REQ_GET_RTC_DATE_TIME);
        return;
      }
      {
        SemLock lock(&sysInfoLock);
        sysInfo->rtcChecked = 1;
      }
      request_mcu(MOD_INIT, event, MCU_REQ_GET_DEVICE_INFO);
      return;
    case MCU_RESP_GET_DEVICE_INFO:
      request_mcu(MOD_INIT, event, MCU_REQ_GET_CAMERA_STATE);
      return;
    case MCU_RESP_GET_CAMERA_STATE:
      handle_camera_state(event);
      return;
    default:
      return;
  }
}
