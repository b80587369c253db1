#include "app/links/link_messages.h"

#include <array>

namespace {

struct TagName {
  pb_size_t tag;
  const char* name;
};

// Each row is built from the generated constant itself, so a name can never drift from its tag.
#define TAG_ROW(constant) \
  TagName {               \
    constant, #constant   \
  }

constexpr std::array kIsp2McuNames = {
    TAG_ROW(kvt_ISP2MCU_get_device_info_request_tag),
    TAG_ROW(kvt_ISP2MCU_get_adc_monitoring_values_request_tag),
    TAG_ROW(kvt_ISP2MCU_get_camera_state_request_tag),
    TAG_ROW(kvt_ISP2MCU_set_camera_configuration_request_tag),
    TAG_ROW(kvt_ISP2MCU_get_day_night_status_request_tag),
    TAG_ROW(kvt_ISP2MCU_set_camera_detection_schedule_request_tag),
    TAG_ROW(kvt_ISP2MCU_set_camera_instant_schedule_request_tag),
    TAG_ROW(kvt_ISP2MCU_set_battery_protection_request_tag),
    TAG_ROW(kvt_ISP2MCU_get_fuel_gauge_value_request_tag),
    TAG_ROW(kvt_ISP2MCU_reserved_62_tag),
    TAG_ROW(kvt_ISP2MCU_set_pir_configuration_request_tag),
    TAG_ROW(kvt_ISP2MCU_pir_detection_response_tag),
    TAG_ROW(kvt_ISP2MCU_timelapse_response_tag),
    TAG_ROW(kvt_ISP2MCU_isp_ready_to_sleep_request_tag),
    TAG_ROW(kvt_ISP2MCU_set_modem_power_state_request_tag),
    TAG_ROW(kvt_ISP2MCU_watchdog_notification_request_tag),
    TAG_ROW(kvt_ISP2MCU_mcu_wdm_triggered_request_tag),
    TAG_ROW(kvt_ISP2MCU_set_rtc_date_time_request_tag),
    TAG_ROW(kvt_ISP2MCU_get_rtc_date_time_request_tag),
    TAG_ROW(kvt_ISP2MCU_get_rtc_install_date_time_request_tag),
    TAG_ROW(kvt_ISP2MCU_test_button_notification_response_tag),
    TAG_ROW(kvt_ISP2MCU_set_status_led_request_tag),
    TAG_ROW(kvt_ISP2MCU_reserved_201_tag),
    TAG_ROW(kvt_ISP2MCU_reserved_202_tag),
    TAG_ROW(kvt_ISP2MCU_reserved_221_tag),
    TAG_ROW(kvt_ISP2MCU_reserved_222_tag),
    TAG_ROW(kvt_ISP2MCU_reserved_236_tag),
    TAG_ROW(kvt_ISP2MCU_reserved_237_tag),
};

constexpr std::array kMcu2IspNames = {
    TAG_ROW(kvt_MCU2ISP_get_device_info_response_tag),
    TAG_ROW(kvt_MCU2ISP_get_adc_monitoring_values_response_tag),
    TAG_ROW(kvt_MCU2ISP_get_camera_state_response_tag),
    TAG_ROW(kvt_MCU2ISP_set_camera_configuration_response_tag),
    TAG_ROW(kvt_MCU2ISP_get_day_night_status_response_tag),
    TAG_ROW(kvt_MCU2ISP_set_camera_detection_schedule_response_tag),
    TAG_ROW(kvt_MCU2ISP_set_camera_instant_schedule_response_tag),
    TAG_ROW(kvt_MCU2ISP_set_battery_protection_response_tag),
    TAG_ROW(kvt_MCU2ISP_get_fuel_gauge_value_response_tag),
    TAG_ROW(kvt_MCU2ISP_reserved_72_tag),
    TAG_ROW(kvt_MCU2ISP_pir_detection_request_tag),
    TAG_ROW(kvt_MCU2ISP_timelapse_request_tag),
    TAG_ROW(kvt_MCU2ISP_set_pir_configuration_response_tag),
    TAG_ROW(kvt_MCU2ISP_isp_ready_to_sleep_response_tag),
    TAG_ROW(kvt_MCU2ISP_set_modem_power_state_response_tag),
    TAG_ROW(kvt_MCU2ISP_reserved_113_tag),
    TAG_ROW(kvt_MCU2ISP_mcu_wdm_triggered_response_tag),
    TAG_ROW(kvt_MCU2ISP_set_rtc_date_time_response_tag),
    TAG_ROW(kvt_MCU2ISP_get_rtc_date_time_response_tag),
    TAG_ROW(kvt_MCU2ISP_get_rtc_install_date_time_response_tag),
    TAG_ROW(kvt_MCU2ISP_test_button_notification_request_tag),
    TAG_ROW(kvt_MCU2ISP_set_status_led_response_tag),
    TAG_ROW(kvt_MCU2ISP_reserved_211_tag),
    TAG_ROW(kvt_MCU2ISP_reserved_212_tag),
    TAG_ROW(kvt_MCU2ISP_reserved_231_tag),
    TAG_ROW(kvt_MCU2ISP_reserved_232_tag),
    TAG_ROW(kvt_MCU2ISP_reserved_241_tag),
    TAG_ROW(kvt_MCU2ISP_reserved_242_tag),
};

constexpr std::array kIsp2ModemNames = {
    TAG_ROW(kvt_ISP2Modem_get_device_model_request_tag),
    TAG_ROW(kvt_ISP2Modem_get_device_version_response_tag),
    TAG_ROW(kvt_ISP2Modem_get_camera_configuration_request_tag),
    TAG_ROW(kvt_ISP2Modem_get_camera_sd_card_control_response_tag),
    TAG_ROW(kvt_ISP2Modem_return_camera_sd_card_control_response_tag),
    TAG_ROW(kvt_ISP2Modem_get_camera_status_response_tag),
    TAG_ROW(kvt_ISP2Modem_get_camera_sd_card_format_response_tag),
    TAG_ROW(kvt_ISP2Modem_get_fuel_gauge_values_response_tag),
    TAG_ROW(kvt_ISP2Modem_modem_reboot_done_response_tag),
    TAG_ROW(kvt_ISP2Modem_set_rtc_date_time_response_tag),
    TAG_ROW(kvt_ISP2Modem_set_server_sync_type_request_tag),
    TAG_ROW(kvt_ISP2Modem_set_server_next_action_request_tag),
    TAG_ROW(kvt_ISP2Modem_send_server_sync_status_response_tag),
    TAG_ROW(kvt_ISP2Modem_set_server_instant_query_response_tag),
    TAG_ROW(kvt_ISP2Modem_get_crypto_password_request_tag),
};

constexpr std::array kModem2IspNames = {
    TAG_ROW(kvt_Modem2ISP_get_device_version_request_tag),
    TAG_ROW(kvt_Modem2ISP_get_device_model_response_tag),
    TAG_ROW(kvt_Modem2ISP_get_camera_sd_card_control_request_tag),
    TAG_ROW(kvt_Modem2ISP_return_camera_sd_card_control_request_tag),
    TAG_ROW(kvt_Modem2ISP_get_camera_status_request_tag),
    TAG_ROW(kvt_Modem2ISP_get_camera_sd_card_format_request_tag),
    TAG_ROW(kvt_Modem2ISP_get_camera_configuration_response_tag),
    TAG_ROW(kvt_Modem2ISP_get_fuel_gauge_values_request_tag),
    TAG_ROW(kvt_Modem2ISP_modem_reboot_done_request_tag),
    TAG_ROW(kvt_Modem2ISP_set_rtc_date_time_request_tag),
    TAG_ROW(kvt_Modem2ISP_send_server_sync_status_request_tag),
    TAG_ROW(kvt_Modem2ISP_set_server_instant_query_request_tag),
    TAG_ROW(kvt_Modem2ISP_set_server_sync_type_response_tag),
    TAG_ROW(kvt_Modem2ISP_set_server_next_action_response_tag),
    TAG_ROW(kvt_Modem2ISP_get_crypto_password_response_tag),
};

#undef TAG_ROW

template <std::size_t N>
const char* find_name(const std::array<TagName, N>& names, pb_size_t tag) {
  for (const TagName& row : names) {
    if (row.tag == tag) {
      return row.name;
    }
  }
  return "UNKNOWN";
}

}  // namespace

const char* isp2mcu_tag_name(pb_size_t tag) {
  return find_name(kIsp2McuNames, tag);
}
const char* mcu2isp_tag_name(pb_size_t tag) {
  return find_name(kMcu2IspNames, tag);
}
const char* isp2modem_tag_name(pb_size_t tag) {
  return find_name(kIsp2ModemNames, tag);
}
const char* modem2isp_tag_name(pb_size_t tag) {
  return find_name(kModem2IspNames, tag);
}
