// Member tags of the MCU message set, as the MCU sees them.
#pragma once

#include <array>
#include <cstdint>

namespace sim {

// kvt_ISP2MCU members the MCU answers, with the kvt_MCU2ISP member of the answer.
struct McuAnswerPair {
  uint32_t request;
  uint32_t answer;
};

inline constexpr std::array<McuAnswerPair, 18> kMcuAnswerPairs = {{
    {1, 11},     // get_device_info
    {21, 31},    // get_adc_monitoring_values
    {41, 51},    // get_camera_state
    {42, 52},    // set_camera_configuration
    {43, 53},    // get_day_night_status
    {44, 54},    // set_camera_detection_schedule
    {45, 55},    // set_camera_instant_schedule
    {46, 56},    // set_battery_protection
    {61, 71},    // get_fuel_gauge_value
    {81, 91},    // set_pir_configuration
    {101, 111},  // isp_ready_to_sleep
    {102, 112},  // set_modem_power_state
    {103, 113},  // watchdog_notification
    {104, 114},  // mcu_wdm_triggered
    {121, 131},  // set_rtc_date_time
    {122, 132},  // get_rtc_date_time
    {123, 133},  // get_rtc_install_date_time
    {161, 171},  // set_status_led
}};

// The MCU's own notifications (kvt_MCU2ISP) and the kvt_ISP2MCU member acknowledging each.
struct McuNotificationPair {
  uint32_t notification;
  uint32_t acknowledgement;
};

inline constexpr uint32_t kMcuPirDetectionTag = 81;
inline constexpr uint32_t kMcuTimelapseTag = 82;
inline constexpr uint32_t kMcuTestButtonTag = 141;

// Indexed by McuNotification.
inline constexpr std::array<McuNotificationPair, 3> kMcuNotificationPairs = {{
    {kMcuPirDetectionTag, 91},  // pir_detection_request -> pir_detection_response
    {kMcuTimelapseTag, 92},     // timelapse_request -> timelapse_response
    {kMcuTestButtonTag, 151},   // test_button_notification_request -> ..._response
}};

// Requests whose answer carries data or that change what the MCU does.
inline constexpr uint32_t kReqGetDeviceInfo = 1;
inline constexpr uint32_t kReqGetAdcValues = 21;
inline constexpr uint32_t kReqGetCameraState = 41;
inline constexpr uint32_t kReqGetDayNight = 43;
inline constexpr uint32_t kReqGetFuelGauge = 61;
inline constexpr uint32_t kReqSetPirConfiguration = 81;
inline constexpr uint32_t kReqReadyToSleep = 101;
inline constexpr uint32_t kReqSetModemPower = 102;
inline constexpr uint32_t kReqWatchdogNotification = 103;
inline constexpr uint32_t kReqWdmTriggered = 104;
inline constexpr uint32_t kReqSetRtc = 121;
inline constexpr uint32_t kReqGetRtc = 122;
inline constexpr uint32_t kReqGetInstallDate = 123;
inline constexpr uint32_t kReqSetStatusLed = 161;

// Returns the answer member for a request member, or 0 when the MCU does not answer it.
constexpr uint32_t mcu_answer_tag(uint32_t requestTag) {
  for (const McuAnswerPair& pair : kMcuAnswerPairs) {
    if (pair.request == requestTag) {
      return pair.answer;
    }
  }
  return 0;
}

}  // namespace sim
