// Message handler of the Modem link: the Modem's requests are answered at once or become events
// for the system server; its answers become MSG_MODEM_RESP records.
#include <cstring>

#include "app/config/camera_config.h"
#include "app/config/config_intake.h"
#include "app/config/config_store.h"
#include "app/links/modem/modem_link_manager.h"
#include "app/links/modem/modem_sync_info.h"
#include "app/records/log/app_log.h"
#include "app/records/reboot_log.h"
#include "app/system/core/event_queue.h"
#include "app/system/core/shell.h"
#include "app/system/core/sys_info.h"

namespace {

constexpr char kSysQueueError[] = "\r\n Error : mq_send (sys q): ";
constexpr uint32_t kModelLimit = 10;
constexpr int32_t kSignalStrengthMax = 5;

void answer(int32_t kind) {
  EventMessage record{};
  record.kind = kind;
  modem_send_request(record, nullptr);
}

void notify_server(int32_t kind) {
  EventMessage event{};
  event.kind = kind;
  send_event(sysQueue, event, kSysQueueError);
}

bool first_boot() {
  return sysInfo->state == STATE_FIRSTBOOT;
}

void handle_sync_status(const ServerSyncStatusRequest& status) {
  {
    SemLock lock(&sysInfoLock);
    sysInfo->serverSyncStatus = static_cast<int32_t>(status.syncStatus);
  }
  app_log(MOD_MODEM_UART, LEVEL_INFO, "kvt_Modem2ISP_send_server_sync_status_request_tag : %d",
          static_cast<int>(status.syncStatus));
  if (sysInfo->fsckOngoing) {
    answer(MODEM_ASYNC_RESP_SET_SERVER_SYNC_STATUS);
    return;
  }
  if (status.syncStatus == 1) {
    // The value of an INPROGRESS report is the signal strength, 0 to 5 bars.
    SemLock system(&sysInfoLock);
    SemLock config(&configLock);
    cameraConfig->syncStatusValue = static_cast<int32_t>(status.value);
    cameraConfig->signalStrength = static_cast<int32_t>(
        status.value > static_cast<uint32_t>(kSignalStrengthMax) ? kSignalStrengthMax
                                                                 : status.value);
  }
  if (!first_boot()) {
    answer(MODEM_ASYNC_RESP_SET_SERVER_SYNC_STATUS);
  }
  notify_server(EVENT_MODEM_SVR_SYNC_STATUS);
}

void handle_get_sd_control() {
  if (sysInfo->fsckOngoing || modemSyncInfo->sdPreparing) {
    answer(MODEM_ASYNC_RESP_GET_SD_CARD_CONTROL_BUSY);
  } else if (!sysInfo->primaryLent) {
    notify_server(EVENT_MODEM_REQ_GET_SD_CONTROL);
  } else if (!modemSyncInfo->sdControlBusy) {
    answer(MODEM_ASYNC_RESP_GET_SD_CARD_CONTROL_SUCCESS);
  }
}

void handle_return_sd_control() {
  if (sysInfo->fsckOngoing) {
    answer(MODEM_ASYNC_RESP_RETURN_SD_CARD_CONTROL);
  } else if (sysInfo->primaryLent) {
    notify_server(EVENT_MODEM_REQ_RET_SD_CONTROL);
  } else if (!modemSyncInfo->sdControlBusy) {
    {
      SemLock lock(&sysInfoLock);
      sysInfo->sdReturned = 1;
    }
    answer(MODEM_ASYNC_RESP_RETURN_SD_CARD_CONTROL);
  }
}

void handle_format_request(const SdCardFormatRequest& request) {
  {
    SemLock system(&sysInfoLock);
    modemSyncInfo->formatRequest = static_cast<int32_t>(request.formatRequest);
    SemLock config(&configLock);
    cameraConfig->validation_active = request.validation_active ? 1 : 0;
    cameraConfig->sdformat_active = request.sdformat_active ? 1 : 0;
  }
  if (first_boot()) {
    app_log(MOD_MODEM_UART, LEVEL_INFO, "Format process happening in Firstboot");
    notify_server(EVENT_MODEM_REQ_SD_FORMAT);
  }
  app_log(MOD_MODEM_UART, LEVEL_INFO, "validation_active : %d , sdformat_active : %d",
          request.validation_active ? 1 : 0, request.sdformat_active ? 1 : 0);
}

void handle_clock(const RtcDateTime& clock) {
  if (sysInfo->fsckOngoing) {
    answer(MODEM_ASYNC_RESP_SET_RTC_DATE_TIME);
    return;
  }
  app_log(MOD_MODEM_UART, LEVEL_INFO, "modem_date_time.isValid = %s",
          clock.isValid ? "TRUE" : "FALSE");
  if (clock.isValid) {
    {
      SemLock lock(&configLock);
      cameraConfig->modemEpoch = clock.epoch;
      if (!sysInfo->captureOngoing) {
        cameraConfig->currentEpoch = clock.epoch;
      }
    }
    if (!sysInfo->captureOngoing && first_boot()) {
      run_shellf("TZ='UTC' date -s @%ld", static_cast<long>(clock.epoch));
    }
    app_log(MOD_MODEM_UART, LEVEL_INFO, "EPOCH : %u", static_cast<unsigned>(clock.epoch));
  }
  {
    // A clock from the server is followed by a configuration fetch.
    SemLock lock(&sysInfoLock);
    modemSyncInfo->modemClockReceived = 1;
    modemSyncInfo->configPending = 1;
  }
  if (!first_boot()) {
    answer(MODEM_ASYNC_RESP_SET_RTC_DATE_TIME);
  }
  notify_server(EVENT_MODEM_SET_RTC_DATE_TIME_REQ);
}

void handle_instant_query(const InstantQueryRequest& query) {
  const int32_t type = static_cast<int32_t>(query.queryType);
  {
    SemLock lock(&sysInfoLock);
    modemSyncInfo->instantQueryReceived = type;
  }
  const int32_t state = sysInfo->state;
  if ((state == STATE_INSTANTREQUEST || state == STATE_SYNC) && !sysInfo->instantQueryBusy) {
    {
      SemLock lock(&sysInfoLock);
      sysInfo->instantQueryBusy = 1;
      sysInfo->instantQueryType = type;
    }
    notify_server(EVENT_MODEM_SET_SERVER_INSTANT_QUERY_REQ);
    return;
  }
  answer(MODEM_ASYNC_RESP_SET_SERVER_INSTANT_QUERY_NOT_PROCESSED);
}

void handle_modem_reboot(const ModemRebootDoneRequest& reboot) {
  if (reboot.rebooted) {
    {
      SemLock lock(&sysInfoLock);
      sysInfo->wdmReboot = 1;
    }
    const int reason = modem_reboot_reason(reboot.reason);
    write_reboot_log(REBOOT_SOURCE_MODEM, reason, static_cast<time_t>(reboot.epoch));
    app_log(MOD_MODEM_UART, LEVEL_INFO, "Modem reboot triggered at %d due to %s",
            static_cast<int>(reboot.epoch), reboot_reason_text(reason));
    app_log(MOD_MODEM_UART, LEVEL_INFO,
            "kvt_Modem2ISP_modem_reboot_done_request_tag: Value of wdm reboot = %d",
            sysInfo->wdmReboot.load());
  }
  answer(MODEM_ASYNC_RESP_MOD_REBOOT_DONE);
}

// The password is kept in the configuration file, one key per line: a line break inside it
// would split the line and spoil the file, so such a password is refused and the old one kept.
void handle_password(const CryptoPasswordResponse& response) {
  const char* password = response.password;
  const std::size_t length = strnlen(password, sizeof response.password);
  if (memchr(password, '\n', length) != nullptr || memchr(password, '\r', length) != nullptr) {
    app_log(MOD_MODEM_UART, LEVEL_ERR, "Crypto password holds a line break, not kept");
    return;
  }
  int saved;
  {
    SemLock lock(&configLock);
    static_assert(sizeof cameraConfig->encrypt_password >= sizeof response.password);
    memset(cameraConfig->encrypt_password, 0, sizeof cameraConfig->encrypt_password);
    memset(serverConfig->encrypt_password, 0, sizeof serverConfig->encrypt_password);
    memcpy(cameraConfig->encrypt_password, password, length);
    memcpy(serverConfig->encrypt_password, password, length);
    saved = config_save(cameraConfig, serverConfig, CONFIG_FROM_SERVER);
  }
  if (saved != 0) {
    app_log(MOD_MODEM_UART, LEVEL_ERR, "Config: Failed to create config files with new value");
  }
  app_log(MOD_MODEM_UART, LEVEL_INFO, "%s",
          length > 0 ? "ENCRYPTION" : "Password is empty, skipping encryption");
}

void handle_device_model(const DeviceModelResponse& model) {
  int saved;
  int32_t kept;
  {
    SemLock lock(&configLock);
    kept = model.model < kModelLimit ? static_cast<int32_t>(model.model) : 0;
    cameraConfig->orve_model = kept;
    saved = config_save(cameraConfig, serverConfig, CONFIG_FROM_CAMERA);
  }
  if (saved != 0) {
    app_log(MOD_MODEM_UART, LEVEL_ERR, "Failed to write orve_model to config");
  }
  app_log(MOD_MODEM_UART, LEVEL_INFO, "orve model : %d", kept);
}

// Members that end a request of the camera: their response code goes to the system server.
// Returns false for a member the camera did not ask for.
bool handle_answer(const kvt_Modem2ISP& message, EventMessage& record) {
  switch (message.which_msg) {
    case kvt_Modem2ISP_set_server_sync_type_response_tag:
      record.response = MODEM_RESP_SET_SERVER_SYNC_TYPE;
      return true;
    case kvt_Modem2ISP_set_server_next_action_response_tag:
      record.response = MODEM_RESP_SET_SERVER_NEXT_ACTION;
      return true;
    case kvt_Modem2ISP_get_crypto_password_response_tag:
      handle_password(message.msg.get_crypto_password_response);
      record.response = MODEM_RESP_GET_CRYPTO_PASSWORD;
      return true;
    case kvt_Modem2ISP_get_device_model_response_tag:
      handle_device_model(message.msg.get_device_model_response);
      record.response = MODEM_RESP_GET_DEVICE_MODEL;
      return true;
    case kvt_Modem2ISP_get_camera_configuration_response_tag:
      apply_server_config(message.msg.get_camera_configuration_response);
      record.response = MODEM_RESP_GET_CAMERA_CONFIGURATION;
      return true;
    default:
      // The record of an unknown member carries no response code; the states ignore it.
      app_log(MOD_MODEM_UART, LEVEL_ERR, "Received unknown message from modem. TAG: %d",
              static_cast<int>(message.which_msg));
      return true;
  }
}

}  // namespace

void modem_handle_message(const kvt_Modem2ISP& message, timeval* waitTime) {
  app_log(MOD_MODEM_UART, LEVEL_INFO, "%s", modem2isp_tag_name(message.which_msg));
  switch (message.which_msg) {
    case kvt_Modem2ISP_send_server_sync_status_request_tag:
      return handle_sync_status(message.msg.send_server_sync_status_request);
    case kvt_Modem2ISP_get_camera_sd_card_control_request_tag:
      return handle_get_sd_control();
    case kvt_Modem2ISP_return_camera_sd_card_control_request_tag:
      return handle_return_sd_control();
    case kvt_Modem2ISP_get_camera_sd_card_format_request_tag:
      return handle_format_request(message.msg.get_camera_sd_card_format_request);
    case kvt_Modem2ISP_get_camera_status_request_tag:
      return answer(MODEM_ASYNC_RESP_GET_CAMERA_STATUS);
    case kvt_Modem2ISP_get_device_version_request_tag:
      return answer(MODEM_ASYNC_RESP_GET_CAMERA_VERSION);
    case kvt_Modem2ISP_get_fuel_gauge_values_request_tag:
      return answer(MODEM_ASYNC_RESP_GET_FUEL_GUAGE_VALUES);
    case kvt_Modem2ISP_set_rtc_date_time_request_tag:
      return handle_clock(message.msg.set_rtc_date_time_request);
    case kvt_Modem2ISP_set_server_instant_query_request_tag:
      return handle_instant_query(message.msg.set_server_instant_query_request);
    case kvt_Modem2ISP_modem_reboot_done_request_tag:
      return handle_modem_reboot(message.msg.modem_reboot_done_request);
    default:
      break;
  }
  EventMessage record{};
  record.kind = MSG_MODEM_RESP;
  handle_answer(message, record);
  set_wait_seconds(waitTime, kModemIdleAfterAnswerSeconds);
  send_event(sysQueue, record, kSysQueueError);
}
