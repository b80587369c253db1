// The exchange of the sync and first-boot states with the MCU and the Modem: each answer
// triggers the next request (the battery, the Modem's power, the kind of sync, the sync status,
// the server's configuration passed on to the MCU, the Modem's shutdown).

#include "app/config/camera_config.h"
#include "app/indicators/indicators.h"
#include "app/indicators/leds/led_requests.h"
#include "app/links/mcu/mcu_link_manager.h"
#include "app/links/modem/modem_sync_info.h"
#include "app/records/log/app_log.h"
#include "app/storage/media_move.h"
#include "app/storage/sd_card.h"
#include "app/system/core/event_queue.h"
#include "app/system/core/status_led.h"
#include "app/system/core/sys_info.h"
#include "app/system/os/os.h"
#include "app/system/state_machine.h"
#include "app/system/states/capture_states.h"
#include "app/system/states/instant_request.h"
#include "app/system/states/sync_parts.h"
#include "app/system/states/sync_states.h"

using namespace sync_parts;

namespace {

constexpr int32_t kLowBatteryPercent = 15;
constexpr uint32_t kSyncErrorBlinkPeriodMs = 2000;
constexpr int32_t kModelWithoutTestLed = 6;

enum SyncStatus : int32_t {
  SEARCHINGSIGNAL = 0,
  INPROGRESS = 1,
  SUCCESSFUL = 2,
  ERROR = 3,
  UNKNOWN = 4,
};

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
  prepare_capture_for_light();
  if (sysInfo->captureAtSync && !sysInfo->captureOngoing) {
    SemLock lock(&sysInfoLock);
    sysInfo->pirMode = cameraConfig->capture_mode == 1 ? 1 : 0;
    hand_capture_to_thread(4, kPrimaryPartition);
  }
  app_log(module, LEVEL_INFO, "MCU to ISP - MCU_RESP_DAY_NIGHT");
  request_mcu(module, event, MCU_REQ_GET_ADC_MONITORING_VALUES);
}

// --- sync status --------------------------------------------------------------------------------

void move_files_then_upload(int module, EventMessage event) {
  while (sysInfo->captureOngoing) {
    os_sleep_us(kPollUs);
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
}  // namespace

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

namespace sync_parts {

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
}  // namespace sync_parts
