// The serial links' inbound paths on arbitrary bytes. The build makes one target per link
// (FUZZ_MODEM picks the Modem link, else the MCU's) and per path:
// - FUZZ_RECEIVER: the bytes are fed to the link's receiver the way the link loop does, byte by
//   byte, every start byte handing the port to the real read_frame. The port holds the input in
//   memory (memory_port.h); at its end every read comes back empty at once, as a silent peer's
//   would after 0.5 s.
// - else: the bytes are decoded as the link's inbound wrapper, as the receiver does with a
//   frame's payload: into a zeroed record with the wrapper's descriptor.
// Whatever the bytes, every message the camera decodes must have one of the wrapper's members,
// counts within their arrays and terminated strings; a violation stops the run.
#include <pb_decode.h>
#include <sys/time.h>
#include <unistd.h>

#include <cstddef>
#include <cstdint>
#include <cstring>

#include "app/links/frame_codec.h"
#include "app/links/frame_receiver.h"
#include "app/links/link_messages.h"

#include "fuzz/links/memory_port.h"

namespace {

template <typename Array>
void check_count(pb_size_t count, const Array& array) {
  if (count > sizeof array / sizeof array[0]) {
    __builtin_trap();
  }
}

template <std::size_t N>
void check_text(const char (&text)[N]) {
  if (memchr(text, '\0', N) == nullptr) {
    __builtin_trap();
  }
}

#if FUZZ_MODEM
using Message = kvt_Modem2ISP;
[[maybe_unused]] constexpr const pb_msgdesc_t* kFields = kvt_Modem2ISP_fields;
[[maybe_unused]] constexpr auto kReadFrame = modem_read_frame;
constexpr auto kTagName = modem2isp_tag_name;

void check_members(const kvt_Modem2ISP& message) {
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
#else
using Message = kvt_MCU2ISP;
[[maybe_unused]] constexpr const pb_msgdesc_t* kFields = kvt_MCU2ISP_fields;
[[maybe_unused]] constexpr auto kReadFrame = mcu_read_frame;
constexpr auto kTagName = mcu2isp_tag_name;

void check_members(const kvt_MCU2ISP& message) {
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
#endif

void check_message(const Message& message, timeval* /*waitTime*/) {
  if (message.which_msg != 0 && strcmp(kTagName(message.which_msg), "UNKNOWN") == 0) {
    __builtin_trap();
  }
  check_members(message);
}

}  // namespace

extern "C" int LLVMFuzzerTestOneInput(const uint8_t* data, size_t size) {
#if FUZZ_RECEIVER
  const int port = fuzz_links::load_port(data, size);
  timeval waitTime{300, 0};
  uint8_t byte = 0;
  while (read(port, &byte, 1) == 1) {
    if (byte == kFrameStartByte) {
      kReadFrame(port, check_message, &waitTime, nullptr);
    }
  }
#else
  static Message message;
  memset(&message, 0, sizeof message);
  pb_istream_t stream = pb_istream_from_buffer(data, size);
  if (pb_decode(&stream, kFields, &message)) {
    check_message(message, nullptr);
  }
#endif
  return 0;
}
