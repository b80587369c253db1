// The keys of the configuration file: name, field, what the loader accepts, default value
// and the line the loader logs when it refuses or takes a value. One row per key, in file
// order.
#pragma once

#include <array>
#include <cstdint>

#include "app/config/camera_config.h"
#include "app/records/log/app_log.h"

// What the loader accepts for a key.
enum class KeyRule : uint8_t {
  kAny,           // any base-10 number
  kRange,         // lowest..highest, tested unsigned: a negative value is refused
  kNonNegative,   // >= 0, tested signed
  kNonZeroIsOne,  // any number; stored as 1 when it is not 0
  kDigitsRange,   // lowest..highest, and the value must be all digits
  kText,          // text, cut to the field
};

// Where a key's value lives in a record.
struct FieldRef {
  enum class Kind : uint8_t { kInt, kByte, kPowerSource, kPassword };
  Kind kind;
  ConfigValue ConfigFileFields::*int_field = nullptr;
  ConfigByte ConfigFileFields::*byte_field = nullptr;
  int element = 0;
};

constexpr FieldRef int_field(ConfigValue ConfigFileFields::*field) {
  return {FieldRef::Kind::kInt, field, nullptr, 0};
}
constexpr FieldRef byte_field(ConfigByte ConfigFileFields::*field) {
  return {FieldRef::Kind::kByte, nullptr, field, 0};
}
constexpr FieldRef power_source(int element) {
  return {FieldRef::Kind::kPowerSource, nullptr, nullptr, element};
}
constexpr FieldRef password_field() {
  return {FieldRef::Kind::kPassword};
}

struct ConfigKey {
  const char* name;
  FieldRef field;
  KeyRule rule;
  unsigned long lowest;  // for kRange and kDigitsRange
  unsigned long highest;
  int32_t defaultValue;
  const char* refusal;      // logged at ERR when the value is refused
  const char* takenFormat;  // logged with the value when it is taken, or null
  int takenLevel;
  bool keptFromCamera;  // saved from the camera's record even when the server's is saved
};

// warning_light_pattern is taken up to 2, like the closing mechanism: the server's pattern 2
// (blinking) is stored as sent, and a file the camera wrote itself must always load again.
namespace config_key_rows {

using F = ConfigFileFields;

// clang-format off
inline constexpr std::array<ConfigKey, 31> kRows = {{
  {"capture_mode", int_field(&F::capture_mode), KeyRule::kRange, 0, 3, 0, "Config:Invalid value for capture mode", nullptr, LEVEL_INFO, false},
  {"multishot", int_field(&F::multishot), KeyRule::kRange, 1, 3, 1, "Config:Invalid value for multishot", nullptr, LEVEL_INFO, false},
  {"video_length", int_field(&F::video_length), KeyRule::kRange, 0, 60, 15, "Config:Invalid value for video length", nullptr, LEVEL_INFO, false},
  {"sync_frequency", int_field(&F::sync_frequency), KeyRule::kRange, 0, 12, 6, "Config:Invalid value for sync frequency", nullptr, LEVEL_INFO, false},
  {"date_format", int_field(&F::date_format), KeyRule::kRange, 0, 1, 0, "Config:Invalid value for date format ", nullptr, LEVEL_INFO, false},
  {"time_format", int_field(&F::time_format), KeyRule::kRange, 0, 1, 0, "Config:Invalid value for time format", nullptr, LEVEL_INFO, false},
  {"cellular", byte_field(&F::cellular), KeyRule::kRange, 0, 1, 1, "Config:Invalid value for cellular", nullptr, LEVEL_INFO, false},
  {"resolution", int_field(&F::resolution), KeyRule::kRange, 0, 1, 0, "Config:Invalid value for resolution", nullptr, LEVEL_INFO, false},
  {"detection_delay", int_field(&F::detection_delay), KeyRule::kAny, 0, 0, 10, nullptr, nullptr, LEVEL_INFO, false},
  {"timelapse_delay", int_field(&F::timelapse_delay), KeyRule::kAny, 0, 0, 3600, nullptr, nullptr, LEVEL_INFO, false},
  {"pir_sensitivity", int_field(&F::pir_sensitivity), KeyRule::kAny, 0, 0, 20, nullptr, nullptr, LEVEL_INFO, false},
  {"power_sources[0]", power_source(0), KeyRule::kRange, 0, 1, 0, "Config:Invalid value for Power Source", nullptr, LEVEL_INFO, false},
  {"power_sources[1]", power_source(1), KeyRule::kRange, 0, 1, 0, "Config:Invalid value for Power Source", nullptr, LEVEL_INFO, false},
  {"min_free_space_sdcard", int_field(&F::min_free_space_sdcard), KeyRule::kAny, 0, 0, 100, nullptr, "Free space sd threshold(minFreeSpaceSDCard) =%d", LEVEL_INFO, false},
  {"preview_width", int_field(&F::preview_width), KeyRule::kAny, 0, 0, 960, nullptr, "preview_width for photo preview jpeg : %d", LEVEL_INFO, false},
  {"jpeg_quality_day", int_field(&F::jpeg_quality_day), KeyRule::kAny, 0, 0, 50, nullptr, "quality factor for JPEG compression (Day) : %d", LEVEL_INFO, false},
  {"jpeg_quality_night", int_field(&F::jpeg_quality_night), KeyRule::kAny, 0, 0, 50, nullptr, "quality factor for JPEG compression (Night) : %d", LEVEL_INFO, false},
  {"cap_on_nxt_sync", byte_field(&F::cap_on_nxt_sync), KeyRule::kNonZeroIsOne, 0, 0, 0, nullptr, nullptr, LEVEL_INFO, false},
  {"resizeMethod", int_field(&F::resizeMethod), KeyRule::kAny, 0, 0, 1, nullptr, nullptr, LEVEL_INFO, false},
  {"instantModeActive", int_field(&F::instantModeActive), KeyRule::kRange, 0, 1, 0, "Config:Invalid value for InstantModeActive", nullptr, LEVEL_INFO, true},
  {"orve_model", int_field(&F::orve_model), KeyRule::kNonNegative, 0, 0, 0, "Config:Invalid value for Orve_Model_f", nullptr, LEVEL_INFO, true},
  {"temperatureUnit", int_field(&F::temperatureUnit), KeyRule::kRange, 0, 1, 0, "Config:Invalid value for TemperatureUnit", nullptr, LEVEL_INFO, false},
  {"warning_light_stat", int_field(&F::warning_light_stat), KeyRule::kRange, 0, 1, 0, "Config:Invalid value for warning_light_stat", nullptr, LEVEL_INFO, false},
  {"warning_light_duration", int_field(&F::warning_light_duration), KeyRule::kNonNegative, 0, 0, 15, "Config:Invalid value for warning_light_duration", nullptr, LEVEL_INFO, false},
  {"warning_light_maxTimeMultiplicator", int_field(&F::warning_light_maxTimeMultiplicator), KeyRule::kNonNegative, 0, 0, 5, "Config:Invalid value for warning_light_maxTimeMultiplicator", nullptr, LEVEL_INFO, false},
  {"warning_light_pattern", int_field(&F::warning_light_pattern), KeyRule::kRange, 0, 2, 0, "Config:Invalid value for warning_light_pattern", nullptr, LEVEL_INFO, false},
  {"warning_light_closingMechanism", int_field(&F::warning_light_closingMechanism), KeyRule::kRange, 0, 2, 0, "Config:Invalid value for warning_light_closingMechanism", nullptr, LEVEL_INFO, false},
  {"validation_active", byte_field(&F::validation_active), KeyRule::kRange, 0, 1, 1, "Config:Invalid value for ValidationActive", nullptr, LEVEL_INFO, false},
  {"sdformat_active", byte_field(&F::sdformat_active), KeyRule::kRange, 0, 1, 1, "Config:Invalid value for FormatActive", nullptr, LEVEL_INFO, false},
  {"wdLEDStatus", int_field(&F::wdLEDStatus), KeyRule::kDigitsRange, 0, 1, 1, "Config: Invalid value for wdLEDStatus", "Config: wdLEDStatus: %d", LEVEL_DEBUG, false},
  {"encrypt_password", password_field(), KeyRule::kText, 0, 0, 0, nullptr, nullptr, LEVEL_INFO, false},
}};
// clang-format on

}  // namespace config_key_rows

inline constexpr const std::array<ConfigKey, 31>& kConfigKeys = config_key_rows::kRows;

// The value of an integer key in `record`.
int32_t config_field_value(const ConfigFileFields& record, const FieldRef& field);
// Stores an integer value (cut to the field's width).
void set_config_field(ConfigFileFields& record, const FieldRef& field, int32_t value);
// Sets every key of `record` to its default value.
void config_set_defaults(ConfigFileFields& record);
// Copies every key from `source` to `target`.
void config_copy_fields(const ConfigFileFields& source, ConfigFileFields& target);
