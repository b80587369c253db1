#include "app/links/frame_receiver.h"

#include <pb_decode.h>
#include <unistd.h>

#include <array>
#include <cstddef>
#include <cstdio>
#include <cstring>
#include <span>

#include "app/links/frame_codec.h"
#include "app/links/link_profile.h"
#include "app/records/log/app_log.h"

namespace {

// Every byte a frame can bring: its unstuffed header, version and sequence may each come as an
// escape pair, every payload and checksum byte too, then the stop byte.
constexpr std::size_t kMaxRawFrame = kFrameHeaderSize + 2 + 2 * kMaxReceiveLength + 4 + 1;

// The unstuffed parts of a frame that passed its checks.
struct ReceivedFrame {
  std::array<uint8_t, kMaxReceiveLength> payload{};
  std::size_t length = 0;
};

// Reads a frame's bytes one read() at a time into one read byte, as the wire brings them.
class FrameReader {
 public:
  FrameReader(const LinkProfile& link, int port, LinkCounters* counters)
      : link_(link), port_(port), counters_(counters) {}

  // One read of one byte; nothing read leaves the read byte as it was.
  uint8_t read_byte() {
    uint8_t byte = 0;
    if (read(port_, &byte, 1) == 1) {
      byte_ = byte;
      if (rawLength_ < raw_.size()) {
        raw_[rawLength_++] = byte;
      }
    } else if (counters_ != nullptr) {
      ++counters_->emptyReads;
    }
    return byte_;
  }

  // Reads one byte and, when it is the escape byte, the next one XOR the escape byte.
  uint8_t read_unstuffed(const char* escapeNotice) {
    uint8_t value = read_byte();
    if (value == kFrameEscapeByte) {
      app_log(link_.module, LEVEL_INFO, "%s", escapeNotice);
      value = read_byte();
      app_log(link_.module, LEVEL_INFO, "buf read : %02x", value);
      value ^= kFrameEscapeByte;
      app_log(link_.module, LEVEL_INFO, "data after xor : %02x", value);
    }
    return value;
  }

  // Prints every byte received from the header byte to the stop byte.
  void print_received() const {
    app_log(link_.module, LEVEL_DEBUG, "%s", link_.receivedDump);
    for (std::size_t i = 0; i < rawLength_; ++i) {
      printf("%02x ", raw_[i]);
    }
    printf("\r");
    fflush(stdout);
  }

 private:
  const LinkProfile& link_;
  int port_;
  LinkCounters* counters_;
  // The start byte was the last byte the loop read into its buffer.
  uint8_t byte_ = kFrameStartByte;
  std::array<uint8_t, kMaxRawFrame> raw_{};
  std::size_t rawLength_ = 0;
};

// Reads and checks the rest of a frame. Returns 0 with the unstuffed payload in *ret_frame
// when its checksum and stop byte are good, 1 (logged) when the frame is dropped.
int receive_frame(const LinkProfile& link, int port, LinkCounters* counters,
                  ReceivedFrame* ret_frame) {
  FrameReader reader(link, port, counters);
  uint8_t header[kFrameHeaderSize];

  header[0] = reader.read_byte();
  header[1] = reader.read_unstuffed("escape character received in protocol version");
  header[2] = reader.read_unstuffed("escape character received in seq number");
  header[3] = reader.read_byte();
  header[4] = reader.read_byte();
  app_log(link.module, LEVEL_DEBUG, link.lengthBytes, header[4], header[3]);

  // A peer may send a length below 256 in either byte order.
  const std::size_t length = header[3] != 0 ? header[4] * 256u + header[3] : header[4];
  if (length >= link.receiveLengthLimit) {
    // The rest of the frame reaches the link loop as stray bytes.
    app_log(link.module, LEVEL_ERR, link.lengthRefused, static_cast<int>(length));
    return 1;
  }

  for (std::size_t i = 0; i < length; ++i) {
    ret_frame->payload[i] = reader.read_unstuffed("escape character received in payload");
  }
  ret_frame->length = length;

  const uint8_t checksum0 = reader.read_unstuffed("escape character received in crc byte 0");
  const uint8_t checksum1 = reader.read_unstuffed("escape character received in crc byte 1");
  app_log(link.module, LEVEL_DEBUG, link.checksumBytes, checksum1, checksum0);
  // The 8-bit checksum may stand in either byte of the field.
  const unsigned received = checksum1 != 0 ? checksum0 * 256u + checksum1 : checksum0;

  const uint8_t stop = reader.read_byte();
  const uint8_t computed =
      frame_checksum(header, std::span<const uint8_t>(ret_frame->payload.data(), length));
  reader.print_received();

  if (stop != kFrameStopByte || received != computed) {
    app_log(link.module, LEVEL_ERR, link.checksumError, received, computed, stop);
    return 1;
  }
  return 0;
}

// Decodes a checked frame into the zeroed wrapper and hands it to the link manager.
template <typename Wrapper, typename Handler>
int decode_and_handle(const LinkProfile& link, const pb_msgdesc_t* fields,
                      const ReceivedFrame& frame, Handler handler, timeval* waitTime) {
  // The largest wrapper holds the server configuration; it lives on the link thread's stack.
  Wrapper message;
  memset(&message, 0, sizeof message);
  pb_istream_t stream = pb_istream_from_buffer(frame.payload.data(), frame.length);
  if (!pb_decode(&stream, fields, &message)) {
    app_log(link.module, LEVEL_ERR, "Decoding failed: %s", PB_GET_ERROR(&stream));
    return 1;
  }
  app_log(link.module, LEVEL_DEBUG, "Decoded Message Tag : %d", message.which_msg);
  if (handler != nullptr) {
    handler(message, waitTime);
  }
  return 0;
}

template <typename Wrapper, typename Handler>
int read_frame(const LinkProfile& link, const pb_msgdesc_t* fields, int port, Handler handler,
               timeval* waitTime, LinkCounters* counters) {
  ReceivedFrame frame;
  if (receive_frame(link, port, counters, &frame) != 0) {
    return 1;
  }
  return decode_and_handle<Wrapper>(link, fields, frame, handler, waitTime);
}

}  // namespace

int mcu_read_frame(int port, McuMessageHandler handler, timeval* waitTime,
                   LinkCounters* ret_counters) {
  return read_frame<kvt_MCU2ISP>(kMcuLink, kvt_MCU2ISP_fields, port, handler, waitTime,
                                 ret_counters);
}

int modem_read_frame(int port, ModemMessageHandler handler, timeval* waitTime,
                     LinkCounters* ret_counters) {
  return read_frame<kvt_Modem2ISP>(kModemLink, kvt_Modem2ISP_fields, port, handler, waitTime,
                                   ret_counters);
}
