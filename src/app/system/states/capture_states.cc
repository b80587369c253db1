// The three capture states (PIR detection, time-lapse tick, test button) and the decision that
// follows a capture: a sync with the server, or power-down.
//
// Each state arms its capture (the capture threads take it), reads the battery state from the
// MCU meanwhile, and decides once the capture is over or, when nothing keeps it waiting, as
// soon as the MCU has delivered the installation date.
#include "app/system/states/capture_states.h"

#include <pthread.h>

#include <cerrno>
#include <ctime>

#include "app/capture/capture_flags.h"
#include "app/capture/capture_orchestration.h"
#include "app/capture/ir_control.h"
#include "app/config/camera_config.h"
#include "app/indicators/indicators.h"
#include "app/indicators/leds/led_requests.h"
#include "app/links/modem/modem_sync_info.h"
#include "app/postprocess/photo_pipeline.h"
#include "app/records/log/app_log.h"
#include "app/storage/sd_card.h"
#include "app/system/boot_checks.h"
#include "app/system/core/event_queue.h"
#include "app/system/core/shell.h"
#include "app/system/core/sys_info.h"
#include "app/system/state_machine.h"
#include "app/system/states/state_handlers.h"

namespace {

constexpr double kSyncWindowMinutes = 15.0;

// How the three states differ.
struct CaptureStateRules {
  int module;
  int32_t captureType;
  bool askAgainForFuelGauge;  // repeat the request while the answer is not valid
  bool batteryLedsAlways;     // otherwise only in test mode
};
constexpr CaptureStateRules kDetection = {MOD_CAP_DET, 1, true, false};
constexpr CaptureStateRules kTimelapse = {MOD_CAP_TIMELAPSE, 2, false, false};
constexpr CaptureStateRules kTest = {MOD_CAP_TEST, 3, true, true};

pthread_t g_bottom_half;
bool g_bottom_half_started = false;
bool g_install_date_requested = false;

// The light value that decides whether the decision waits for the IR illumination: the
// previous run's IR mode for a boot capture, the MCU's day/night status otherwise.
bool night_holds_decision(const CaptureStateRules& rules) {
  const bool detection = rules.captureType == kDetection.captureType;
  const int32_t night = detection ? sysInfo->prev_ir_mode.load() : sysInfo->day_night_val.load();
  const bool waiting_for_modem = sysInfo->modemPowered && !sysInfo->modemPowerAcked;
  bool holds = night != 0 && (night != 1 || sysInfo->orve_model == 1) && !waiting_for_modem;
  if (detection) {
    holds = holds && captureFlags.photoTaken != 1;
  }
  return holds;
}

void go_to_sync() {
  check_and_repair_sd();
  change_state(STATE_SYNC);
}

void handle_fuel_gauge(const CaptureStateRules& rules, EventMessage event) {
  if (rules.askAgainForFuelGauge && !sysInfo->fuelGaugeValid) {
    request_mcu(rules.module, event, MCU_REQ_GET_FUEL_GAUGE_VALUES);
    return;
  }
  if (rules.batteryLedsAlways || sysInfo->testMode) {
    show_battery_leds();
  }
  note_battery_level_known();
  if (!g_install_date_requested) {
    g_install_date_requested = true;
    request_mcu(rules.module, event, MCU_REQ_GET_RTC_INSTALL_DATE_TIME);
  }
}

void handle_modem_power() {
  if (!sysInfo->modemPowered) {
    return;
  }
  {
    SemLock lock(&sysInfoLock);
    sysInfo->modemPowerAcked = 1;
  }
  if (sysInfo->captureOngoing) {
    return;  // the end of the capture changes the state
  }
  go_to_sync();
}

// Time-lapse and test: the MCU's light decides the JPEG quality and the filter; then the
// capture is armed for the normal capture thread.
void arm_capture(const CaptureStateRules& rules, EventMessage event) {
  prepare_capture_for_light();
  {
    SemLock lock(&sysInfoLock);
    const bool test = rules.captureType == kTest.captureType;
    if (test) {
      sysInfo->testCaptureRequested = 1;
      captureFlags.testCapture = 1;
    }
    captureFlags.captureIsVideo = cameraConfig->capture_mode == 1 ? 1 : 0;
    hand_capture_to_thread(rules.captureType, kPrimaryPartition);
  }
  request_mcu(rules.module, event, MCU_REQ_GET_ADC_MONITORING_VALUES);
}

// The detection state waits for both halves of the boot capture before it moves on.
void wait_boot_capture_threads() {
  wait_top_half_end();
  if (!g_bottom_half_started) {
    return;
  }
  g_bottom_half_started = false;
  if (int error = pthread_join(g_bottom_half, nullptr); error != 0) {
    app_log(MOD_CAP_DET, LEVEL_ERR, "pthread_join failed , bottom half thread : errno : %d", error);
  }
}

void handle_capture_end(const CaptureStateRules& rules, EventMessage event) {
  if (event.kind == EVENT_CAP_DONE) {
    app_log(rules.module, LEVEL_INFO, "EVENT_CAP_DONE");
    if (rules.captureType == kDetection.captureType) {
      wait_boot_capture_threads();
    }
  } else {
    app_log(rules.module, LEVEL_ERR, "EVENT_CAP_ERROR");
  }
  drop_caches_if_low();
  if (sysInfo->modemPowered) {
    if (rules.captureType == kTest.captureType) {
      set_locked(sysInfo->testCaptureRequested, 0);
    }
    go_to_sync();
    return;
  }
  after_capture_decision();
}

void start_bottom_half() {
  if (int error = start_capture_bottom_half(&g_bottom_half); error != 0) {
    app_log(MOD_CAP_DET, LEVEL_ERR, "Capture Bottom Half Thread create failed tid : %d,errno : %d",
            0, error);
    set_locked(sysInfo->captureOngoing, 0);
    return;
  }
  g_bottom_half_started = true;
}

void on_entry(const CaptureStateRules& rules, EventMessage event) {
  log_state_change();
  g_install_date_requested = false;
  // On model 1 a night capture decides when its IR illumination goes off.
  set_ir_off_decision(after_capture_decision);
  if (rules.captureType == kDetection.captureType) {
    start_bottom_half();
    request_mcu(rules.module, event, MCU_REQ_GET_ADC_MONITORING_VALUES);
    return;
  }
  if (rules.captureType == kTest.captureType) {
    set_locked(sysInfo->testMode, 1);
  }
  request_mcu(rules.module, event, MCU_REQ_DAY_NIGHT);
}

void handle_mcu_response(const CaptureStateRules& rules, EventMessage event) {
  switch (event.response) {
    case MCU_RESP_GET_ADC_MONITORING_VALUES:
      request_mcu(rules.module, event, MCU_REQ_GET_FUEL_GAUGE_VALUES);
      return;
    case MCU_RESP_GET_FUEL_GAUGE_VALUES:
      handle_fuel_gauge(rules, event);
      return;
    case MCU_RESP_GET_RTC_INSTALL_DATE_TIME:
      if (!night_holds_decision(rules)) {
        after_capture_decision();
      }
      return;
    case MCU_RESP_SET_MODEM_POWER_STATE:
      handle_modem_power();
      return;
    case MCU_RESP_SET_STATUS_LED:
      app_log(rules.module, LEVEL_INFO, "MCU to ISP - MCU_RESP_SET_STATUS_LED");
      return;
    case MCU_RESP_DAY_NIGHT:
      if (rules.captureType != kDetection.captureType) {
        arm_capture(rules, event);
      }
      return;
    default:
      return;
  }
}

void handle_capture_state(const CaptureStateRules& rules, EventMessage event) {
  switch (event.kind) {
    case EVENT_STATE_ENTRY:
      on_entry(rules, event);
      return;
    case MSG_MCU_RESP:
      handle_mcu_response(rules, event);
      return;
    case EVENT_MCU_TEST: {
      SemLock lock(&sysInfoLock);
      sysInfo->testCaptureRequested = 1;
      sysInfo->testMode = 1;
    }
      acknowledge_capture_notification(event);
      return;
    case EVENT_MCU_PIR:
    case EVENT_MCU_TIMELAPSE:
      // No second capture is started while one state's capture runs.
      acknowledge_capture_notification(event);
      return;
    case EVENT_CAP_DONE:
    case EVENT_CAP_ERROR:
      handle_capture_end(rules, event);
      return;
    default:
      return;
  }
}

}  // namespace

int32_t jpeg_quality_for_light(bool night) {
  return night ? cameraConfig->jpeg_quality_night.load() : cameraConfig->jpeg_quality_day.load();
}

void take_photo_settings_for_light() {
  SemLock lock(&sysInfoLock);
  photoHandover.jpegQuality = jpeg_quality_for_light(sysInfo->day_night_val != 0);
  photoHandover.resizeMethod = cameraConfig->resizeMethod.load();
}

void prepare_capture_for_light() {
  take_photo_settings_for_light();
  if (!captureFlags.irFilterSet) {
    set_ir_cut_filter();
    set_locked(captureFlags.irFilterSet, 1);
  }
}

void hand_capture_to_thread(int32_t captureType, int32_t partition) {
  sysInfo->captureType = captureType;
  sysInfo->storagePartition = partition;
  captureFlags.captureStart = 1;
  sysInfo->captureOngoing = 1;
}

void note_battery_level_known() {
  set_locked(modemSyncInfo->batteryLevelKnown, 1);
  // The warning light's permission depends on the battery level as much as on the card: a
  // card found good before the level was known is judged again now.
  if (sdState == SD_MOUNTED) {
    allow_warning_light_if_charged();
  }
}

int minutes_since_install_within_15() {
  // Both times are whole seconds since 1970 as the MCU delivered them; their local-time
  // calendar forms differ by the same number of seconds.
  const double minutes =
      static_cast<double>(time(nullptr) - cameraConfig->installEpoch.load()) / 60.0;
  app_log(MOD_MAIN, LEVEL_INFO, "Difference b/w install time and current : %f", minutes);
  return minutes <= kSyncWindowMinutes ? 1 : 0;
}

void after_capture_decision() {
  const bool test = sysInfo->state == STATE_CAPTURETEST;
  const int recent_install = test ? 0 : minutes_since_install_within_15();
  const bool sync_due = ((cameraConfig->sync_frequency == 0 || sysInfo->testCaptureRequested ||
                          recent_install == 1) &&
                         cameraConfig->cellular != 0) ||
                        cameraConfig->instantModeActive == 1;
  if (sync_due) {
    set_locked(sysInfo->syncType, test ? 3 : 1);
    if (!sysInfo->modemPowered || !sysInfo->modemPowerAcked) {
      app_log(MOD_SYNC, LEVEL_INFO, "ISP to MCU - MCU_REQ_SET_MODEM_POWER_STATE_ON");
      EventMessage request{};
      request.kind = MSG_MCU_REQ;
      send_mcu_request(request, MCU_REQ_SET_MODEM_POWER_STATE_ON);
    }
    return;
  }
  if (sysInfo->state != STATE_POWERDOWN) {
    change_state(STATE_POWERDOWN);
  }
}

void handle_capture_detection(EventMessage event) {
  handle_capture_state(kDetection, event);
}

void handle_capture_timelapse(EventMessage event) {
  handle_capture_state(kTimelapse, event);
}

void handle_capture_test(EventMessage event) {
  handle_capture_state(kTest, event);
}
