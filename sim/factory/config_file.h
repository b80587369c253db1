// The camera's configuration file as the board reads and writes it, with code of the board's
// own (the factory writes it before the first wake-up; a season reads what the camera left).
//
// A file is a magic number (34 12 CD AB), a CRC-32 of the body (reflected, polynomial 0xEDB88320,
// starting from 0 and never inverted) and a body of key=value lines. The camera loads the
// primary (cam.cfg), else the backup (cam_backup.cfg), else writes its defaults to both.
#pragma once

#include <array>
#include <cstdint>
#include <map>
#include <string>
#include <string_view>

namespace sim::factory {

using ConfigValues = std::map<std::string, std::string>;

struct ConfigFile {
  bool valid = false;
  std::string problem;  // why it is not valid
  ConfigValues values;
};

// The files on the configuration partition (/config): the primary, then the backup.
inline constexpr std::array<const char*, 2> kConfigFileNames = {"cam.cfg", "cam_backup.cfg"};

// The password holds at most this many characters (the camera keeps it in 32 bytes).
inline constexpr std::size_t kPasswordMaxLength = 31;

// The configuration file's CRC-32 of `body`.
uint32_t config_crc(std::string_view body);

// One configuration file's bytes: header, CRC and key=value lines.
ConfigFile parse_config_file(const std::string& bytes);

// The bytes of a file holding `values`, one line each.
std::string format_config_file(const ConfigValues& values);

// What the camera would load from the configuration partition in `dir`: the primary when valid,
// else the backup; neither: not valid, with both reasons.
ConfigFile read_camera_configuration(const std::string& dir);

// The camera's defaults, as it writes them when both files are damaged: every key of the file.
const ConfigValues& default_configuration();

}  // namespace sim::factory
