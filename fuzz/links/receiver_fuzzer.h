// Feeds arbitrary bytes to a link's receiver the way the link loop does: byte by byte, and
// every start byte hands the port to the real read_frame. The port is a pipe holding the input;
// at its end every read comes back empty at once, as a silent peer's would after 0.5 s.
#pragma once

#include <sys/time.h>
#include <unistd.h>

#include <cstddef>
#include <cstdint>

#include "app/links/frame_codec.h"

#include "fuzz/links/message_invariants.h"

namespace fuzz_links {

// A pipe holds this much without a reader.
inline constexpr std::size_t kMaxInput = 60 * 1024;

template <typename Message, typename ReadFrame>
int feed_receiver(const uint8_t* data, std::size_t size, ReadFrame readFrame) {
  if (size > kMaxInput) {
    return 0;
  }
  int ends[2];
  if (pipe(ends) != 0) {
    return 0;
  }
  const bool written = size == 0 || write(ends[1], data, size) == static_cast<ssize_t>(size);
  close(ends[1]);
  if (written) {
    timeval waitTime{300, 0};
    uint8_t byte = 0;
    while (read(ends[0], &byte, 1) == 1) {
      if (byte == kFrameStartByte) {
        readFrame(
            ends[0], [](const Message& message, timeval*) { check_message(message); }, &waitTime,
            nullptr);
      }
    }
  }
  close(ends[0]);
  return 0;
}

}  // namespace fuzz_links
