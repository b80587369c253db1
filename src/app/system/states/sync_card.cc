// The card during a sync: lent to the Modem when it asks for it and taken back when it returns
// it, and formatted at the Modem's request at first boot.

#include "app/config/camera_config.h"
#include "app/indicators/indicators.h"
#include "app/indicators/leds/led_requests.h"
#include "app/links/modem/modem_sync_info.h"
#include "app/postprocess/naming/media_names.h"
#include "app/records/archive/log_archive.h"
#include "app/records/log/app_log.h"
#include "app/storage/sd_card.h"
#include "app/storage/sd_format.h"
#include "app/storage/sd_monitor.h"
#include "app/storage/usb_handover.h"
#include "app/system/core/shell.h"
#include "app/system/core/status_led.h"
#include "app/system/core/sys_info.h"
#include "app/system/os/os.h"
#include "app/system/states/sync_parts.h"
#include "app/system/states/sync_states.h"

using namespace sync_parts;

namespace {

constexpr int kFormatTries = 3;

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
      os_sleep_ms(1000);
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

}  // namespace

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
namespace sync_parts {

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
void handle_format_request(EventMessage event) {
  cancel_timeout();  // a format takes minutes of the camera's own work
  answer_modem(event, decide_format(get_sd_partition_count()));
  start_sync_timeout();
}

}  // namespace sync_parts
