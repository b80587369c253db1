// Decodes arbitrary bytes as a link's inbound wrapper, as the receiver does with a frame's
// payload: into a zeroed record with the wrapper's descriptor.
#pragma once

#include <pb_decode.h>

#include <cstddef>
#include <cstdint>
#include <cstring>

#include "fuzz/links/message_invariants.h"

namespace fuzz_links {

template <typename Message>
int decode(const pb_msgdesc_t* fields, const uint8_t* data, std::size_t size) {
  static Message message;
  memset(&message, 0, sizeof message);
  pb_istream_t stream = pb_istream_from_buffer(data, size);
  if (pb_decode(&stream, fields, &message)) {
    check_message(message);
  }
  return 0;
}

}  // namespace fuzz_links
