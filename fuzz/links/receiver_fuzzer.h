// Feeds arbitrary bytes to a link's receiver the way the link loop does: byte by byte, and
// every start byte hands the port to the real read_frame. The port holds the input in memory
// (memory_port.h); at its end every read comes back empty at once, as a silent peer's would
// after 0.5 s.
#pragma once

#include <sys/time.h>
#include <unistd.h>

#include <cstddef>
#include <cstdint>

#include "app/links/frame_codec.h"

#include "fuzz/links/memory_port.h"
#include "fuzz/links/message_invariants.h"

namespace fuzz_links {

template <typename Message, typename ReadFrame>
int feed_receiver(const uint8_t* data, std::size_t size, ReadFrame readFrame) {
  const int port = load_port(data, size);
  timeval waitTime{300, 0};
  uint8_t byte = 0;
  while (read(port, &byte, 1) == 1) {
    if (byte == kFrameStartByte) {
      readFrame(
          port, [](const Message& message, timeval*) { check_message(message); }, &waitTime,
          nullptr);
    }
  }
  return 0;
}

}  // namespace fuzz_links
