// STATE_SYNC / STATE_SYNCDAILY and STATE_FIRSTBOOT: the exchange with the server through the
// Modem. Each answer triggers the next request: power the Modem, tell it the kind of sync, fetch
// the password, follow the sync status, lend the card when the Modem asks, fetch the server's
// configuration, pass it on to the MCU and tell the Modem to shut down.
#include "app/system/states/sync_states.h"

#include "app/links/mcu/mcu_link_manager.h"
#include "app/links/modem/modem_sync_info.h"
#include "app/records/log/app_log.h"
#include "app/records/reboot_log.h"
#include "app/storage/sd_card.h"
#include "app/system/boot_checks.h"
#include "app/system/core/event_queue.h"
#include "app/system/core/shell.h"
#include "app/system/core/sys_info.h"
#include "app/system/os/os.h"
#include "app/system/state_machine.h"
#include "app/system/states/state_handlers.h"
#include "app/system/states/sync_parts.h"

namespace sync_parts {

void set(Flag& flag, int8_t value) {
  SemLock lock(&sysInfoLock);
  flag = value;
}

namespace {

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

}  // namespace

void request_modem(int module, EventMessage event, int32_t request) {
  app_log(module, LEVEL_INFO, "ISP to Modem - %s", event_code_name(request));
  send_modem_request(event, request, kModemSendError);
  if (waits_for_the_modem(request)) {
    start_sync_timeout();
  }
}

void answer_modem(EventMessage event, int32_t kind) {
  event.kind = kind;
  send_event(modemQueue, event, kModemQueueSendError);
}

void wait_until_quiet() {
  while (sysInfo->sdCheckRequest || sysInfo->captureOngoing || formatOngoing) {
    os_sleep_us(kPollUs);
  }
}

void cancel_timeout() {
  set(modemSyncInfo->timeoutCancel, 1);
}

}  // namespace sync_parts

using namespace sync_parts;

namespace {

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
}  // namespace

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
