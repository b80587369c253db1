// STATE_INSTANTREQUEST: the MCU woke the camera because the server has a query. The handler
// reads the light and the battery, carries the query out itself and then hands over to a
// sync, or ends the run when the Modem's next action is SHUTDOWN.

#include "app/config/camera_config.h"
#include "app/indicators/indicators.h"
#include "app/indicators/leds/led_requests.h"
#include "app/links/modem/modem_sync_info.h"
#include "app/records/log/app_log.h"
#include "app/storage/sd_card.h"
#include "app/system/boot_checks.h"
#include "app/system/core/event_queue.h"
#include "app/system/core/shell.h"
#include "app/system/core/sys_info.h"
#include "app/system/os/os.h"
#include "app/system/state_machine.h"
#include "app/system/states/capture_states.h"
#include "app/system/states/instant_request.h"
#include "app/system/states/state_handlers.h"
#include "app/system/states/sync_states.h"

namespace {

constexpr uint32_t kPollUs = 1000;
constexpr char kMcuSendError[] = "\r\n Instant_req: Error : mq_send (mcu q): ";
constexpr char kAnswerError[] = "\r\n Instant_req Error : mq_send (modem q): ";

void set(Flag& flag, int8_t value) {
  SemLock lock(&sysInfoLock);
  flag = value;
}

void ask_mcu(EventMessage event, int32_t request, bool logged = true) {
  if (logged) {
    app_log(MOD_INST_REQ, LEVEL_INFO, "Instant_req: ISP to MCU - %s", event_code_name(request));
  }
  send_mcu_request(event, request, kMcuSendError);
}

void go_to_sync(bool ignore_flow) {
  {
    SemLock lock(&sysInfoLock);
    sysInfo->syncType = 1;
    if (ignore_flow) {
      sysInfo->instantStage = INSTANT_DONE;
      modemSyncInfo->ignoreQueryFlow = 1;
    }
  }
  change_state(STATE_SYNC);
}

void handle_day_night(EventMessage event) {
  prepare_capture_for_light();
  app_log(MOD_INST_REQ, LEVEL_INFO, "Instant_req: MCU_RESP_DAY_NIGHT");
  ask_mcu(event, MCU_REQ_GET_ADC_MONITORING_VALUES);
}

void handle_fuel_gauge(EventMessage event) {
  if (!sysInfo->fuelGaugeValid) {
    ask_mcu(event, MCU_REQ_GET_FUEL_GAUGE_VALUES);
    return;
  }
  if (sysInfo->testMode) {
    show_battery_leds();
  }
  note_battery_level_known();
  static std::atomic<bool> install_date_asked{false};
  if (!install_date_asked.exchange(true)) {
    ask_mcu(event, MCU_REQ_GET_RTC_INSTALL_DATE_TIME, false);
  }
}

// The configuration chain after a factory-reset or pause query, one answer at a time.
void handle_mcu_answer(EventMessage event) {
  const int32_t response = event.response;
  switch (response) {
    case MCU_RESP_DAY_NIGHT:
      return handle_day_night(event);
    case MCU_RESP_GET_ADC_MONITORING_VALUES:
      app_log(MOD_INST_REQ, LEVEL_INFO, "Instant_req: MCU_RESP_GET_ADC_MONITORING_VALUES");
      return ask_mcu(event, MCU_REQ_GET_FUEL_GAUGE_VALUES);
    case MCU_RESP_GET_FUEL_GAUGE_VALUES:
      return handle_fuel_gauge(event);
    case MCU_RESP_GET_RTC_INSTALL_DATE_TIME:
      app_log(MOD_INST_REQ, LEVEL_INFO, "Instant_req: MCU_RESP_GET_RTC_INSTALL_DATE_TIME");
      return;
    case MCU_RESP_SET_PIR_CONFIG:
    case MCU_RESP_SET_CAMERA_CONFIG:
    case MCU_RESP_SET_BATTERY_PROTECTION:
    case MCU_RESP_SET_CAMERA_DETECTION_SCHEDULE:
      break;
    case MCU_RESP_SET_CAMERA_INSTANT_SCHEDULE:
      app_log(MOD_INST_REQ, LEVEL_INFO, "Instant_req: MCU_RESP_SET_CAMERA_INSTANT_SCHEDULE");
      set(modemSyncInfo->configIntakeBusy, 0);
      answer_instant_query(true, true, kAnswerError);
      return go_to_sync(false);
    default:
      return;
  }
  app_log(MOD_INST_REQ, LEVEL_INFO, "Instant_req: %s", event_code_name(response));
  const int32_t next = response == MCU_RESP_SET_PIR_CONFIG      ? MCU_REQ_SET_CAMERA_CONFIG
                       : response == MCU_RESP_SET_CAMERA_CONFIG ? MCU_REQ_SET_BATTERY_PROTECTION
                       : response == MCU_RESP_SET_BATTERY_PROTECTION
                           ? MCU_REQ_SET_CAMERA_DETECTION_SCHEDULE
                           : MCU_REQ_SET_CAMERA_INSTANT_SCHEDULE;
  ask_mcu(event, next);
}

void handle_modem_answer(EventMessage event) {
  if (event.response == MODEM_RESP_GET_CAMERA_CONFIGURATION) {
    app_log(MOD_INST_REQ, LEVEL_INFO,
            "Instant_req: Modem to ISP - MODEM_RESP_GET_CAMERA_CONFIGURATION");
    ask_mcu(event, MCU_REQ_SET_PIR_CONFIG);
  } else if (event.response == MODEM_RESP_SET_SERVER_NEXT_ACTION) {
    app_log(MOD_INST_REQ, LEVEL_INFO, "Instant_req: MODEM_RESP_SET_SERVER_NEXT_ACTION ");
    if (sysInfo->shutdownRequested) {
      while (sysInfo->sdCheckRequest || sysInfo->captureOngoing || formatOngoing) {
        os_sleep_us(kPollUs);
      }
      change_state(STATE_POWERDOWN);
    }
  }
}

void handle_query(EventMessage event) {
  const int32_t type = sysInfo->instantQueryType;
  app_log(MOD_INST_REQ, LEVEL_INFO,
          "Instant_req: EVENT_MODEM_SET_SERVER_INSTANT_QUERY_REQ query : %d", type);
  const QueryOutcome outcome = run_instant_query(type, QueryRunner::kHandler, event);
  if (outcome != QueryOutcome::kAnswered) {
    return;
  }
  if (type == QUERY_FORMAT || type == QUERY_SYNC) {
    go_to_sync(false);
  } else if (type == QUERY_IGNORE) {
    go_to_sync(true);
  }
}

void handle_capture_end(EventMessage event) {
  const int32_t type = sysInfo->instantQueryType;
  const bool capture_query =
      sysInfo->instantQueryBusy && (type == QUERY_CAPTURE || type == QUERY_CAPTURE_PIR);
  if (event.kind == EVENT_CAP_ERROR) {
    app_log(MOD_INST_REQ, LEVEL_ERR, "EVENT_CAP_ERROR");
    if (capture_query) {
      answer_instant_query(true, false, kAnswerError);
    }
    drop_caches_if_low();
    return;
  }
  app_log(MOD_INST_REQ, LEVEL_INFO, "EVENT_CAP_DONE");
  if (!sysInfo->captureOngoing) {
    SemLock lock(&sysInfoLock);
    sysInfo->captureType = 0;
    sysInfo->testCaptureRequested = 0;
  } else {
    app_log(MOD_INST_REQ, LEVEL_INFO, "PREV EVENT : CAP_DONE : ONGOING ANOTHER CAPTURE");
  }
  if (capture_query) {
    if (!cameraConfig->cellular) {
      answer_instant_query(true, true, kAnswerError);
    } else {
      check_and_repair_sd();
      answer_instant_query(true, true, kAnswerError);
      go_to_sync(false);
    }
  }
  drop_caches_if_low();
}

// PIR, test button and time-lapse while the query runs: captured onto the secondary partition,
// as during a sync.
void handle_capture_notification(EventMessage event) {
  const char* line = event.kind == EVENT_MCU_PIR    ? "Instant_req: EVENT_MCU_PIR"
                     : event.kind == EVENT_MCU_TEST ? "Instant_req: EVENT_MCU_TEST"
                                                    : "Instant_req: EVENT_MCU_TIMELAPSE";
  app_log(MOD_INST_REQ, LEVEL_INFO, "%s", line);
  const bool armed = arm_capture_during_sync(event);
  if (armed && event.kind == EVENT_MCU_TIMELAPSE) {
    app_log(MOD_INST_REQ, LEVEL_INFO, "Instant_req: EVENT_MCU_TEST :Starting capture ");
  }
  if (armed && event.kind == EVENT_MCU_PIR) {
    trigger_warning_led(1);
  }
  acknowledge_capture_notification(event);
}

}  // namespace

void handle_instant_request(EventMessage event) {
  switch (event.kind) {
    case EVENT_STATE_ENTRY:
      log_state_change();
      set(sysInfo->modemPowered, 1);
      app_log(MOD_INST_REQ, LEVEL_INFO, "Instant_req: ISP to MCU - MCU_REQ_DAY_NIGHT");
      send_mcu_request(event, MCU_REQ_DAY_NIGHT, kMcuSendError);
      start_sync_timeout();  // the Modem's query is awaited, as a sync's answers are
      return;
    case MSG_MCU_RESP:
      return handle_mcu_answer(event);
    case MSG_MODEM_RESP:
      return handle_modem_answer(event);
    case EVENT_MODEM_SET_SERVER_INSTANT_QUERY_REQ: {
      SemLock lock(&sysInfoLock);
      modemSyncInfo->timeoutCancel = 1;
    }
      return handle_query(event);
    case EVENT_SYNC_TIMEOUT:
      while (sysInfo->sdCheckRequest || sysInfo->captureOngoing || formatOngoing) {
        os_sleep_us(kPollUs);
      }
      change_state(STATE_POWERDOWN);
      return;
    case EVENT_CAP_DONE:
    case EVENT_CAP_ERROR:
      return handle_capture_end(event);
    case EVENT_MCU_PIR:
    case EVENT_MCU_TEST:
    case EVENT_MCU_TIMELAPSE:
      return handle_capture_notification(event);
    case EVENT_MODEM_REQ_GET_CAMERA_STATUS:
      app_log(MOD_INST_REQ, LEVEL_INFO, "Instant_req: EVENT_MODEM_REQ_GET_CAMERA_STATUS");
      event.kind = MODEM_ASYNC_RESP_GET_CAMERA_STATUS;
      send_event(modemQueue, event, "\r\n Instant_req: Error : mq_send (modem q): ");
      return;
    default:
      return;
  }
}
