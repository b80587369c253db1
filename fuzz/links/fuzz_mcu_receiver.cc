// The MCU link's receiver on arbitrary bytes.
#include "app/links/frame_receiver.h"

#include "fuzz/links/receiver_fuzzer.h"

extern "C" int LLVMFuzzerTestOneInput(const uint8_t* data, size_t size) {
  return fuzz_links::feed_receiver<kvt_MCU2ISP>(data, size, mcu_read_frame);
}
