// STATE_SYNC / STATE_SYNCDAILY and STATE_FIRSTBOOT: the exchange with the server through the
// Modem. Each answer triggers the next request: power the Modem, tell it the kind of sync, fetch
// the password, follow the sync status, lend the card when the Modem asks, fetch the server's
// configuration, pass it on to the MCU and tell the Modem to shut down.
#include "app/system/sync_states.h"

#include <unistd.h>

#include "app/capture/capture_flags.h"
#include "app/capture/ir_control.h"
#include "app/config/camera_config.h"
#include "app/links/mcu/mcu_link_manager.h"
#include "app/links/modem/modem_sync_info.h"
#include "app/postprocess/media_names.h"
#include "app/records/app_log.h"
#include "app/records/log_archive.h"
#include "app/records/reboot_log.h"
#include "app/storage/led_requests.h"
#include "app/storage/media_move.h"
#include "app/storage/sd_card.h"
#include "app/storage/sd_format.h"
#include "app/storage/sd_monitor.h"
#include "app/storage/usb_handover.h"
#include "app/system/boot_checks.h"
#include "app/system/capture_states.h"
#include "app/system/event_queue.h"
#include "app/system/instant_request.h"
#include "app/system/seams.h"
#include "app/system/shell.h"
#include "app/system/state_handlers.h"
#include "app/system/state_machine.h"
#include "app/system/status_led.h"
#include "app/system/sys_info.h"

namespace {

constexpr useconds_t kPollUs = 1000;
constexpr int32_t kSyncTimeoutSeconds = 300;
constexpr int32_t kLowBatteryPercent = 15;
constexpr uint32_t kSyncErrorBlinkPeriodMs = 2000;
constexpr int kFormatTries = 3;
constexpr int32_t kModelWithoutTestLed = 6;
constexpr char kModemSendError[] = "\r\n Error : mq_send : ";

enum SyncStatus : int32_t {
  SEARCHINGSIGNAL = 0,
  INPROGRESS = 1,
  SUCCESSFUL = 2,
  ERROR = 3,
  UNKNOWN = 4,
};

void set(Flag& flag, int8_t value) {
  SemLock lock(&sysInfoLock);
  flag = value;
}

bool first_boot(int module) {
  return module == MOD_FIRSTBOOT;
}

// The requests after which the exchange waits for the Modem: the device model and the sync type
// (then its sync status), the configuration, and the next actions (the upload and its status,
// the shutdown and its answer).
bool waits_for_the_modem(int32_t request) {
  switch (request) {
    case MODEM_REQ_GET_DEVICE_MODEL:
    case MODEM_REQ_SET_SERVER_SYNC_TYPE:
    case MODEM_REQ_GET_CAMERA_CONFIGURATION:
    case MODEM_REQ_SET_SERVER_NEXT_ACTION_SYNCACTION_UPLOAD:
    case MODEM_REQ_SET_SERVER_NEXT_ACTION_SYNCACTION_SHUTDOWN:
      return true;
    default:
      return false;
  }
}

void request_modem(int module, EventMessage event, int32_t request) {
  app_log(module, LEVEL_INFO, "ISP to Modem - %s", event_code_name(request));
  send_modem_request(event, request, kModemSendError);
  if (waits_for_the_modem(request)) {
    start_sync_timeout();
  }
}

// Answers one of the Modem's own requests: the event record goes back with `kind` replaced.
void answer_modem(EventMessage event, int32_t kind) {
  event.kind = kind;
  send_event(modemQueue, event, kModemQueueSendError);
}

void wait_until_quiet() {
  while (sysInfo->sdCheckRequest || sysInfo->captureOngoing || formatOngoing) {
    usleep(kPollUs);
  }
}

void cancel_timeout() {
  set(modemSyncInfo->timeoutCancel, 1);
}

// Captures are run by the capture thread; without it nothing may be armed, or the states would
// wait for a capture that never ends.
bool capture_thread_runs() {
  return kThreadBodies.capture_photo_video != nullptr;
}

// --- the MCU side: battery, Modem power, configuration chain ------------------------------

void handle_fuel_gauge(int module, EventMessage event) {
  if (!sysInfo->fuelGaugeValid) {
    request_mcu(module, event, MCU_REQ_GET_FUEL_GAUGE_VALUES);
    return;
  }
  if (first_boot(module) || sysInfo->testMode) {
    show_battery_leds();
  }
  note_battery_level_known();
  if (!sysInfo->modemPowered) {
    // The sync's line names the Modem, as it always has; the first boot's is the MCU request's.
    app_log(module, LEVEL_INFO,
            first_boot(module) ? "ISP to MCU - MCU_REQ_SET_MODEM_POWER_STATE_ON"
                               : "ISP to Modem - MCU_REQ_SET_MODEM_POWER_STATE_ON");
    send_mcu_request(event, MCU_REQ_SET_MODEM_POWER_STATE_ON);
  }
}

void handle_modem_powered(int module, EventMessage event) {
  if (!sysInfo->modemPowered) {
    return;
  }
  set(sysInfo->modemPowerAcked, 1);
  if (first_boot(module)) {
    request_modem(module, event, MODEM_REQ_GET_DEVICE_MODEL);
  } else {
    request_modem(module, event, MODEM_REQ_SET_SERVER_SYNC_TYPE);
  }
}

// A pause query ends when the configuration that carries the pause has reached the MCU: the
// server hears of it before the camera asks the Modem to shut down.
void answer_pause_query(int module, EventMessage event) {
  if (first_boot(module) || !sysInfo->instantQueryBusy ||
      sysInfo->instantQueryType != QUERY_PAUSE) {
    return;
  }
  {
    SemLock lock(&sysInfoLock);
    sysInfo->instantStage = 2;
    modemSyncInfo->queryProcessed = 1;
    modemSyncInfo->queryResult = 1;
  }
  answer_modem(event, MODEM_ASYNC_RESP_SET_SERVER_INSTANT_QUERY);
}

void finish_configuration_chain(int module, EventMessage event) {
  answer_pause_query(module, event);
  if (!modemSyncInfo->rtcSetConfirmed && pendingAsyncMcuRequest == MCU_REQ_SET_RTC_DATE_TIME) {
    // The clock the Modem sent has not been confirmed by the MCU: the link sends it once more.
    mcu_retry_async();
  }
  request_modem(module, event, MODEM_REQ_SET_SERVER_NEXT_ACTION_SYNCACTION_SHUTDOWN);
}

void handle_camera_config_set(int module, EventMessage event) {
  set(modemSyncInfo->configIntakeBusy, 0);
  if (!first_boot(module) && sysInfo->instantQueryBusy &&
      sysInfo->instantQueryType == QUERY_FACTORY_RESET) {
    {
      SemLock lock(&sysInfoLock);
      sysInfo->instantStage = 2;
      modemSyncInfo->queryProcessed = 1;
      modemSyncInfo->queryResult = 1;
    }
    answer_modem(event, MODEM_ASYNC_RESP_SET_SERVER_INSTANT_QUERY);
    return;
  }
  request_mcu(module, event, MCU_REQ_SET_BATTERY_PROTECTION);
}

void handle_day_night(int module, EventMessage event) {
  take_photo_settings_for_light();
  if (!captureFlags.irFilterSet) {
    set_ir_cut_filter();
    set_locked(captureFlags.irFilterSet, 1);
  }
  if (sysInfo->captureAtSync && !sysInfo->captureOngoing && capture_thread_runs()) {
    SemLock lock(&sysInfoLock);
    sysInfo->captureType = 4;
    sysInfo->pirMode = cameraConfig->capture_mode == 1 ? 1 : 0;
    captureFlags.captureStart = 1;
    sysInfo->storagePartition = 0;
    sysInfo->captureOngoing = 1;
  }
  app_log(module, LEVEL_INFO, "MCU to ISP - MCU_RESP_DAY_NIGHT");
  request_mcu(module, event, MCU_REQ_GET_ADC_MONITORING_VALUES);
}

void handle_mcu_answer(int module, EventMessage event) {
  switch (event.response) {
    case MCU_RESP_DAY_NIGHT:
      if (!first_boot(module)) {
        handle_day_night(module, event);
      }
      return;
    case MCU_RESP_GET_ADC_MONITORING_VALUES:
      request_mcu(module, event, MCU_REQ_GET_FUEL_GAUGE_VALUES);
      return;
    case MCU_RESP_GET_FUEL_GAUGE_VALUES:
      return handle_fuel_gauge(module, event);
    case MCU_RESP_SET_MODEM_POWER_STATE:
      return handle_modem_powered(module, event);
    case MCU_RESP_SET_PIR_CONFIG:
      request_mcu(module, event, MCU_REQ_SET_CAMERA_CONFIG);
      return;
    case MCU_RESP_SET_CAMERA_CONFIG:
      return handle_camera_config_set(module, event);
    case MCU_RESP_SET_BATTERY_PROTECTION:
      request_mcu(module, event, MCU_REQ_SET_CAMERA_DETECTION_SCHEDULE);
      return;
    case MCU_RESP_SET_CAMERA_DETECTION_SCHEDULE:
      request_mcu(module, event, MCU_REQ_SET_CAMERA_INSTANT_SCHEDULE);
      return;
    case MCU_RESP_SET_CAMERA_INSTANT_SCHEDULE:
      return finish_configuration_chain(module, event);
    case MCU_RESP_SET_RTC_DATE_TIME:
      set(modemSyncInfo->rtcSetConfirmed, 1);
      return;
    case MCU_RESP_GET_RTC_INSTALL_DATE_TIME:
    case MCU_RESP_SET_STATUS_LED:
    case MCU_RESP_SET_ISP_READY_TO_SLEEP:
      app_log(module, LEVEL_INFO, "MCU to ISP - %s", event_code_name(event.response));
      return;
    default:
      return;
  }
}

// --- the Modem's answers ----------------------------------------------------------------------

void handle_modem_answer(int module, EventMessage event) {
  switch (event.response) {
    case MODEM_RESP_GET_DEVICE_MODEL:
      if (first_boot(module)) {
        {
          SemLock lock(&sysInfoLock);
          sysInfo->syncType = 0;
        }
        request_modem(module, event, MODEM_REQ_SET_SERVER_SYNC_TYPE);
        app_log(module, LEVEL_INFO, "SYNCTYPE : FIRSTBOOT");
      }
      return;
    case MODEM_RESP_SET_SERVER_SYNC_TYPE:
      set(modemSyncInfo->syncTypeAcked, 1);
      request_modem(module, event, MODEM_REQ_GET_CRYPTO_PASSWORD);
      return;
    case MODEM_RESP_GET_CAMERA_CONFIGURATION:
      cancel_timeout();
      request_mcu(module, event, MCU_REQ_SET_PIR_CONFIG);
      return;
    case MODEM_RESP_SET_SERVER_NEXT_ACTION:
      app_log(module, LEVEL_INFO, "Modem to ISP - MODEM_RESP_SET_SERVER_NEXT_ACTION ");
      if (sysInfo->shutdownRequested) {
        cancel_timeout();
        wait_until_quiet();
        change_state(STATE_POWERDOWN);
      }
      return;
    default:
      return;  // the password answer is taken by the link manager
  }
}

// --- sync status --------------------------------------------------------------------------------

void move_files_then_upload(int module, EventMessage event) {
  while (sysInfo->captureOngoing) {
    usleep(kPollUs);
  }
  if (is_primary_usable() != 1) {
    {
      SemLock lock(&sysInfoLock);
      sysInfo->moveFilesPending = 0;
      modemSyncInfo->uploadStarted = 0;
      modemSyncInfo->configPending = 0;
    }
    request_modem(module, event, MODEM_REQ_SET_SERVER_NEXT_ACTION_SYNCACTION_SHUTDOWN);
    return;
  }
  app_log(module, LEVEL_INFO, "MOVE FILES FROM SEC TO PRI START");
  set(sysInfo->fileCopyOngoing, 1);
  move_secondary_media();
  set(sysInfo->fileCopyOngoing, 0);
  app_log(module, LEVEL_INFO, "MOVE FILES FROM SEC TO PRI DONE");
  set(sysInfo->moveFilesPending, 0);
  request_modem(module, event, MODEM_REQ_SET_SERVER_NEXT_ACTION_SYNCACTION_UPLOAD);
  SemLock lock(&sysInfoLock);
  modemSyncInfo->uploadStarted = 1;
  modemSyncInfo->configPending = 1;
}

void sync_succeeded(EventMessage event) {
  cancel_timeout();
  app_log(MOD_SYNC, LEVEL_INFO, "EVENT_MODEM_SVR_SYNC_STATUS : SUCCESSFUL");
  set(modemSyncInfo->syncSucceeded, 1);
  if (sysInfo->moveFilesPending) {
    move_files_then_upload(MOD_SYNC, event);
  } else if (modemSyncInfo->configPending) {
    {
      SemLock lock(&sysInfoLock);
      modemSyncInfo->configPending = 0;
      modemSyncInfo->uploadStarted = 0;
    }
    request_modem(MOD_SYNC, event, MODEM_REQ_GET_CAMERA_CONFIGURATION);
  } else if (modemSyncInfo->ignoreQueryFlow) {
    request_modem(MOD_SYNC, event, MODEM_REQ_SET_SERVER_NEXT_ACTION_SYNCACTION_SHUTDOWN);
  }
}

void first_boot_succeeded(EventMessage event) {
  cancel_timeout();
  app_log(MOD_FIRSTBOOT, LEVEL_INFO, "EVENT_MODEM_SVR_SYNC_STATUS : SUCCESSFUL");
  if (compute_ready_status() == 1) {
    set_status_led(STATUS_LED_GREEN, STATUS_LED_ON);
  }
  stop_format_button();
  const bool watchdog_shown = sysInfo->wdmReboot && cameraConfig->wdLEDStatus;
  if (!watchdog_shown && !sysInfo->capErrorReboot && !sd_red_led_on() &&
      cameraConfig->orve_model != kModelWithoutTestLed) {
    app_log(MOD_FIRSTBOOT, LEVEL_INFO, "Setting Test LED : ON");
    set_test_led_on();
  }
  request_modem(MOD_FIRSTBOOT, event, MODEM_REQ_GET_CAMERA_CONFIGURATION);
}

void sync_failed(int module, EventMessage event) {
  app_log(MOD_MAIN, LEVEL_ERR, "EVENT_MODEM_SVR_SYNC_STATUS : ERROR");
  cancel_timeout();
  if (first_boot(module)) {
    stop_format_button();
    {
      SemLock lock(&configLock);
      cameraConfig->statusLedBlinkPeriodMs = kSyncErrorBlinkPeriodMs;
    }
    set_status_led(STATUS_LED_RED, STATUS_LED_BLINK);
  }
  {
    SemLock lock(&sysInfoLock);
    sysInfo->rtcValid = 1;
    sysInfo->fuelGaugeValid = 1;
  }
  request_modem(module, event, MODEM_REQ_GET_CAMERA_CONFIGURATION);
}

void handle_sync_status(int module, EventMessage event) {
  if (first_boot(module)) {
    answer_modem(event, MODEM_ASYNC_RESP_SET_SERVER_SYNC_STATUS);
  }
  switch (sysInfo->serverSyncStatus) {
    case SEARCHINGSIGNAL:
      app_log(module, LEVEL_INFO, "EVENT_MODEM_SVR_SYNC_STATUS : SEARCHINGSIGNAL");
      start_sync_timeout();
      return;
    case INPROGRESS:
      app_log(module, LEVEL_INFO, "EVENT_MODEM_SVR_SYNC_STATUS : INPROGRESS");
      app_log(module, LEVEL_INFO, "Signal strength : %lu",
              static_cast<unsigned long>(cameraConfig->signalStrength.load()));
      {
        SemLock lock(&sysInfoLock);
        if (!first_boot(module)) {
          modemSyncInfo->configPending = 1;
        }
      }
      start_sync_timeout();  // cancels the search's count; the final status is awaited
      if (first_boot(module) || sysInfo->testMode) {
        show_signal_leds(1);
      }
      set(modemSyncInfo->signalKnown, 1);
      return;
    case SUCCESSFUL:
      return first_boot(module) ? first_boot_succeeded(event) : sync_succeeded(event);
    case ERROR:
      return sync_failed(module, event);
    case UNKNOWN:
      app_log(module, LEVEL_INFO, "EVENT_MODEM_SVR_SYNC_STATUS : UNKNOWN");
      return;
    default:
      // A status the Modem has no name for: nothing to do.
      app_log(module, LEVEL_WARN, "EVENT_MODEM_SVR_SYNC_STATUS : %d",
              sysInfo->serverSyncStatus.load());
      return;
  }
}

// --- SD handover ----------------------------------------------------------------------------

// The counter is rebuilt before the primary goes to the Modem: a capture during the lending
// cannot read the primary and goes on from this count. init_sd_card() reports 0 once the card
// was mounted earlier in the run, so a fresh check says whether it is mounted.
void restore_file_counter() {
  init_sd_card();
  if (counterRestored || check_sd_card() != SD_MOUNTED) {
    return;
  }
  if (!restore_file_counter_once(Remount::kAlways)) {
    app_log(MOD_SYNC, LEVEL_ERR, "Error in save_last_file_fldr_val");
  }
}

int32_t lend_card(int module) {
  const int32_t capture = sysInfo->captureOngoing;
  if (capture == 1 && sysInfo->storagePartition == 0) {
    return MODEM_ASYNC_RESP_GET_SD_CARD_CONTROL_BUSY;
  }
  if ((capture == 1 && !sysInfo->moveFilesPending) || (capture != 0 && capture != 1)) {
    return MODEM_ASYNC_RESP_GET_SD_CARD_CONTROL_ERROR;
  }
  run_shell("sync");
  {
    SemLock lock(&sysInfoLock);
    modemSyncInfo->sdPartitionCount = get_sd_partition_count();
  }
  if (lend_primary_to_modem() != 0) {
    app_log(module, LEVEL_INFO, "USB NOT MOUNTED");
    return MODEM_ASYNC_RESP_GET_SD_CARD_CONTROL_BUSY;
  }
  set(sysInfo->primaryLent, 1);
  app_log(module, LEVEL_INFO, "USB MOUNTED TO MODEM");
  return MODEM_ASYNC_RESP_GET_SD_CARD_CONTROL_SUCCESS;
}

int32_t decide_sd_control(int module) {
  if (formatOngoing || sdMonitorBusy || (first_boot(module) && formatButtonPressed())) {
    return MODEM_ASYNC_RESP_GET_SD_CARD_CONTROL_BUSY;
  }
  if (modemSyncInfo->usbInitDone == 0) {
    if (usb_gadget_init() == 0) {
      app_log(module, first_boot(module) ? LEVEL_DEBUG : LEVEL_INFO, "USB mount init done");
      SemLock lock(&sysInfoLock);
      modemSyncInfo->usbInitDone = 1;
    } else {
      app_log(module, LEVEL_ERR, "USB mount init failed");
    }
  }
  if (sysInfo->primaryLent) {
    app_log(module, LEVEL_INFO, "SD CARD WITH MODEM");
    return MODEM_ASYNC_RESP_GET_SD_CARD_CONTROL_SUCCESS;
  }
  if (first_boot(module)) {
    init_sd_card();
  } else {
    restore_file_counter();
  }
  const int status = check_sd_card();
  archive_logs_if_sd_ready();
  if (status == SD_NOT_INSERTED) {
    return MODEM_ASYNC_RESP_GET_SD_CARD_CONTROL_SD_NOT_INSERTED;
  }
  if (status >= 2 && status <= 4) {
    return MODEM_ASYNC_RESP_GET_SD_CARD_CONTROL_ERROR;
  }
  if (status == SD_MOUNTED && modemSyncInfo->usbInitDone == 1) {
    return lend_card(module);
  }
  app_log(module, LEVEL_INFO, "USB NOT MOUNTED");
  return MODEM_ASYNC_RESP_GET_SD_CARD_CONTROL_BUSY;
}

void handle_get_sd_control(int module, EventMessage event) {
  set(modemSyncInfo->sdControlBusy, 1);
  answer_modem(event, decide_sd_control(module));
  set(modemSyncInfo->sdControlBusy, 0);
}

void handle_return_sd_control(int module, EventMessage event) {
  app_log(module, LEVEL_INFO, "EVENT_MODEM_REQ_RET_SD_CONTROL");
  const bool lent = sysInfo->primaryLent;
  const bool taken_back = lent && take_back_sd_card() == 0;
  if (first_boot(module) && !taken_back) {
    return;
  }
  if (lent) {
    app_log(module, LEVEL_INFO, "USB UNMOUNTED FROM MODEM");
  }
  answer_modem(event, MODEM_ASYNC_RESP_RETURN_SD_CARD_CONTROL);
  set(sysInfo->sdCheckRequest, 1);
  archive_logs_if_sd_ready();
}

// --- captures during a sync -------------------------------------------------------------

// Why a capture asked for during a sync is refused, as logged; a refusal without a line is
// silent (a one-partition card, the configuration intake, no capture thread).
struct CaptureRefusal {
  int32_t kind;
  const char* ownCaptureRuns;  // the running capture is of this kind (test button)
  const char* captureRuns;
  const char* formatRuns;
};
constexpr CaptureRefusal kCaptureRefusals[] = {
    {EVENT_MCU_PIR, nullptr, "Rejected PIR Capture: Another Capture Ongoing",
     "Rejected PIR Capture: Format Ongoing"},
    {EVENT_MCU_TEST, "Rejected Test Button Capture due to ONGOING capture",
     "Rejected Test Capture: Another Capture Ongoing", "Rejected Test Capture: Format Ongoing"},
    {EVENT_MCU_TIMELAPSE, nullptr, nullptr, nullptr},
};

void log_refusal(const char* line) {
  if (line != nullptr) {
    app_log(MOD_SYNC, LEVEL_INFO, "%s", line);
  }
}

bool capture_possible(const CaptureRefusal& refusal) {
  if (get_sd_partition_count() != 2) {
    return false;  // a one-partition card is lent whole: refused without a word
  }
  if (sysInfo->captureOngoing) {
    const bool own = refusal.ownCaptureRuns != nullptr && sysInfo->captureType == 3;
    log_refusal(own ? refusal.ownCaptureRuns : refusal.captureRuns);
    return false;
  }
  if (formatOngoing) {
    log_refusal(refusal.formatRuns);
    return false;
  }
  return !(refusal.kind != EVENT_MCU_TEST && modemSyncInfo->configIntakeBusy) &&
         capture_thread_runs();
}

void handle_capture_notification(EventMessage event) {
  if (arm_capture_during_sync(event) && event.kind == EVENT_MCU_PIR) {
    trigger_warning_led(sysInfo->state == STATE_POWERDOWN ? 0 : 1);
  }
  acknowledge_capture_notification(event);
}

void handle_capture_end(EventMessage event) {
  const bool done = event.kind == EVENT_CAP_DONE;
  if (done) {
    if (!sysInfo->captureOngoing) {
      SemLock lock(&sysInfoLock);
      sysInfo->captureType = 0;
      sysInfo->testCaptureRequested = 0;
      app_log(MOD_SYNC, LEVEL_INFO, "EVENT_CAP_DONE");
    } else {
      app_log(MOD_SYNC, LEVEL_INFO, "PREV EVENT : CAP_DONE : ONGOING ANOTHER CAPTURE");
    }
  } else {
    app_log(MOD_SYNC, LEVEL_ERR, "EVENT_CAP_ERROR");
  }
  const int32_t query = sysInfo->instantQueryType;
  if (sysInfo->instantQueryBusy && (query == 0 || query == 1)) {
    {
      SemLock lock(&sysInfoLock);
      modemSyncInfo->queryProcessed = 1;
      modemSyncInfo->queryResult = done ? 1 : 0;
    }
    answer_modem(event, MODEM_ASYNC_RESP_SET_SERVER_INSTANT_QUERY);
  }
  drop_caches_if_low();
}

void handle_instant_query(EventMessage event) {
  const int32_t stage = sysInfo->instantStage;
  if (stage == 2 || stage == 3) {
    SemLock lock(&sysInfoLock);
    sysInfo->instantQueryBusy = 1;
    sysInfo->instantStage = 0;
    return;
  }
  app_log(MOD_SYNC, LEVEL_INFO, "Should not reach here ,as processed query will get overwritten");
  {
    SemLock lock(&sysInfoLock);
    modemSyncInfo->queryProcessed = 0;
    modemSyncInfo->queryResult = 0;
  }
  answer_modem(event, MODEM_ASYNC_RESP_SET_SERVER_INSTANT_QUERY);
}

// --- events both handlers share -------------------------------------------------------------

void forward_modem_clock(int module, EventMessage event) {
  app_log(module, LEVEL_INFO, "EVENT_MODEM_SET_RTC_DATE_TIME_REQ");
  if (first_boot(module)) {
    answer_modem(event, MODEM_ASYNC_RESP_SET_RTC_DATE_TIME);
  }
  // Sent as the MCU link's pending asynchronous request, repeated apart from lastMcuRequest.
  pendingAsyncMcuRequest = MCU_REQ_SET_RTC_DATE_TIME;
  app_log(module, LEVEL_INFO, "ISP to MCU - MCU_REQ_SET_RTC_DATE_TIME");
  EventMessage clock = event;
  clock.kind = MSG_MCU_REQ;
  clock.request = MCU_REQ_SET_RTC_DATE_TIME;
  send_event(mcuQueue, clock, kMcuQueueSendError);
}

// Returns true when the event is one both handlers treat alike.
bool handle_common(int module, EventMessage event) {
  switch (event.kind) {
    case MSG_MCU_RESP:
      handle_mcu_answer(module, event);
      return true;
    case MSG_MODEM_RESP:
      handle_modem_answer(module, event);
      return true;
    case EVENT_MODEM_SVR_SYNC_STATUS:
      handle_sync_status(module, event);
      return true;
    case EVENT_MODEM_SET_RTC_DATE_TIME_REQ:
      forward_modem_clock(module, event);
      return true;
    case EVENT_MODEM_REQ_GET_CAMERA_STATUS:
      answer_modem(event, MODEM_ASYNC_RESP_GET_CAMERA_STATUS);
      return true;
    case EVENT_MODEM_REQ_GET_SD_CONTROL:
      handle_get_sd_control(module, event);
      start_sync_timeout();  // the upload is under way
      return true;
    case EVENT_MODEM_REQ_RET_SD_CONTROL:
      handle_return_sd_control(module, event);
      start_sync_timeout();  // the upload's sync status is awaited
      return true;
    case EVENT_SYNC_TIMEOUT:
      // The timeout thread has asked the Modem to shut down; its answer is not waited for.
      wait_until_quiet();
      change_state(STATE_POWERDOWN);
      return true;
    default:
      return false;
  }
}

void enter_sync(EventMessage event) {
  log_state_change();
  const int32_t previous = sysInfo->prevState;
  if (previous < STATE_CAPTUREDETECTION || previous > STATE_INSTANTREQUEST) {
    init_sd_card();
    check_sd_card();
    check_and_repair_sd(CheckPause::kOneSecond);
    request_mcu(MOD_SYNC, event, MCU_REQ_DAY_NIGHT);
    return;
  }
  // The capture or instant state already powered the Modem.
  run_shell("sync");
  if (modemSyncInfo->ignoreQueryFlow) {
    app_log(MOD_SYNC, LEVEL_INFO, "Modem in instant mode - ignore query flow");
    start_sync_timeout();  // the sync status the exchange waits for
    return;
  }
  app_log(MOD_SYNC, LEVEL_INFO, "ISP to Modem - MODEM_REQ_SET_SERVER_SYNC_TYPE %d",
          sysInfo->syncType.load());
  send_modem_request(event, MODEM_REQ_SET_SERVER_SYNC_TYPE, kModemSendError);
  start_sync_timeout();
}

void enter_first_boot(EventMessage event) {
  log_state_change();
  set(modemSyncInfo->sdPreparing, 1);
  init_sd_card();
  check_sd_card();
  merge_reboot_logs();
  if (check_sd_card() == SD_MOUNTED && sysInfo->state == STATE_FIRSTBOOT) {
    SemLock lock(&configLock);
    move_secondary_to_primary();
  }
  check_and_repair_sd(CheckPause::kOneSecond);
  if (!formatOngoing) {
    check_sd_card();
  }
  set(modemSyncInfo->sdPreparing, 0);
  EventMessage done{};
  send_mcu_request(done, MCU_REQ_WDM_DONE, "\r\n Error : mq_send (mcu q): MCU_REQ_WDM_DONE");
  request_mcu(MOD_FIRSTBOOT, event, MCU_REQ_GET_ADC_MONITORING_VALUES);
}

// --- SD format at the Modem's request (first boot) -------------------------------------------

int32_t format_card() {
  set(modemSyncInfo->formatRunning, 1);
  app_log(MOD_FIRSTBOOT, LEVEL_INFO, "Format Ongoing");
  app_log(MOD_FIRSTBOOT, LEVEL_INFO, "Setting SD LED green : BLINK");
  show_sd_formatting();
  int32_t answer = MODEM_ASYNC_RESP_UNKNOWN;
  bool formatted = false;
  for (int attempt = 1; attempt <= kFormatTries && !formatted; ++attempt) {
    if (format_sd_card() == 0) {
      run_shell("sync");
      sleep(1);
      app_log(MOD_FIRSTBOOT, LEVEL_INFO, "SD Format Success");
      app_log(MOD_FIRSTBOOT, LEVEL_INFO, "Setting SD LED green : ON");
      show_sd_good();
      formatted = true;
    } else {
      app_log(MOD_FIRSTBOOT, LEVEL_INFO,
              "MODEM_ASYNC_RESP_FORMATTING_AT_TRIES in sd format TRIES: %d", attempt);
      answer = MODEM_ASYNC_RESP_FORMATTING_AT_TRIES;
    }
  }
  if (formatted) {
    app_log(MOD_FIRSTBOOT, LEVEL_INFO, " SD Card Formatted Successfully");
  } else {
    app_log(MOD_FIRSTBOOT, LEVEL_INFO, "MODEM_ASYNC_RESP_FORMATTING_FAIL");
    answer = MODEM_ASYNC_RESP_FORMATTING_FAIL;
    app_log(MOD_FIRSTBOOT, LEVEL_INFO, "SD Format Failed");
    app_log(MOD_FIRSTBOOT, LEVEL_INFO, "Setting SD LED red : BLINK");
    show_sd_fault();
    set_status_led(STATUS_LED_RED, STATUS_LED_ON);
  }
  set(modemSyncInfo->formatRunning, 0);
  return answer;
}

// The answer to the Modem's format request. Combinations the Modem is not known to send get
// MODEM_ASYNC_RESP_UNKNOWN, so that the Modem always hears back.
int32_t decide_format(int partitions) {
  const bool validation = cameraConfig->validation_active;
  const bool format = cameraConfig->sdformat_active;
  const int32_t request = modemSyncInfo->formatRequest;
  if (!validation && !format && request == 0) {
    const bool busy =
        formatOngoing || formatButtonPressed() || sysInfo->primaryLent || sdMonitorBusy;
    if (!busy) {
      init_sd_card();
      if (check_sd_card() == SD_MOUNTED && partitions == 2) {
        app_log(MOD_FIRSTBOOT, LEVEL_INFO, "MODEM_ASYNC_RESP_ALREADY_FORMATTED");
        return MODEM_ASYNC_RESP_GET_ALREADY_FORMATTED;
      }
    }
    return MODEM_ASYNC_RESP_UNKNOWN;
  }
  if (!validation && request == 1) {
    app_log(MOD_FIRSTBOOT, LEVEL_INFO, "MODEM_ASYNC_RESP_BYPASS_VALIDATION");
    return MODEM_ASYNC_RESP_BYPASS_VALIDATION;
  }
  if ((!validation && request == 2) || (validation && (!format || request == 2))) {
    app_log(MOD_FIRSTBOOT, LEVEL_INFO, "MODEM_ASYNC_RESP_BYPASS_FORMATTING");
    return MODEM_ASYNC_RESP_BYPASS_FORMATTING;
  }
  if (validation && format && request == 4) {
    if (partitions == 2) {
      app_log(MOD_FIRSTBOOT, LEVEL_INFO,
              "No need of formatting the sd card , since its already have dual partition");
      return MODEM_ASYNC_RESP_UNKNOWN;
    }
    return format_card();
  }
  return MODEM_ASYNC_RESP_UNKNOWN;
}

void handle_format_request(EventMessage event) {
  cancel_timeout();  // a format takes minutes of the camera's own work
  answer_modem(event, decide_format(get_sd_partition_count()));
  start_sync_timeout();
}

}  // namespace

// The sync time-out bounds every wait of the exchange for the Modem, not only its search for a
// signal: no wake-up may stay awake without bound, and a Modem that is silent, or keeps sending
// what cannot be decoded, would otherwise keep the camera (and itself) powered until the
// battery is empty. So the count (300 s) starts when the Modem reports that it searches and
// whenever the exchange begins to wait for it (a request it must answer or act on, an upload
// under way); the Modem's progress cancels or restarts it. When it runs out, the timeout thread
// asks the Modem to shut down and the state goes to power-down at once, whether the Modem
// answers or not: at the latest 300 s after the Modem last moved, the sync ends.
void start_sync_timeout() {
  SemLock lock(&sysInfoLock);
  modemSyncInfo->timeoutCancel = 1;
  modemSyncInfo->timeoutStart = 1;
  timeoutRemaining = kSyncTimeoutSeconds;
}

bool arm_capture_during_sync(const EventMessage& event) {
  const CaptureRefusal* refusal = nullptr;
  for (const CaptureRefusal& row : kCaptureRefusals) {
    refusal = row.kind == event.kind ? &row : refusal;
  }
  if (refusal == nullptr) {
    return false;
  }
  if (event.kind == EVENT_MCU_TEST) {
    SemLock lock(&sysInfoLock);
    sysInfo->testCaptureRequested = 1;
    sysInfo->testMode = 1;
  }
  if (!capture_possible(*refusal)) {
    if (event.kind == EVENT_MCU_PIR) {
      set(sysInfo->pirAccepted, 0);
    }
    return false;
  }
  SemLock lock(&sysInfoLock);
  sysInfo->captureType = event.kind == EVENT_MCU_PIR         ? 1
                         : event.kind == EVENT_MCU_TIMELAPSE ? 2
                                                             : 3;
  sysInfo->storagePartition = 1;
  captureFlags.captureStart = 1;
  sysInfo->moveFilesPending = 1;
  sysInfo->captureOngoing = 1;
  return true;
}

int compute_ready_status() {
  if (!formatOngoing) {
    init_sd_card();
  }
  const bool signal_known = modemSyncInfo->signalKnown;
  const bool battery_known = modemSyncInfo->batteryLevelKnown;
  const int32_t index = cameraConfig->fuelGaugeIndex;
  const int32_t count = cameraConfig->fuelGauge_count;
  const bool low_battery =
      battery_known && index >= 0 && index < count &&
      index < static_cast<int32_t>(kMaxFuelGaugeEntries) &&
      cameraConfig->fuelGauge[index].batteryPercent < static_cast<uint32_t>(kLowBatteryPercent);
  int32_t status = 2;
  if ((signal_known && cameraConfig->signalStrength == 0) || low_battery) {
    status = 0;
  } else if (!formatOngoing) {
    const int card = check_sd_card();
    if (card == SD_NOT_INSERTED || card == SD_FAULT) {
      status = 0;
    } else if (signal_known && battery_known) {
      status = 1;
    }
  }
  readyStatus = status;
  return status;
}

int take_back_sd_card() {
  if (!sysInfo->primaryLent) {
    return 0;
  }
  const int mounted = take_primary_from_modem();
  if (mounted == 0) {
    set(sysInfo->primaryLent, 0);
  }
  return mounted;
}

void handle_sync(EventMessage event) {
  if (event.kind == EVENT_STATE_ENTRY) {
    enter_sync(event);
    return;
  }
  if (handle_common(MOD_SYNC, event)) {
    return;
  }
  switch (event.kind) {
    case EVENT_MCU_PIR:
    case EVENT_MCU_TEST:
    case EVENT_MCU_TIMELAPSE:
      return handle_capture_notification(event);
    case EVENT_CAP_DONE:
    case EVENT_CAP_ERROR:
      return handle_capture_end(event);
    case EVENT_MODEM_SET_SERVER_INSTANT_QUERY_REQ:
      return handle_instant_query(event);
    default:
      return;
  }
}

void handle_firstboot(EventMessage event) {
  if (event.kind == EVENT_STATE_ENTRY) {
    enter_first_boot(event);
    return;
  }
  if (handle_common(MOD_FIRSTBOOT, event)) {
    return;
  }
  if (event.kind == EVENT_MODEM_REQ_SD_FORMAT) {
    handle_format_request(event);
  }
}
