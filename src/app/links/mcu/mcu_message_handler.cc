// Message handler of the MCU link: notifications become capture events or refusals, answers
// become MSG_MCU_RESP records for the system server.
#include <cstdint>
#include <cstdio>
#include <ctime>

#include "app/config/camera_config.h"
#include "app/links/mcu/mcu_link_manager.h"
#include "app/records/log/app_log.h"
#include "app/records/reboot_log.h"
#include "app/system/core/event_queue.h"
#include "app/system/core/shell.h"
#include "app/system/core/state_names.h"
#include "app/system/core/sys_info.h"

namespace {

// An epoch from the MCU is a date only when the system clock can hold it: not before 1970,
// and on a processor with a 32-bit time_t not past 2038-01-19 03:14:07.
bool epoch_is_representable(int64_t epoch) {
  return epoch >= 0 && static_cast<int64_t>(static_cast<time_t>(epoch)) == epoch;
}

// The texts and codes of one of the MCU's three capture notifications.
struct Notification {
  int32_t event;
  int32_t acknowledgement;
  bool tracks_pir_pending;
  const char* rejected_fsck;
  const char* rejected_capture;
  const char* rejected_file_copy;
  const char* rejected_format;
};

constexpr Notification kPirNotification = {
    EVENT_MCU_PIR,
    MCU_RESP_ASYNC_NOTIFICATION_PIR,
    true,
    "Rejected PIR Cap as fsck is ongoing",
    "Rejected PIR Cap as another cap ongoing",
    "Rejected PIR Cap as File copy ongoing",
    "Rejected PIR Cap as Format ongoing",
};

constexpr Notification kTimelapseNotification = {
    EVENT_MCU_TIMELAPSE,
    MCU_RESP_ASYNC_NOTIFICATION_TIMELAPSE,
    false,
    "Rejected timelapse as fsck is ongoing",
    "Rejected Timelapse Cap as another cap ongoing",
    "Rejected Timelapse Cap as File copy ongoing",
    "Rejected Timelapse Cap as Format ongoing",
};

constexpr Notification kTestNotification = {
    EVENT_MCU_TEST,
    MCU_RESP_ASYNC_NOTIFICATION_TEST,
    false,
    "Rejected Test Cap as fsck is ongoing",
    "Rejected Test Button Cap as another cap ongoing",
    "Rejected Test Button Cap as File copy ongoing",
    "Rejected Test Button Cap as Format ongoing",
};

void acknowledge(int32_t kind) {
  EventMessage record{};
  record.kind = kind;
  mcu_send_request(record, nullptr);
}

void set_pir_pending(const Notification& notification, int8_t value) {
  if (notification.tracks_pir_pending) {
    SemLock lock(&sysInfoLock);
    sysInfo->pirAccepted = value;
  }
}

void refuse(const Notification& notification, const char* reason) {
  app_log(MOD_MCU_UART, LEVEL_INFO, "%s", reason);
  set_pir_pending(notification, 0);
  acknowledge(notification.acknowledgement);
}

// Refuses the capture while the card or another capture is busy; forwards it during a sync;
// in any other state it is left alone (the state that runs a capture already has one).
void handle_notification(const Notification& notification) {
  if (sysInfo->fsckOngoing) {
    return refuse(notification, notification.rejected_fsck);
  }
  if (sysInfo->captureOngoing == 1) {
    return refuse(notification, notification.rejected_capture);
  }
  if (formatOngoing) {
    return refuse(notification, sysInfo->fileCopyOngoing ? notification.rejected_file_copy
                                                         : notification.rejected_format);
  }
  const int32_t state = sysInfo->state;
  if (sysInfo->captureOngoing == 0 && !sysInfo->fileCopyOngoing &&
      (state == STATE_SYNC || state == STATE_SYNCDAILY)) {
    set_pir_pending(notification, 1);
    EventMessage event{};
    event.kind = notification.event;
    send_event(sysQueue, event, "\r\n Error : mq_send (sys q) : ");
  }
}

void handle_test_button() {
  if (sysInfo->fsckOngoing) {
    return refuse(kTestNotification, kTestNotification.rejected_fsck);
  }
  const int32_t state = sysInfo->state;
  if (state != STATE_INIT && state != STATE_POWERDOWN) {
    SemLock lock(&sysInfoLock);
    sysInfo->testLedSdRequest = 1;
    sysInfo->testLedStatusRequest = 1;
    // Showing the SD and status LEDs for the test button joins with the LED manager.
  }
  handle_notification(kTestNotification);
}

// Answers. Each keeps what it carries for the camera; its response code then goes on to the
// system server in a MSG_MCU_RESP record.

void keep_device_info(const kvt_MCU2ISP& message, EventMessage&) {
  const char* version = message.msg.get_device_info_response.version;
  app_log(MOD_MCU_UART, LEVEL_INFO, "kvt_MCU2ISP_get_device_info_response_tag : mcu version : %s",
          version);
  SemLock lock(&configLock);
  snprintf(cameraConfig->mcuVersion, sizeof cameraConfig->mcuVersion, "%s", version);
}

void keep_adc_values(const kvt_MCU2ISP& message, EventMessage&) {
  const AdcMonitoringValuesResponse& adc = message.msg.get_adc_monitoring_values_response;
  SemLock lock(&configLock);
  if (adc.has_adc_val_battery_V) {
    cameraConfig->adcBattery.whole = static_cast<int32_t>(adc.adc_val_battery_V.whole);
    cameraConfig->adcBattery.decimal = static_cast<int32_t>(adc.adc_val_battery_V.decimal);
    app_log(MOD_MCU_UART, LEVEL_INFO, "battery_V.whole : %d\tadc_val_battery_V.decimal : %d",
            cameraConfig->adcBattery.whole.load(), cameraConfig->adcBattery.decimal.load());
  }
  if (adc.has_adc_val_external_V) {
    cameraConfig->adcExternal.whole = static_cast<int32_t>(adc.adc_val_external_V.whole);
    cameraConfig->adcExternal.decimal = static_cast<int32_t>(adc.adc_val_external_V.decimal);
    app_log(MOD_MCU_UART, LEVEL_INFO,
            "adc_val_external_V.whole : %d\tadc_val_external_V.decimal : %d ",
            cameraConfig->adcExternal.whole.load(), cameraConfig->adcExternal.decimal.load());
  }
  if (adc.has_adc_val_photodiode_raw) {
    cameraConfig->adcPhotodiode.whole = static_cast<int32_t>(adc.adc_val_photodiode_raw.whole);
    cameraConfig->adcPhotodiode.decimal = static_cast<int32_t>(adc.adc_val_photodiode_raw.decimal);
    app_log(MOD_MCU_UART, LEVEL_INFO,
            "adc_val_photodiode_raw.whole : %d\tadc_val_photodiode_raw.decimal : %d",
            cameraConfig->adcPhotodiode.whole.load(), cameraConfig->adcPhotodiode.decimal.load());
  }
}

void keep_camera_state(const kvt_MCU2ISP& message, EventMessage& record) {
  const uint32_t state = message.msg.get_camera_state_response.state;
  app_log(MOD_MCU_UART, LEVEL_INFO, "kvt_MCU2ISP_get_camera_state_response_tag : %d",
          static_cast<int>(state));
  snprintf(record.text, sizeof record.text, "%d", static_cast<int>(state));
  app_log(
      MOD_MCU_UART, LEVEL_INFO, "Camera state : %s ",
      state < static_cast<uint32_t>(kSystemStateCount) ? kMcuStateNames[state] : "STATE_INVALID");
}

void keep_day_night(const kvt_MCU2ISP& message, EventMessage&) {
  const DayNightStatusResponse& day_night = message.msg.get_day_night_status_response;
  if (!day_night.isValid) {
    return;
  }
  app_log(MOD_MCU_UART, LEVEL_INFO, "IsNight : %d", day_night.IsNight ? 1 : 0);
  {
    SemLock lock(&sysInfoLock);
    sysInfo->day_night_val = day_night.IsNight ? 1 : 0;
  }
  run_shellf("/system/bin/tag_env_info --set dovu prev_ir_mode %u", day_night.IsNight ? 1u : 0u);
}

void keep_fuel_gauge(const kvt_MCU2ISP& message, EventMessage&) {
  const FuelGaugeValues& gauge = message.msg.get_fuel_gauge_value_response;
  app_log(MOD_MCU_UART, LEVEL_INFO, "fuelguage.isValid = %s", gauge.isValid ? "TRUE" : "FALSE");
  if (!gauge.isValid) {
    {
      SemLock lock(&sysInfoLock);
      sysInfo->fuelGaugeValid = 0;
    }
    app_log(MOD_MCU_UART, LEVEL_ERR,
            "kvt_MCU2ISP_get_fuel_gauge_value_response_tag: fuel guage respone not valid.");
    return;
  }
  {
    SemLock lock(&configLock);
    cameraConfig->fuelGaugeIndex = static_cast<int32_t>(gauge.index);
    cameraConfig->fuelGauge_count = static_cast<int32_t>(gauge.fuelGaugeEntries_count);
    for (pb_size_t i = 0; i < gauge.fuelGaugeEntries_count; ++i) {
      const FuelGaugeEntry& entry = gauge.fuelGaugeEntries[i];
      cameraConfig->fuelGauge[i] = {entry.powerSource, entry.batteryType, entry.batteryPercent,
                                    entry.capacity};
    }
  }
  if (gauge.index < gauge.fuelGaugeEntries_count) {
    const FuelGaugeEntry& shown = gauge.fuelGaugeEntries[gauge.index];
    app_log(MOD_MCU_UART, LEVEL_INFO, "batteryPercent : %d battery type : %d",
            static_cast<int>(shown.batteryPercent), static_cast<int>(shown.batteryType));
  }
  SemLock lock(&sysInfoLock);
  sysInfo->fuelGaugeValid = 1;
}

void keep_watchdog_reboot(const kvt_MCU2ISP& message, EventMessage&) {
  const McuWdmTriggeredResponse& wdm = message.msg.mcu_wdm_triggered_response;
  if (wdm.rebooted) {
    {
      SemLock lock(&sysInfoLock);
      sysInfo->wdmReboot = 1;
    }
    time_t when = static_cast<time_t>(wdm.epoch);
    const bool representable = epoch_is_representable(wdm.epoch);
    if (wdm.epochValid && !representable) {
      app_log(MOD_MCU_UART, LEVEL_ERR,
              "MCU reboot epoch %lu is beyond the dates this camera's clock can hold.",
              static_cast<unsigned long>(wdm.epoch));
    }
    if (!wdm.epochValid || !representable) {
      app_log(MOD_MCU_UART, LEVEL_INFO, "Using ISP time since MCU reboot epoch is invalid.");
      when = time(nullptr);
      struct tm local {};
      if (when == static_cast<time_t>(-1) || localtime_r(&when, &local) == nullptr) {
        app_log(MOD_MCU_UART, LEVEL_ERR, "Could not fetch correct time for reboot log.");
      } else {
        when = mktime(&local);
      }
    }
    write_reboot_log(REBOOT_SOURCE_MCU, REBOOT_UPTIME_WATCHDOG, when);
  }
  app_log(MOD_MCU_UART, LEVEL_INFO, "kvt_MCU2ISP_mcu_wdm_triggered_response_tag, value: %d",
          wdm.rebooted ? 1 : 0);
}

void keep_rtc_time(const kvt_MCU2ISP& message, EventMessage&) {
  const RtcDateTime& rtc = message.msg.get_rtc_date_time_response;
  app_log(MOD_MCU_UART, LEVEL_INFO, "mcu_rtctime.isValid = %s", rtc.isValid ? "TRUE" : "FALSE");
  if (rtc.isValid && !epoch_is_representable(rtc.epoch)) {
    app_log(MOD_MCU_UART, LEVEL_ERR,
            "MCU clock epoch %ld is outside the dates this camera's clock can hold.",
            static_cast<long>(rtc.epoch));
  }
  if (!rtc.isValid || !epoch_is_representable(rtc.epoch)) {
    {
      SemLock lock(&sysInfoLock);
      sysInfo->rtcValid = 0;
    }
    app_log(MOD_MCU_UART, LEVEL_INFO, "kvt_MCU2ISP_get_rtc_date_time_response_tag: epoch invalid.");
    return;
  }
  {
    SemLock lock(&configLock);
    cameraConfig->rtcEpoch = rtc.epoch;
  }
  if (!sysInfo->clockSet) {
    run_shellf("TZ='UTC' date -s @%ld", static_cast<long>(rtc.epoch));
    SemLock lock(&sysInfoLock);
    sysInfo->clockSet = 1;
    sysInfo->clockSetFromRtc = 1;
  }
  app_log(MOD_MCU_UART, LEVEL_INFO, "EPOCH : %u", static_cast<unsigned>(rtc.epoch));
  SemLock lock(&sysInfoLock);
  sysInfo->rtcValid = 1;
}

void keep_install_date(const kvt_MCU2ISP& message, EventMessage&) {
  const int32_t epoch = message.msg.get_rtc_install_date_time_response.epoch;
  if (epoch_is_representable(epoch)) {
    const time_t install = epoch;
    {
      SemLock lock(&configLock);
      cameraConfig->installEpoch = install;
    }
    struct tm fields {};
    gmtime_r(&install, &fields);
    app_log(MOD_MCU_UART, LEVEL_INFO, "Y:%dM:%dD:%d:H:%dm:%ds:%d", fields.tm_year + 1900,
            fields.tm_mon + 1, fields.tm_mday, fields.tm_hour, fields.tm_min, fields.tm_sec);
  } else {
    app_log(MOD_MCU_UART, LEVEL_ERR,
            "MCU install date epoch %ld is outside the dates this camera's clock can hold.",
            static_cast<long>(epoch));
  }
  SemLock lock(&sysInfoLock);
  sysInfo->installDateReceived = 1;
}

struct Answer {
  pb_size_t tag;
  // What the camera keeps of it; nullptr for an answer that carries nothing the camera keeps.
  void (*keep)(const kvt_MCU2ISP& message, EventMessage& record);
  int32_t response;
  bool forwarded;  // false: the system server has no response code for it
};

constexpr Answer kAnswers[] = {
    {kvt_MCU2ISP_get_device_info_response_tag, keep_device_info, MCU_RESP_GET_DEVICE_INFO, true},
    {kvt_MCU2ISP_get_adc_monitoring_values_response_tag, keep_adc_values,
     MCU_RESP_GET_ADC_MONITORING_VALUES, true},
    {kvt_MCU2ISP_get_camera_state_response_tag, keep_camera_state, MCU_RESP_GET_CAMERA_STATE, true},
    {kvt_MCU2ISP_get_day_night_status_response_tag, keep_day_night, MCU_RESP_DAY_NIGHT, true},
    {kvt_MCU2ISP_get_fuel_gauge_value_response_tag, keep_fuel_gauge, MCU_RESP_GET_FUEL_GAUGE_VALUES,
     true},
    {kvt_MCU2ISP_mcu_wdm_triggered_response_tag, keep_watchdog_reboot, 0, false},
    {kvt_MCU2ISP_get_rtc_date_time_response_tag, keep_rtc_time, MCU_RESP_GET_RTC_DATE_TIME, true},
    {kvt_MCU2ISP_get_rtc_install_date_time_response_tag, keep_install_date,
     MCU_RESP_GET_RTC_INSTALL_DATE_TIME, true},
    {kvt_MCU2ISP_set_camera_configuration_response_tag, nullptr, MCU_RESP_SET_CAMERA_CONFIG, true},
    {kvt_MCU2ISP_set_camera_detection_schedule_response_tag, nullptr,
     MCU_RESP_SET_CAMERA_DETECTION_SCHEDULE, true},
    {kvt_MCU2ISP_set_camera_instant_schedule_response_tag, nullptr,
     MCU_RESP_SET_CAMERA_INSTANT_SCHEDULE, true},
    {kvt_MCU2ISP_set_battery_protection_response_tag, nullptr, MCU_RESP_SET_BATTERY_PROTECTION,
     true},
    {kvt_MCU2ISP_set_pir_configuration_response_tag, nullptr, MCU_RESP_SET_PIR_CONFIG, true},
    {kvt_MCU2ISP_isp_ready_to_sleep_response_tag, nullptr, MCU_RESP_SET_ISP_READY_TO_SLEEP, true},
    {kvt_MCU2ISP_set_modem_power_state_response_tag, nullptr, MCU_RESP_SET_MODEM_POWER_STATE, true},
    {kvt_MCU2ISP_set_rtc_date_time_response_tag, nullptr, MCU_RESP_SET_RTC_DATE_TIME, true},
    {kvt_MCU2ISP_set_status_led_response_tag, nullptr, MCU_RESP_SET_STATUS_LED, true},
};

// Keeps what an answer carries and fills the record for the system server; returns false for a
// member that has no response code.
bool handle_answer(const kvt_MCU2ISP& message, EventMessage& record) {
  for (const Answer& answer : kAnswers) {
    if (answer.tag != message.which_msg) {
      continue;
    }
    if (answer.keep != nullptr) {
      answer.keep(message, record);
    }
    record.response = answer.response;
    return answer.forwarded;
  }
  return false;
}

}  // namespace

void mcu_handle_message(const kvt_MCU2ISP& message, timeval* waitTime) {
  app_log(MOD_MCU_UART, LEVEL_INFO, "%s", mcu2isp_tag_name(message.which_msg));
  switch (message.which_msg) {
    case kvt_MCU2ISP_pir_detection_request_tag:
      return handle_notification(kPirNotification);
    case kvt_MCU2ISP_timelapse_request_tag:
      return handle_notification(kTimelapseNotification);
    case kvt_MCU2ISP_test_button_notification_request_tag:
      return handle_test_button();
    default:
      break;
  }
  EventMessage record{};
  record.kind = MSG_MCU_RESP;
  const bool forwarded = handle_answer(message, record);
  if (message.which_msg != kvt_MCU2ISP_set_rtc_date_time_response_tag &&
      message.which_msg != kvt_MCU2ISP_set_status_led_response_tag) {
    set_wait_seconds(waitTime, kMcuIdleAfterAnswerSeconds);
  }
  if (forwarded) {
    send_event(sysQueue, record, "\r\n Error : mq_send (sys q) : ");
  }
}
