// The camera's configuration as the board sees it: the two files on the configuration partition
// (/config/cam.cfg and its backup, read here with a reader of the season's own), and the
// configuration the camera should run with, from what the server sent it on the Modem's line.
//
// A file is a magic number (34 12 CD AB), a CRC-32 of the body (reflected, polynomial 0xEDB88320,
// starting from 0 and never inverted) and a body of key=value lines. The camera loads the
// primary, else the backup, else writes its defaults to both.
//
// The server's values are not taken blindly: the camera's intake replaces each out-of-range value
// by a fixed substitute (a multishot of 0 becomes 1, a time-lapse delay below 60 becomes 60,
// any video length becomes 15, ...). What the file must hold is the intake's result.
#pragma once

#include <cstdint>
#include <map>
#include <string>
#include <string_view>
#include <vector>

#include "sim/season/season_check.h"

namespace sim::season {

using ConfigValues = std::map<std::string, std::string>;

struct ConfigFile {
  bool valid = false;
  std::string problem;  // why it is not valid
  ConfigValues values;
};

// The configuration file's CRC-32 of `body`.
uint32_t config_crc(std::string_view body);

// One configuration file's bytes: header, CRC and key=value lines.
ConfigFile parse_config_file(const std::string& bytes);

// What the camera would load from the configuration partition in `dir`: the primary when valid,
// else the backup; neither: not valid, with both reasons.
ConfigFile read_camera_configuration(const std::string& dir);

// The camera's defaults, as it writes them when both files are damaged.
const ConfigValues& default_configuration();

// A protobuf message in text form ("a: 1 b { c: true } d: \"x\"") as flat fields: "a" -> "1",
// "b.c" -> "true", "d" -> "x". A repeated field is also given as "name[i]".
ConfigValues flatten_text_message(std::string_view text);

// The file values the camera's intake makes of a server configuration (flattened).
ConfigValues accepted_configuration(const ConfigValues& sent);

// What the server sent the camera on the Modem's line, in order: each a change of file values.
struct ServerMessage {
  std::string member;  // get_camera_configuration_response, get_crypto_password_response
  ConfigValues change;
};

// The server's messages of interest in lines of the Modem line's record (ttyS0.jsonl).
std::vector<ServerMessage> server_messages(const std::string& jsonLines);

// The configurations the camera may hold. A wake-up that ended in the handshake has taken every
// message the server sent it; one cut short may have saved any prefix of them.
class ConfigExpectation {
 public:
  void wake_ended(const std::vector<ServerMessage>& messages, bool handshake);
  // Invariant 4 after a wake-up that ended in the handshake: the file the camera would load
  // holds one of the expected configurations (and never fell back to the defaults).
  std::vector<Finding> check(const ConfigFile& found, int wake);
  // Whether the server has sent anything the camera must keep.
  bool any() const { return !candidates_.front().empty(); }

 private:
  // The newest first; the front is what a wake-up that took everything leaves.
  std::vector<ConfigValues> candidates_{ConfigValues{}};
};

}  // namespace sim::season
