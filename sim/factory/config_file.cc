#include "sim/factory/config_file.h"

#include <array>
#include <fstream>
#include <iterator>
#include <sstream>

namespace sim::factory {

namespace {

constexpr uint32_t kMagic = 0xABCD1234;

void put_u32_le(std::string* out, uint32_t value) {
  for (int i = 0; i < 4; ++i) {
    out->push_back(static_cast<char>((value >> (8 * i)) & 0xff));
  }
}

std::string read_file(const std::string& path, bool* ret_found) {
  std::ifstream in(path, std::ios::binary);
  *ret_found = static_cast<bool>(in);
  return {std::istreambuf_iterator<char>(in), std::istreambuf_iterator<char>()};
}

uint32_t le32(const std::string& bytes, std::size_t at) {
  uint32_t value = 0;
  for (int i = 3; i >= 0; --i) {
    value = (value << 8) | static_cast<uint8_t>(bytes[at + static_cast<std::size_t>(i)]);
  }
  return value;
}

}  // namespace

uint32_t config_crc(std::string_view body) {
  static const std::array<uint32_t, 256> kTable = [] {
    std::array<uint32_t, 256> table{};
    for (uint32_t n = 0; n < 256; ++n) {
      uint32_t c = n;
      for (int k = 0; k < 8; ++k) {
        c = (c & 1) != 0 ? 0xEDB88320U ^ (c >> 1) : c >> 1;
      }
      table[n] = c;
    }
    return table;
  }();
  uint32_t crc = 0;
  for (const char byte : body) {
    crc = kTable[(crc ^ static_cast<uint8_t>(byte)) & 0xFF] ^ (crc >> 8);
  }
  return crc;
}

ConfigFile parse_config_file(const std::string& bytes) {
  ConfigFile file;
  if (bytes.size() < 8) {
    file.problem = "shorter than its header (" + std::to_string(bytes.size()) + " bytes)";
    return file;
  }
  if (le32(bytes, 0) != kMagic) {
    file.problem = "no magic number";
    return file;
  }
  const std::string_view body = std::string_view(bytes).substr(8);
  if (le32(bytes, 4) != config_crc(body)) {
    file.problem = "its CRC does not match its body";
    return file;
  }
  std::istringstream lines{std::string(body)};
  for (std::string line; std::getline(lines, line);) {
    const std::size_t equals = line.find('=');
    if (equals == std::string::npos) {
      file.problem = "a line without '=': " + line;
      return file;
    }
    file.values[line.substr(0, equals)] = line.substr(equals + 1);
  }
  file.valid = true;
  return file;
}

std::string format_config_file(const ConfigValues& values) {
  std::string body;
  for (const auto& [key, value] : values) {
    body += key + "=" + value + "\n";
  }
  std::string file;
  put_u32_le(&file, kMagic);
  put_u32_le(&file, config_crc(body));
  return file + body;
}

ConfigFile read_camera_configuration(const std::string& dir) {
  std::string problems;
  for (const char* name : kConfigFileNames) {
    bool found = false;
    const std::string bytes = read_file(dir + "/" + name, &found);
    ConfigFile file = found ? parse_config_file(bytes) : ConfigFile{false, "missing", {}};
    if (file.valid) {
      return file;
    }
    problems += (problems.empty() ? "" : ", ") + std::string(name) + ": " + file.problem;
  }
  return {false, problems, {}};
}

const ConfigValues& default_configuration() {
  static const ConfigValues kDefaults = {
      {"capture_mode", "0"},
      {"multishot", "1"},
      {"video_length", "15"},
      {"sync_frequency", "6"},
      {"date_format", "0"},
      {"time_format", "0"},
      {"cellular", "1"},
      {"resolution", "0"},
      {"detection_delay", "10"},
      {"timelapse_delay", "3600"},
      {"pir_sensitivity", "20"},
      {"power_sources[0]", "0"},
      {"power_sources[1]", "0"},
      {"min_free_space_sdcard", "100"},
      {"preview_width", "960"},
      {"jpeg_quality_day", "50"},
      {"jpeg_quality_night", "50"},
      {"cap_on_nxt_sync", "0"},
      {"resizeMethod", "1"},
      {"instantModeActive", "0"},
      {"orve_model", "0"},
      {"temperatureUnit", "0"},
      {"warning_light_stat", "0"},
      {"warning_light_duration", "15"},
      {"warning_light_maxTimeMultiplicator", "5"},
      {"warning_light_pattern", "0"},
      {"warning_light_closingMechanism", "0"},
      {"validation_active", "1"},
      {"sdformat_active", "1"},
      {"wdLEDStatus", "1"},
      {"encrypt_password", ""},
  };
  return kDefaults;
}

}  // namespace sim::factory
