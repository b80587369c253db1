#include "app/links/frame_sender.h"

#include <pb_encode.h>
#include <termios.h>
#include <unistd.h>

#include <array>
#include <cerrno>
#include <cstdint>
#include <cstdio>
#include <cstring>

#include "app/links/frame_codec.h"
#include "app/links/serial_port.h"
#include "app/records/log/app_log.h"

namespace {

void print_bytes(const uint8_t* bytes, std::size_t count) {
  for (std::size_t i = 0; i < count; ++i) {
    printf("%02x ", bytes[i]);
  }
  printf("\r");
  fflush(stdout);
}

}  // namespace

int send_frame(const LinkProfile& link, int port, const pb_msgdesc_t* fields, const void* message) {
  std::array<uint8_t, kMaxEncodeBufferSize> encoded;
  pb_ostream_t stream = pb_ostream_from_buffer(encoded.data(), link.encodeBufferSize);
  if (!pb_encode(&stream, fields, message)) {
    app_log(link.module, LEVEL_ERR, "Encoding failed: %s", PB_GET_ERROR(&stream));
    return -1;
  }

  std::array<uint8_t, kMaxFrameBufferSize> frame;
  const std::size_t length =
      build_frame({encoded.data(), stream.bytes_written}, {frame.data(), link.frameBufferSize});
  if (length == 0) {
    // Does not happen with the message sets as used; refused rather than cut.
    app_log(link.module, LEVEL_ERR, "Frame for %zu encoded bytes does not fit the %s frame buffer",
            stream.bytes_written, link.linkName);
    return -1;
  }

  app_log(link.module, LEVEL_DEBUG, "%s", link.sentDump);
  print_bytes(frame.data(), length);

  const ssize_t written = write(port, frame.data(), length);
  app_log(link.module, LEVEL_DEBUG, link.bytesWritten, static_cast<int>(length));
  if (written != static_cast<ssize_t>(length)) {
    app_log(link.module, LEVEL_ERR, "Write to the %s port failed: %s", link.linkName,
            written < 0 ? strerror(errno) : "short write");
    return -1;
  }
  // Return only when the frame has left: the caller's wait time counts from then. A descriptor
  // that is not a terminal has nothing to drain.
  if (tcdrain(port) != 0 && errno != ENOTTY && errno != EINVAL) {
    app_log(link.module, LEVEL_ERR, "tcdrain on the %s port failed: %s", link.linkName,
            strerror(errno));
  }
  return 0;
}

int mcu_send_frame_on(int port, const kvt_ISP2MCU& message) {
  return send_frame(kMcuLink, port, kvt_ISP2MCU_fields, &message);
}

int modem_send_frame_on(int port, const kvt_ISP2Modem& message) {
  return send_frame(kModemLink, port, kvt_ISP2Modem_fields, &message);
}

int mcu_send_frame(const kvt_ISP2MCU& message) {
  return mcu_send_frame_on(mcuPort, message);
}

int modem_send_frame(const kvt_ISP2Modem& message) {
  return modem_send_frame_on(modemPort, message);
}
