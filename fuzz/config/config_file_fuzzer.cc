// The configuration file is outside input: whatever a file holds, the store checks its header
// and checksum and parses its lines without a fault, and keeps the password a text that fits.
#include <cstddef>
#include <cstdint>
#include <cstdlib>
#include <cstring>
#include <memory>

#include "app/config/camera_config.h"
#include "app/config/config_crc.h"
#include "app/config/config_store.h"

#include "fuzz/config/memory_file.h"

extern "C" int LLVMFuzzerTestOneInput(const uint8_t* data, size_t size) {
  auto record = std::make_unique<CameraConfig>();
  // As it comes: mostly a header or checksum failure.
  const char* path = fuzz_support::memory_file(data, size);
  if (config_check_path(path) == 0) {
    config_parse_path(path, record.get());
  }
  // The same bytes as a body under a correct header, so that every input reaches the parser.
  std::string content = "\x34\x12\xCD\xAB";
  const uint32_t crc = config_crc32(data, size);
  for (int i = 0; i < 4; ++i) {
    content += static_cast<char>(crc >> (8 * i));
  }
  content.append(reinterpret_cast<const char*>(data), size);
  path = fuzz_support::memory_file(content.data(), content.size());
  if (crc != 0xFFFFFFFFu && config_check_path(path) != 0) {
    abort();  // a correct header and checksum must pass
  }
  config_parse_path(path, record.get());
  if (strnlen(record->encrypt_password, kPasswordSize) >= kPasswordSize) {
    abort();
  }
  return 0;
}
