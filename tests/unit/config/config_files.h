// Configuration files as the tests build and inspect them.
#pragma once

#include <unistd.h>

#include <cstdint>
#include <string>

#include "app/config/camera_config.h"
#include "app/config/config_crc.h"
#include "app/config/config_store.h"

#include "tests/support/file_lines.h"

namespace config_files {

// The default body, as the camera writes it when it has no configuration.
inline constexpr char kDefaultBody[] =
    "capture_mode=0\nmultishot=1\nvideo_length=15\nsync_frequency=6\ndate_format=0\n"
    "time_format=0\ncellular=1\nresolution=0\ndetection_delay=10\ntimelapse_delay=3600\n"
    "pir_sensitivity=20\npower_sources[0]=0\npower_sources[1]=0\nmin_free_space_sdcard=100\n"
    "preview_width=960\njpeg_quality_day=50\njpeg_quality_night=50\ncap_on_nxt_sync=0\n"
    "resizeMethod=1\ninstantModeActive=0\norve_model=0\ntemperatureUnit=0\n"
    "warning_light_stat=0\nwarning_light_duration=15\nwarning_light_maxTimeMultiplicator=5\n"
    "warning_light_pattern=0\nwarning_light_closingMechanism=0\nvalidation_active=1\n"
    "sdformat_active=1\nwdLEDStatus=1\nencrypt_password=\n";

// Magic number 34 12 CD AB, the checksum of the body (little-endian), the body.
inline std::string file_with_body(const std::string& body) {
  uint32_t crc = config_crc32(body.data(), body.size());
  std::string bytes = "\x34\x12\xCD\xAB";
  for (int i = 0; i < 4; ++i) {
    bytes += static_cast<char>(crc >> (8 * i));
  }
  return bytes + body;
}

using test_support::read_file;
using test_support::write_file;

inline std::string body_of(const std::string& file) {
  return file.size() >= kConfigHeaderSize ? file.substr(kConfigHeaderSize) : "";
}

inline void remove_both() {
  unlink(kConfigPath);
  unlink(kConfigBackupPath);
}

}  // namespace config_files
