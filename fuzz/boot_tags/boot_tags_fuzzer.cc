// The kernel command line is outside input: whatever /proc/cmdline holds, it is read into the
// bounded buffer the way start-up reads it and parsed without a fault.
#include <cstddef>
#include <cstdint>
#include <cstdlib>
#include <string>

#include "app/records/boot_tag_parse.h"

#include "fuzz/config/memory_file.h"

extern "C" int LLVMFuzzerTestOneInput(const uint8_t* data, size_t size) {
  std::string text;
  if (read_cmdline_text(fuzz_support::memory_file(data, size), text) != 0 ||
      text.size() >= kCmdlineBufferSize) {
    abort();
  }
  // A line that fits is kept whole.
  if (size < kCmdlineBufferSize && text.size() != size) {
    abort();
  }
  BootTagValues values = parse_boot_tags(text);
  // The summary start-up logs is built from every value.
  volatile std::size_t length = describe_boot_tags(values).size();
  (void)length;
  return 0;
}
