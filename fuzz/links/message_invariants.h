// What must hold of every message the camera decodes, whatever bytes it came from: the member
// is one of the wrapper's, counts stay within their arrays and strings are terminated. A
// violation stops the fuzz run.
#pragma once

#include <cstddef>
#include <cstring>

#include "app/links/link_messages.h"

namespace fuzz_links {

template <typename Array>
inline void check_count(pb_size_t count, const Array& array) {
  if (count > sizeof array / sizeof array[0]) {
    __builtin_trap();
  }
}

template <std::size_t N>
inline void check_text(const char (&text)[N]) {
  if (memchr(text, '\0', N) == nullptr) {
    __builtin_trap();
  }
}

inline void check_message(const kvt_MCU2ISP& message) {
  if (message.which_msg != 0 && strcmp(mcu2isp_tag_name(message.which_msg), "UNKNOWN") == 0) {
    __builtin_trap();
  }
  switch (message.which_msg) {
    case kvt_MCU2ISP_get_device_info_response_tag:
      check_text(message.msg.get_device_info_response.version);
      break;
    case kvt_MCU2ISP_get_fuel_gauge_value_response_tag:
      check_count(message.msg.get_fuel_gauge_value_response.fuelGaugeEntries_count,
                  message.msg.get_fuel_gauge_value_response.fuelGaugeEntries);
      break;
    case kvt_MCU2ISP_reserved_212_tag:
      check_text(message.msg.reserved_212.text);
      break;
    default:
      break;
  }
}

inline void check_message(const kvt_Modem2ISP& message) {
  if (message.which_msg != 0 && strcmp(modem2isp_tag_name(message.which_msg), "UNKNOWN") == 0) {
    __builtin_trap();
  }
  switch (message.which_msg) {
    case kvt_Modem2ISP_get_camera_configuration_response_tag: {
      const auto& config = message.msg.get_camera_configuration_response;
      check_count(config.detectionSchedule_count, config.detectionSchedule);
      check_count(config.instantSchedule_count, config.instantSchedule);
      check_count(config.batteryProtections_count, config.batteryProtections);
      break;
    }
    case kvt_Modem2ISP_get_crypto_password_response_tag:
      check_text(message.msg.get_crypto_password_response.password);
      break;
    default:
      break;
  }
}

}  // namespace fuzz_links
