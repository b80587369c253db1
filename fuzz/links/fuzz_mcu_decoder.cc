// The MCU link's inbound wrapper decoder on arbitrary payloads.
#include "fuzz/links/decoder_fuzzer.h"

extern "C" int LLVMFuzzerTestOneInput(const uint8_t* data, size_t size) {
  return fuzz_links::decode<kvt_MCU2ISP>(kvt_MCU2ISP_fields, data, size);
}
