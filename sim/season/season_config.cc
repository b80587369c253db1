#include "sim/season/season_config.h"

#include <algorithm>
#include <array>
#include <cstdlib>
#include <fstream>
#include <iterator>
#include <sstream>
#include <utility>

#include <nlohmann/json.hpp>

namespace sim::season {

namespace {

// The file writes every number as a signed 32-bit decimal.
std::string as_written(int64_t value) {
  return std::to_string(static_cast<int32_t>(static_cast<uint32_t>(value)));
}

std::string flag(const std::string& text) {
  return text == "true" || (text != "false" && text != "0" && !text.empty()) ? "1" : "0";
}

// How the intake turns one received number into the stored one.
enum class Rule {
  kBelow4,
  kDelay,
  kTimelapse,
  kMultishot,
  kBelow256,
  kAlways15,
  kSyncFrequency,
  kZeroOrOne,
  kFlag,
  kPreviewWidth,
  kQuality,
  kResize,
  kMinFree,
  kLightDuration,
  kNotZeroElse5,
  kZeroToTwo,
  kZeroOrOneElse1
};

struct IntakeField {
  std::string_view sent;  // the message's field, flattened
  std::string_view key;   // the file's key
  Rule rule;
};

constexpr std::array kIntake = {
    IntakeField{"captureMode", "capture_mode", Rule::kBelow4},
    IntakeField{"detectionDelay", "detection_delay", Rule::kDelay},
    IntakeField{"timelapseDelay", "timelapse_delay", Rule::kTimelapse},
    IntakeField{"multishot", "multishot", Rule::kMultishot},
    IntakeField{"pirSensitivity", "pir_sensitivity", Rule::kBelow256},
    IntakeField{"videoLength", "video_length", Rule::kAlways15},
    IntakeField{"syncFrequency", "sync_frequency", Rule::kSyncFrequency},
    IntakeField{"dateFormat", "date_format", Rule::kZeroOrOne},
    IntakeField{"timeFormat", "time_format", Rule::kZeroOrOne},
    IntakeField{"powerSources[0]", "power_sources[0]", Rule::kZeroOrOne},
    IntakeField{"powerSources[1]", "power_sources[1]", Rule::kZeroOrOne},
    IntakeField{"photoResolution", "resolution", Rule::kZeroOrOne},
    IntakeField{"temperatureUnit", "temperatureUnit", Rule::kZeroOrOne},
    IntakeField{"cellular", "cellular", Rule::kFlag},
    IntakeField{"cap_on_nxt_sync", "cap_on_nxt_sync", Rule::kFlag},
    IntakeField{"smallPicWidth", "preview_width", Rule::kPreviewWidth},
    IntakeField{"jpegSettings.jpegQualityFactorDay", "jpeg_quality_day", Rule::kQuality},
    IntakeField{"jpegSettings.jpegQualityFactorNight", "jpeg_quality_night", Rule::kQuality},
    IntakeField{"jpegSettings.ResizeMethod", "resizeMethod", Rule::kResize},
    IntakeField{"minFreeSpaceSDCard", "min_free_space_sdcard", Rule::kMinFree},
    IntakeField{"instantModeActive", "instantModeActive", Rule::kZeroOrOne},
    IntakeField{"warningLEDConfig.active", "warning_light_stat", Rule::kFlag},
    IntakeField{"warningLEDConfig.timing.duration", "warning_light_duration", Rule::kLightDuration},
    IntakeField{"warningLEDConfig.timing.maxTimeMultiplicator",
                "warning_light_maxTimeMultiplicator", Rule::kNotZeroElse5},
    IntakeField{"warningLEDConfig.pattern", "warning_light_pattern", Rule::kZeroToTwo},
    IntakeField{"warningLEDConfig.closingMechanism", "warning_light_closingMechanism",
                Rule::kZeroToTwo},
    IntakeField{"wdLEDStatus", "wdLEDStatus", Rule::kZeroOrOneElse1},
};

std::string intake(Rule rule, const std::string& text) {
  if (rule == Rule::kFlag) {
    return flag(text);
  }
  const uint64_t v = std::strtoull(text.c_str(), nullptr, 10);
  switch (rule) {
    case Rule::kBelow4:
      return as_written(v < 4 ? v : 0);
    case Rule::kDelay:
      return as_written(v > 3600 ? 10 : v);
    case Rule::kTimelapse:
      return as_written(std::clamp<uint64_t>(v, 60, 86400));
    case Rule::kMultishot:
      return as_written(v >= 1 && v <= 3 ? v : 1);
    case Rule::kBelow256:
      return as_written(v < 256 ? v : 20);
    case Rule::kAlways15:
      return "15";
    case Rule::kSyncFrequency:
      return as_written(v == 0 || v == 1 || v == 2 || v == 4 || v == 6 || v == 12 ? v : 6);
    case Rule::kZeroOrOne:
      return as_written(v <= 1 ? v : 0);
    case Rule::kPreviewWidth: {
      const uint64_t width = v >= 640 && v <= 960 ? v : 960;
      return as_written(width % 2 == 1 ? width + 1 : width);
    }
    case Rule::kQuality:
      return as_written(v >= 1 && v <= 100 ? v : 50);
    case Rule::kResize:
      return as_written(v < 3 ? v : 1);
    case Rule::kMinFree:
      return as_written(v == 0 ? 100 : v);
    case Rule::kLightDuration:
      return as_written(v <= 1 ? v : 15);
    case Rule::kNotZeroElse5:
      return as_written(v == 0 ? 5 : v);
    case Rule::kZeroToTwo:
      return as_written(v <= 2 ? v : 0);
    case Rule::kZeroOrOneElse1:
      return as_written(v <= 1 ? v : 1);
    case Rule::kFlag:
      break;
  }
  return text;
}

// A quoted string of the text form from `at` (on the opening quote), its escapes undone.
std::string unquote(std::string_view text, std::size_t* at) {
  std::string out;
  std::size_t i = *at + 1;
  for (; i < text.size() && text[i] != '"'; ++i) {
    if (text[i] != '\\' || i + 1 >= text.size()) {
      out += text[i];
      continue;
    }
    const char c = text[++i];
    if (c >= '0' && c <= '7') {
      int value = 0;
      for (int n = 0; n < 3 && i < text.size() && text[i] >= '0' && text[i] <= '7'; ++n, ++i) {
        value = value * 8 + (text[i] - '0');
      }
      --i;
      out += static_cast<char>(value);
    } else {
      out += c == 'n' ? '\n' : c == 't' ? '\t' : c == 'r' ? '\r' : c;
    }
  }
  *at = i + 1;
  return out;
}

}  // namespace

ConfigValues flatten_text_message(std::string_view text) {
  ConfigValues fields;
  std::map<std::string, int> seen;
  std::vector<std::string> prefix;
  const auto path = [&prefix](const std::string& name) {
    std::string joined;
    for (const std::string& part : prefix) {
      joined += part + ".";
    }
    return joined + name;
  };
  const auto put = [&](const std::string& name, const std::string& value) {
    const std::string key = path(name);
    fields[key] = value;
    fields[key + "[" + std::to_string(seen[key]++) + "]"] = value;
  };
  std::size_t i = 0;
  while (i < text.size()) {
    if (text[i] == ' ') {
      ++i;
    } else if (text[i] == '}') {
      if (!prefix.empty()) {
        prefix.pop_back();
      }
      ++i;
    } else {
      const std::size_t end = text.find_first_of(" :{", i);
      const std::string name(text.substr(i, end - i));
      i = end == std::string_view::npos ? text.size() : end;
      while (i < text.size() && text[i] == ' ') {
        ++i;
      }
      if (i < text.size() && text[i] == '{') {
        prefix.push_back(name);
        ++i;
        continue;
      }
      if (i >= text.size() || text[i] != ':') {
        break;
      }
      ++i;
      while (i < text.size() && text[i] == ' ') {
        ++i;
      }
      if (i < text.size() && text[i] == '"') {
        put(name, unquote(text, &i));
      } else {
        const std::size_t stop = std::min(text.find_first_of(" }", i), text.size());
        put(name, std::string(text.substr(i, stop - i)));
        i = stop;
      }
    }
  }
  return fields;
}

ConfigValues accepted_configuration(const ConfigValues& sent) {
  ConfigValues stored;
  for (const IntakeField& field : kIntake) {
    const auto value = sent.find(std::string(field.sent));
    if (value != sent.end()) {
      stored[std::string(field.key)] = intake(field.rule, value->second);
    }
  }
  return stored;
}

std::vector<ServerMessage> server_messages(const std::string& jsonLines) {
  std::vector<ServerMessage> messages;
  std::istringstream lines(jsonLines);
  for (std::string line; std::getline(lines, line);) {
    const nlohmann::json record = nlohmann::json::parse(line, nullptr, false);
    if (!record.is_object() || record.value("from", "") != "modem" ||
        record.value("to", "") != "camera" || !record.value("sent", false)) {
      continue;
    }
    const std::string member = record.value("member", "");
    const ConfigValues fields = flatten_text_message(record.value("detail", ""));
    if (member == "get_camera_configuration_response") {
      messages.push_back({member, accepted_configuration(fields)});
    } else if (member == "get_crypto_password_response") {
      const auto password = fields.find("password");
      messages.push_back(
          {member, {{"encrypt_password", password == fields.end() ? "" : password->second}}});
    }
  }
  return messages;
}

void ConfigExpectation::wake_ended(const std::vector<ServerMessage>& messages, bool handshake) {
  std::vector<ConfigValues> next;
  for (const ConfigValues& candidate : candidates_) {
    ConfigValues changed = candidate;
    std::vector<ConfigValues> prefixes;
    for (const ServerMessage& message : messages) {
      for (const auto& [key, value] : message.change) {
        changed[key] = value;
      }
      prefixes.push_back(changed);
    }
    next.push_back(changed);
    if (!handshake) {
      // Cut short: any prefix of the messages, none included, may be what was saved.
      next.insert(next.end(), prefixes.rbegin(), prefixes.rend());
      next.push_back(candidate);
    }
  }
  candidates_.clear();
  for (ConfigValues& candidate : next) {
    if (std::find(candidates_.begin(), candidates_.end(), candidate) == candidates_.end()) {
      candidates_.push_back(std::move(candidate));
    }
  }
}

std::vector<Finding> ConfigExpectation::check(const ConfigFile& found, int wake) {
  const std::string prefix = "wake-up " + std::to_string(wake) + ": ";
  if (!found.valid) {
    return {{4, prefix + "neither configuration file is valid (" + found.problem +
                    "): the camera will fall back to its defaults"}};
  }
  const auto matches = [&found](const ConfigValues& candidate) {
    return std::all_of(candidate.begin(), candidate.end(), [&found](const auto& entry) {
      const auto value = found.values.find(entry.first);
      return value != found.values.end() && value->second == entry.second;
    });
  };
  const auto match = std::find_if(candidates_.begin(), candidates_.end(), matches);
  if (match != candidates_.end()) {
    // What the camera holds now is the one base for what comes next.
    ConfigValues kept = *match;
    candidates_ = {std::move(kept)};
    return {};
  }
  std::vector<Finding> findings;
  const ConfigValues& expected = candidates_.front();
  bool defaults = true;
  for (const auto& [key, value] : default_configuration()) {
    const auto has = found.values.find(key);
    defaults = defaults && has != found.values.end() && has->second == value;
  }
  if (defaults) {
    findings.push_back(
        {4, prefix + "the configuration fell back to the defaults though no file was damaged"});
  }
  for (const auto& [key, value] : expected) {
    const auto has = found.values.find(key);
    const std::string got = has == found.values.end() ? "(no such key)" : "'" + has->second + "'";
    if (has == found.values.end() || has->second != value) {
      findings.push_back({4, prefix + key + ": expected '" + value +
                                 "' (the server's last accepted value), found " + got});
    }
  }
  return findings;
}

}  // namespace sim::season
