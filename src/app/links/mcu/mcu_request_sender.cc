// Request sender of the MCU link: one kvt_ISP2MCU message per record from the queue.

#include <cstring>

#include "app/config/camera_config.h"
#include "app/links/frame_sender.h"
#include "app/links/mcu/mcu_link_manager.h"
#include "app/records/log/app_log.h"
#include "app/system/core/event_queue.h"
#include "app/system/core/sys_info.h"
#include "app/system/os/os.h"

namespace {

constexpr uint32_t kWarningLightPollUs = 250 * 1000;

void log_info(const char* format, const char* value) {
  app_log(MOD_MCU_UART, LEVEL_INFO, format, value);
}

// Sends `message` carrying member `tag`, logging the member's tag name first.
void send_member(kvt_ISP2MCU& message, pb_size_t tag) {
  message.which_msg = tag;
  app_log(MOD_MCU_UART, LEVEL_INFO, "%s", isp2mcu_tag_name(tag));
  mcu_send_frame(message);
}

void fill_schedule(ScheduleEntry* ret_entries, pb_size_t* ret_count,
                   const ScheduleEntryValue* entries, int32_t count) {
  const pb_size_t kept = static_cast<pb_size_t>(
      count < 0
          ? 0
          : (count > static_cast<int32_t>(kMaxScheduleEntries) ? kMaxScheduleEntries : count));
  for (pb_size_t i = 0; i < kept; ++i) {
    ret_entries[i].day = entries[i].day;
    ret_entries[i].startTime = {entries[i].startHour, entries[i].startMinute};
    ret_entries[i].endTime = {entries[i].endHour, entries[i].endMinute};
  }
  *ret_count = kept;
}

// Status LED and clock requests are sent at once and never repeated.
bool send_unrepeated(const EventMessage& record) {
  kvt_ISP2MCU message = kvt_ISP2MCU_init_zero;
  switch (record.request) {
    case MCU_REQ_SET_RTC_DATE_TIME:
      message.msg.set_rtc_date_time_request.isValid = true;
      message.msg.set_rtc_date_time_request.epoch =
          static_cast<int32_t>(cameraConfig->modemEpoch.load());
      send_member(message, kvt_ISP2MCU_set_rtc_date_time_request_tag);
      return true;
    case MCU_REQ_SET_STATUS_LED_OFF:
      app_log(MOD_MCU_UART, LEVEL_INFO, "MCU_REQ_SET_STATUS_LED_OFF");
      message.msg.set_status_led_request.colour = 0;
      send_member(message, kvt_ISP2MCU_set_status_led_request_tag);
      return true;
    case MCU_REQ_SET_STATUS_LED_RED:
    case MCU_REQ_SET_STATUS_LED_GREEN:
    case MCU_REQ_SET_STATUS_LED_BLUE: {
      app_log(MOD_MCU_UART, LEVEL_INFO, "%s", event_code_name(record.request));
      StatusLedRequest& led = message.msg.set_status_led_request;
      led.colour = static_cast<uint32_t>(record.request - MCU_REQ_SET_STATUS_LED_OFF);
      if (strncmp(record.text, "BLINK", sizeof record.text) == 0) {
        led.has_blinkPeriodMs = true;
        led.blinkPeriodMs = static_cast<uint32_t>(cameraConfig->statusLedBlinkPeriodMs.load());
        app_log(MOD_MCU_UART, LEVEL_INFO, "has_blinkPeriodMs : TRUE");
        app_log(MOD_MCU_UART, LEVEL_INFO, "blinkPeriodMs : %lu ms",
                static_cast<unsigned long>(led.blinkPeriodMs));
      } else {
        app_log(MOD_MCU_UART, LEVEL_INFO, "has_blinkPeriodMs : FALSE");
      }
      send_member(message, kvt_ISP2MCU_set_status_led_request_tag);
      return true;
    }
    default:
      return false;
  }
}

void set_modem_powered(bool on) {
  SemLock lock(&sysInfoLock);
  sysInfo->modemPowered = on ? 1 : 0;
}

void wait_for_warning_light() {
  {
    SemLock lock(&sysInfoLock);
    sysInfo->readyToSleepRequested = 1;
  }
  while (sysInfo->warnLightHolding) {
    app_log(MOD_MCU_UART, LEVEL_INFO, "Wait for warning LED to finish...");
    os_sleep_us(kWarningLightPollUs);
  }
}

void fill_camera_configuration(CameraConfigurationRequest& request) {
  request.captureMode = static_cast<uint32_t>(serverConfig->capture_mode.load());
  request.detectionDelay = static_cast<uint32_t>(serverConfig->detection_delay.load());
  request.timelapseDelay = static_cast<uint32_t>(serverConfig->timelapse_delay.load());
  request.syncTime = {static_cast<uint32_t>(cameraConfig->syncTime.hour.load()),
                      static_cast<uint32_t>(cameraConfig->syncTime.minute.load())};
  request.syncFrequency = static_cast<uint32_t>(serverConfig->sync_frequency.load());
  request.powerSources[0] = static_cast<uint32_t>(serverConfig->power_sources[0].load());
  request.powerSources[1] = static_cast<uint32_t>(serverConfig->power_sources[1].load());
  request.pauseCameraConfig = {cameraConfig->pauseCameraConfig.epoch.load(),
                               cameraConfig->pauseCameraConfig.duration.load()};
  app_log(MOD_MCU_UART, LEVEL_INFO,
          "captureMode : %d , detectionDelay : %lu , timelapseDelay : %lu , syncTime.hour : %lu "
          ", syncTime.minute : %lu , syncFrequency : %lu , powerSources[0] : %d , "
          "powerSources[1] : %d",
          static_cast<int>(request.captureMode), static_cast<unsigned long>(request.detectionDelay),
          static_cast<unsigned long>(request.timelapseDelay),
          static_cast<unsigned long>(request.syncTime.hour),
          static_cast<unsigned long>(request.syncTime.minute),
          static_cast<unsigned long>(request.syncFrequency),
          static_cast<int>(request.powerSources[0]), static_cast<int>(request.powerSources[1]));
  app_log(MOD_MCU_UART, LEVEL_INFO,
          "pSysInfo->pauseCameraConfig.epoch : %d pSysInfo->pauseCameraConfig.duration : %d",
          request.pauseCameraConfig.epoch, static_cast<int>(request.pauseCameraConfig.duration));
}

// Fillers of the requests that carry something: each fills its member of `message`.

void fill_adc_request(int32_t, kvt_ISP2MCU& message) {
  message.msg.get_adc_monitoring_values_request = {true, true, false};
  log_info("wantBattery = %s", "true");
}

void fill_battery_protections(int32_t, kvt_ISP2MCU& message) {
  BatteryProtectionRequest& protections = message.msg.set_battery_protection_request;
  SemLock lock(&configLock);
  const int32_t count = cameraConfig->batteryProtections_count;
  protections.batteryProtections_count = static_cast<pb_size_t>(
      count < 0 ? 0
                : (count > static_cast<int32_t>(kMaxBatteryProtections) ? kMaxBatteryProtections
                                                                        : count));
  for (pb_size_t i = 0; i < protections.batteryProtections_count; ++i) {
    const BatteryProtectionValue& value = cameraConfig->batteryProtections[i];
    protections.batteryProtections[i] = {value.powerSource, value.enabled, value.lowerLimit,
                                         value.upperLimit, value.action};
  }
  app_log(MOD_MCU_UART, LEVEL_INFO, "battery protections count : %d",
          static_cast<int>(protections.batteryProtections_count));
}

void fill_modem_power(int32_t request, kvt_ISP2MCU& message) {
  const bool on = request == MCU_REQ_SET_MODEM_POWER_STATE_ON;
  message.msg.set_modem_power_state_request.on = on;
  log_info("modem_power_state_request.on = %s", on ? "true" : "false");
  set_modem_powered(on);
}

void fill_pir_configuration(int32_t, kvt_ISP2MCU& message) {
  message.msg.set_pir_configuration_request.pirSensitivity =
      static_cast<uint32_t>(serverConfig->pir_sensitivity.load());
  app_log(MOD_MCU_UART, LEVEL_INFO, "pirSensitivity : %d",
          static_cast<int>(message.msg.set_pir_configuration_request.pirSensitivity));
}

void fill_camera_configuration_request(int32_t, kvt_ISP2MCU& message) {
  fill_camera_configuration(message.msg.set_camera_configuration_request);
}

// The ready-to-sleep request waits until the warning light has shown its pattern.
void hold_for_warning_light(int32_t, kvt_ISP2MCU&) {
  wait_for_warning_light();
}

void fill_detection_schedule(int32_t, kvt_ISP2MCU& message) {
  DetectionScheduleRequest& schedule = message.msg.set_camera_detection_schedule_request;
  SemLock lock(&configLock);
  fill_schedule(schedule.detectionSchedule, &schedule.detectionSchedule_count,
                cameraConfig->detectionSchedule, cameraConfig->detectionSchedule_count);
  app_log(MOD_MCU_UART, LEVEL_INFO, "detectionSchedule_count : %lu",
          static_cast<unsigned long>(schedule.detectionSchedule_count));
}

void fill_instant_schedule(int32_t, kvt_ISP2MCU& message) {
  InstantScheduleRequest& schedule = message.msg.set_camera_instant_schedule_request;
  SemLock lock(&configLock);
  fill_schedule(schedule.instantSchedule, &schedule.instantSchedule_count,
                cameraConfig->instantSchedule, cameraConfig->instantSchedule_count);
  app_log(MOD_MCU_UART, LEVEL_INFO, "instantSchedule_count : %lu",
          static_cast<unsigned long>(schedule.instantSchedule_count));
}

void log_request_name(int32_t request, kvt_ISP2MCU&) {
  app_log(MOD_MCU_UART, LEVEL_INFO, "%s", event_code_name(request));
}

struct Request {
  int32_t request;
  pb_size_t tag;
  void (*fill)(int32_t request, kvt_ISP2MCU& message);  // nullptr: the member carries nothing
};

constexpr Request kRequests[] = {
    {MCU_REQ_GET_DEVICE_INFO, kvt_ISP2MCU_get_device_info_request_tag, nullptr},
    {MCU_REQ_GET_CAMERA_STATE, kvt_ISP2MCU_get_camera_state_request_tag, nullptr},
    {MCU_REQ_GET_ADC_MONITORING_VALUES, kvt_ISP2MCU_get_adc_monitoring_values_request_tag,
     fill_adc_request},
    {MCU_REQ_GET_FUEL_GAUGE_VALUES, kvt_ISP2MCU_get_fuel_gauge_value_request_tag, nullptr},
    {MCU_REQ_GET_RTC_DATE_TIME, kvt_ISP2MCU_get_rtc_date_time_request_tag, nullptr},
    {MCU_REQ_GET_RTC_INSTALL_DATE_TIME, kvt_ISP2MCU_get_rtc_install_date_time_request_tag, nullptr},
    {MCU_REQ_SET_BATTERY_PROTECTION, kvt_ISP2MCU_set_battery_protection_request_tag,
     fill_battery_protections},
    {MCU_REQ_SET_MODEM_POWER_STATE_OFF, kvt_ISP2MCU_set_modem_power_state_request_tag,
     fill_modem_power},
    {MCU_REQ_SET_MODEM_POWER_STATE_ON, kvt_ISP2MCU_set_modem_power_state_request_tag,
     fill_modem_power},
    {MCU_REQ_SET_PIR_CONFIG, kvt_ISP2MCU_set_pir_configuration_request_tag, fill_pir_configuration},
    {MCU_REQ_SET_CAMERA_CONFIG, kvt_ISP2MCU_set_camera_configuration_request_tag,
     fill_camera_configuration_request},
    {MCU_REQ_SET_ISP_READY_TO_SLEEP, kvt_ISP2MCU_isp_ready_to_sleep_request_tag,
     hold_for_warning_light},
    {MCU_REQ_DAY_NIGHT, kvt_ISP2MCU_get_day_night_status_request_tag, nullptr},
    {MCU_REQ_SET_CAMERA_DETECTION_SCHEDULE, kvt_ISP2MCU_set_camera_detection_schedule_request_tag,
     fill_detection_schedule},
    {MCU_REQ_SET_CAMERA_INSTANT_SCHEDULE, kvt_ISP2MCU_set_camera_instant_schedule_request_tag,
     fill_instant_schedule},
    {MCU_REQ_WDM_DONE, kvt_ISP2MCU_mcu_wdm_triggered_request_tag, log_request_name},
    {MCU_REQ_WDM_TRIGGERED, kvt_ISP2MCU_watchdog_notification_request_tag, log_request_name},
};

void send_mcu_message(int32_t request) {
  kvt_ISP2MCU message = kvt_ISP2MCU_init_zero;
  for (const Request& entry : kRequests) {
    if (entry.request == request) {
      if (entry.fill != nullptr) {
        entry.fill(request, message);
      }
      return send_member(message, entry.tag);
    }
  }
  // An unknown request still goes out, as the empty wrapper.
  mcu_send_frame(message);
}

struct Acknowledgement {
  int32_t kind;
  const char* name;
  pb_size_t tag;
};

constexpr Acknowledgement kAcknowledgements[] = {
    {MCU_RESP_ASYNC_NOTIFICATION_PIR, "MCU_RESP_ASYNC_NOTIFICATION_PIR",
     kvt_ISP2MCU_pir_detection_response_tag},
    {MCU_RESP_ASYNC_NOTIFICATION_TEST, "MCU_RESP_ASYNC_NOTIFICATION_TEST",
     kvt_ISP2MCU_test_button_notification_response_tag},
    {MCU_RESP_ASYNC_NOTIFICATION_TIMELAPSE, "MCU_RESP_ASYNC_NOTIFICATION_TIMELAPSE",
     kvt_ISP2MCU_timelapse_response_tag},
};

}  // namespace

void mcu_send_request(const EventMessage& record, timeval* waitTime) {
  for (const Acknowledgement& ack : kAcknowledgements) {
    if (record.kind == ack.kind) {
      app_log(MOD_MCU_UART, LEVEL_INFO, "%s", ack.name);
      kvt_ISP2MCU message = kvt_ISP2MCU_init_zero;
      send_member(message, ack.tag);
      return;
    }
  }
  if (record.kind != MSG_MCU_REQ) {
    kvt_ISP2MCU empty = kvt_ISP2MCU_init_zero;
    mcu_send_frame(empty);
    return;
  }
  if (send_unrepeated(record)) {
    return;
  }
  lastMcuRequest = record.request;
  const bool quick = record.request == MCU_REQ_GET_RTC_DATE_TIME ||
                     record.request == MCU_REQ_SET_ISP_READY_TO_SLEEP;
  set_wait_seconds(waitTime, quick ? kMcuQuickAnswerSeconds : kMcuAnswerSeconds);
  send_mcu_message(record.request);
}
