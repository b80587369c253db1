// Request sender of the Modem link: the camera's requests (MSG_MODEM_REQ records) and its
// answers to the Modem's own requests (records whose kind is the answer code).
#include <cstdio>
#include <iterator>

#include "app/config/camera_config.h"
#include "app/links/frame_sender.h"
#include "app/links/modem/modem_link_manager.h"
#include "app/links/modem/modem_sync_info.h"
#include "app/records/log/app_log.h"
#include "app/system/core/event_queue.h"
#include "app/system/core/sys_info.h"
#include "app/system/core/temperature.h"

namespace {

void send_member(kvt_ISP2Modem& message, pb_size_t tag) {
  message.which_msg = tag;
  app_log(MOD_MODEM_UART, LEVEL_INFO, "%s", isp2modem_tag_name(tag));
  modem_send_frame(message);
}

void set_shutdown_requested(int8_t value) {
  SemLock lock(&sysInfoLock);
  sysInfo->shutdownRequested = value;
}

void send_request(int32_t request) {
  kvt_ISP2Modem message = kvt_ISP2Modem_init_zero;
  switch (request) {
    case MODEM_REQ_GET_CAMERA_CONFIGURATION: {
      app_log(MOD_MODEM_UART, LEVEL_INFO, "MODEM_REQ_GET_CAMERA_CONFIGURATION");
      SemLock lock(&sysInfoLock);
      modemSyncInfo->configIntakeBusy = 1;
    }
      return send_member(message, kvt_ISP2Modem_get_camera_configuration_request_tag);
    case MODEM_REQ_SET_SERVER_SYNC_TYPE:
      app_log(MOD_MODEM_UART, LEVEL_INFO, "MODEM_REQ_SET_SERVER_SYNC_TYPE");
      message.msg.set_server_sync_type_request.syncType =
          static_cast<uint32_t>(sysInfo->syncType.load());
      app_log(MOD_MODEM_UART, LEVEL_INFO, "sync_type : %d", sysInfo->syncType.load());
      return send_member(message, kvt_ISP2Modem_set_server_sync_type_request_tag);
    case MODEM_REQ_SET_SERVER_NEXT_ACTION_SYNCACTION_SHUTDOWN:
      set_shutdown_requested(1);
      app_log(MOD_MODEM_UART, LEVEL_INFO, "MODEM_REQ_SET_SERVER_NEXT_ACTION_SYNCACTION_SHUTDOWN");
      message.msg.set_server_next_action_request.nextAction = 0;
      return send_member(message, kvt_ISP2Modem_set_server_next_action_request_tag);
    case MODEM_REQ_SET_SERVER_NEXT_ACTION_SYNCACTION_UPLOAD:
      set_shutdown_requested(0);
      app_log(MOD_MODEM_UART, LEVEL_INFO, "MODEM_REQ_SET_SERVER_NEXT_ACTION_SYNCACTION_UPLOAD");
      message.msg.set_server_next_action_request.nextAction = 1;
      return send_member(message, kvt_ISP2Modem_set_server_next_action_request_tag);
    case MODEM_REQ_GET_DEVICE_MODEL:
      app_log(MOD_MODEM_UART, LEVEL_INFO, "MODEM_REQ_GET_DEVICE_MODEL");
      return send_member(message, kvt_ISP2Modem_get_device_model_request_tag);
    case MODEM_REQ_GET_CRYPTO_PASSWORD:
      app_log(MOD_MODEM_UART, LEVEL_INFO, "MODEM_REQ_GET_CRYPTO_PASSWORD");
      return send_member(message, kvt_ISP2Modem_get_crypto_password_request_tag);
    default:
      // An unknown request still goes out, as the empty wrapper.
      modem_send_frame(message);
      return;
  }
}

uint32_t sd_control_result(int32_t kind) {
  switch (kind) {
    case MODEM_ASYNC_RESP_GET_SD_CARD_CONTROL_BUSY:
      return 1;
    case MODEM_ASYNC_RESP_GET_SD_CARD_CONTROL_ERROR:
      return 2;
    case MODEM_ASYNC_RESP_GET_SD_CARD_CONTROL_SD_NOT_INSERTED:
      return 5;
    default:
      break;
  }
  // Granted: the Modem is told whether the card has one partition or two.
  const bool one_partition = modemSyncInfo->sdPartitionCount == 1;
  app_log(MOD_MODEM_UART, LEVEL_INFO,
          one_partition ? "MODEM_ASYNC_RESP_GET_SD_CARD_CONTROL_SUCCESS 1 PARTITION"
                        : "MODEM_ASYNC_RESP_GET_SD_CARD_CONTROL_SUCCESS 2 PARTITION");
  return one_partition ? 3 : 0;
}

void send_instant_query_answer(int32_t kind) {
  kvt_ISP2Modem message = kvt_ISP2Modem_init_zero;
  InstantQueryResponse& answer = message.msg.set_server_instant_query_response;
  if (kind == MODEM_ASYNC_RESP_SET_SERVER_INSTANT_QUERY) {
    {
      SemLock lock(&sysInfoLock);
      sysInfo->instantStage = 2;
      sysInfo->instantQueryBusy = 0;
    }
    answer.queryType = static_cast<uint32_t>(sysInfo->instantQueryType.load());
    answer.queryProcessed = modemSyncInfo->queryProcessed != 0;
    answer.queryResult = modemSyncInfo->queryResult != 0;
  } else {
    answer.queryType = static_cast<uint32_t>(modemSyncInfo->instantQueryReceived.load());
  }
  app_log(MOD_MODEM_UART, LEVEL_INFO, "queryType : %d queryProcessed : %d queryResult : %d",
          static_cast<int>(answer.queryType), answer.queryProcessed ? 1 : 0,
          answer.queryResult ? 1 : 0);
  send_member(message, kvt_ISP2Modem_set_server_instant_query_response_tag);
}

void send_fuel_gauge_answer() {
  kvt_ISP2Modem message = kvt_ISP2Modem_init_zero;
  FuelGaugeValues& gauge = message.msg.get_fuel_gauge_values_response;
  gauge.isValid = sysInfo->fuelGaugeValid != 0;
  {
    SemLock lock(&configLock);
    const int32_t count = cameraConfig->fuelGauge_count;
    gauge.index = static_cast<uint32_t>(cameraConfig->fuelGaugeIndex.load());
    gauge.fuelGaugeEntries_count = static_cast<pb_size_t>(
        count < 0
            ? 0
            : (count > static_cast<int32_t>(kMaxFuelGaugeEntries) ? kMaxFuelGaugeEntries : count));
    for (pb_size_t i = 0; i < gauge.fuelGaugeEntries_count; ++i) {
      const FuelGaugeEntryValue& entry = cameraConfig->fuelGauge[i];
      gauge.fuelGaugeEntries[i] = {entry.powerSource, entry.batteryType, entry.batteryPercent,
                                   entry.capacity};
    }
  }
  send_member(message, kvt_ISP2Modem_get_fuel_gauge_values_response_tag);
}

// Answers to the Modem's requests that carry nothing, or only an SD control result.
struct PlainAnswer {
  int32_t kind;
  pb_size_t tag;
};

constexpr PlainAnswer kPlainAnswers[] = {
    {MODEM_ASYNC_RESP_GET_SD_CARD_CONTROL_SUCCESS,
     kvt_ISP2Modem_get_camera_sd_card_control_response_tag},
    {MODEM_ASYNC_RESP_GET_SD_CARD_CONTROL_BUSY,
     kvt_ISP2Modem_get_camera_sd_card_control_response_tag},
    {MODEM_ASYNC_RESP_GET_SD_CARD_CONTROL_ERROR,
     kvt_ISP2Modem_get_camera_sd_card_control_response_tag},
    {MODEM_ASYNC_RESP_GET_SD_CARD_CONTROL_SD_NOT_INSERTED,
     kvt_ISP2Modem_get_camera_sd_card_control_response_tag},
    {MODEM_ASYNC_RESP_RETURN_SD_CARD_CONTROL,
     kvt_ISP2Modem_return_camera_sd_card_control_response_tag},
    {MODEM_ASYNC_RESP_GET_ALREADY_FORMATTED, kvt_ISP2Modem_get_camera_sd_card_format_response_tag},
    {MODEM_ASYNC_RESP_BYPASS_VALIDATION, kvt_ISP2Modem_get_camera_sd_card_format_response_tag},
    {MODEM_ASYNC_RESP_BYPASS_FORMATTING, kvt_ISP2Modem_get_camera_sd_card_format_response_tag},
    {MODEM_ASYNC_RESP_FORMATTING_FAIL, kvt_ISP2Modem_get_camera_sd_card_format_response_tag},
    {MODEM_ASYNC_RESP_FORMATTING_AT_TRIES, kvt_ISP2Modem_get_camera_sd_card_format_response_tag},
    {MODEM_ASYNC_RESP_UNKNOWN, kvt_ISP2Modem_get_camera_sd_card_format_response_tag},
    {MODEM_ASYNC_RESP_SET_SERVER_SYNC_STATUS, kvt_ISP2Modem_send_server_sync_status_response_tag},
    {MODEM_ASYNC_RESP_SET_RTC_DATE_TIME, kvt_ISP2Modem_set_rtc_date_time_response_tag},
    {MODEM_ASYNC_RESP_MOD_REBOOT_DONE, kvt_ISP2Modem_modem_reboot_done_response_tag},
};

void send_answer(int32_t kind) {
  app_log(MOD_MODEM_UART, LEVEL_INFO, "%s", event_code_name(kind));
  kvt_ISP2Modem message = kvt_ISP2Modem_init_zero;
  switch (kind) {
    case MODEM_ASYNC_RESP_GET_CAMERA_STATUS: {
      CameraStatusResponse& status = message.msg.get_camera_status_response;
      status.installEpoch = static_cast<int32_t>(cameraConfig->installEpoch.load());
      status.temperature = temperatureF;  // 255 when start-up had no valid reading
      app_log(MOD_MODEM_UART, LEVEL_INFO, "install_epoch : %lu , temp : %dF",
              static_cast<unsigned long>(static_cast<uint32_t>(status.installEpoch)),
              static_cast<int>(status.temperature));
      return send_member(message, kvt_ISP2Modem_get_camera_status_response_tag);
    }
    case MODEM_ASYNC_RESP_GET_CAMERA_VERSION: {
      DeviceVersionResponse& version = message.msg.get_device_version_response;
      {
        SemLock lock(&configLock);
        snprintf(version.ispVersion, sizeof version.ispVersion, "%s", cameraConfig->version);
        snprintf(version.mcuVersion, sizeof version.mcuVersion, "%s", cameraConfig->mcuVersion);
      }
      app_log(MOD_MODEM_UART, LEVEL_INFO, "isp version : %s mcu version : %s", version.ispVersion,
              version.mcuVersion);
      return send_member(message, kvt_ISP2Modem_get_device_version_response_tag);
    }
    case MODEM_ASYNC_RESP_SET_SERVER_INSTANT_QUERY:
    case MODEM_ASYNC_RESP_SET_SERVER_INSTANT_QUERY_NOT_PROCESSED:
      return send_instant_query_answer(kind);
    case MODEM_ASYNC_RESP_GET_FUEL_GUAGE_VALUES:
      return send_fuel_gauge_answer();
    default:
      break;
  }
  for (const PlainAnswer& answer : kPlainAnswers) {
    if (answer.kind == kind) {
      if (answer.tag == kvt_ISP2Modem_get_camera_sd_card_control_response_tag) {
        message.msg.get_camera_sd_card_control_response.result = sd_control_result(kind);
      }
      return send_member(message, answer.tag);
    }
  }
  // A record the Modem has no message for: nothing goes out.
  app_log(MOD_MODEM_UART, LEVEL_ERR, "No Modem message for record kind %d", kind);
}

}  // namespace

void modem_send_request(const EventMessage& record, timeval* waitTime) {
  if (record.kind != MSG_MODEM_REQ) {
    send_answer(record.kind);
    return;
  }
  lastModemRequest = record.request;
  set_wait_seconds(waitTime, kModemAnswerSeconds);
  send_request(record.request);
}
