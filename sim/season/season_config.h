// The camera's configuration as the board sees it: the two files on the configuration partition
// (/config/cam.cfg and its backup, read with the board's own reader, sim/factory/config_file.h),
// and the configuration the camera should run with, from what the server sent it on the Modem's
// line.
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

#include "sim/factory/config_file.h"
#include "sim/season/season_check.h"

namespace sim::season {

using sim::factory::config_crc;
using sim::factory::ConfigFile;
using sim::factory::ConfigValues;
using sim::factory::default_configuration;
using sim::factory::parse_config_file;
using sim::factory::read_camera_configuration;

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
