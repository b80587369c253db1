// The camera configuration record, shared by all threads; every write holds configLock.
//
// Scalar fields are atomic so that the lock-free reads the threads make are well defined; the
// lock still orders related writes. Text fields and the arrays (schedules, battery
// protections, fuel gauge entries) are read under configLock as well.
#pragma once

#include <atomic>
#include <cstddef>
#include <cstdint>

inline constexpr std::size_t kVersionTextSize = 32;
inline constexpr std::size_t kPasswordSize = 32;
inline constexpr std::size_t kMaxScheduleEntries = 28;
inline constexpr std::size_t kMaxBatteryProtections = 10;
inline constexpr std::size_t kMaxFuelGaugeEntries = 6;

using ConfigValue = std::atomic<int32_t>;
using ConfigByte = std::atomic<uint8_t>;
using ConfigEpoch = std::atomic<int64_t>;

// The keys of the configuration file, in file order. Both the camera's record and the
// server's record hold them, under the keys' names.
struct ConfigFileFields {
  ConfigValue capture_mode{0};
  ConfigValue multishot{0};
  ConfigValue video_length{0};  // seconds
  ConfigValue sync_frequency{0};
  ConfigValue date_format{0};
  ConfigValue time_format{0};
  ConfigByte cellular{0};
  ConfigValue resolution{0};
  ConfigValue detection_delay{0};
  ConfigValue timelapse_delay{0};
  ConfigValue pir_sensitivity{0};
  ConfigValue power_sources[2]{};
  ConfigValue min_free_space_sdcard{0};  // MiB
  ConfigValue preview_width{0};
  ConfigValue jpeg_quality_day{0};
  ConfigValue jpeg_quality_night{0};
  ConfigByte cap_on_nxt_sync{0};
  ConfigValue resizeMethod{0};
  ConfigValue instantModeActive{0};
  ConfigValue orve_model{0};
  ConfigValue temperatureUnit{0};
  ConfigValue warning_light_stat{0};
  ConfigValue warning_light_duration{0};
  ConfigValue warning_light_maxTimeMultiplicator{0};
  ConfigValue warning_light_pattern{0};
  ConfigValue warning_light_closingMechanism{0};
  ConfigByte validation_active{0};
  ConfigByte sdformat_active{0};
  ConfigValue wdLEDStatus{0};
  char encrypt_password[kPasswordSize]{};  // empty: media files are not encrypted
};

struct TimeOfDayValue {
  ConfigValue hour{0};
  ConfigValue minute{0};
};

// Schedule entries, battery protections and fuel gauge entries pass between the server, the
// Modem and the MCU unchanged; the camera does not interpret their fields.
struct ScheduleEntryValue {
  uint32_t day;
  uint32_t startHour;
  uint32_t startMinute;
  uint32_t endHour;
  uint32_t endMinute;
};

struct BatteryProtectionValue {
  uint32_t powerSource;
  bool enabled;
  uint32_t lowerLimit;
  uint32_t upperLimit;
  uint32_t action;
};

struct FuelGaugeEntryValue {
  uint32_t powerSource;
  uint32_t batteryType;
  uint32_t batteryPercent;
  uint32_t capacity;
};

struct PauseConfigValue {
  ConfigValue epoch{0};
  std::atomic<uint32_t> duration{0};
};

struct AdcReading {
  ConfigValue whole{0};
  ConfigValue decimal{0};
};

// The capture-information block the EXIF tagging reads.
struct CaptureInfo {
  ConfigValue year{0};
  ConfigValue month{0};
  ConfigValue day{0};
  ConfigValue hour{0};
  ConfigValue minute{0};
  ConfigValue second{0};
  char ampm[4]{};
  char make[20]{};
  char model[12]{};
  ConfigValue exifExposureTime{0};  // microseconds
  ConfigValue fNumber{0};
  ConfigByte flash{0};
  ConfigValue focalLength{0};  // tenths of a millimetre
  ConfigValue focalLengthIn35mmFilm{0};
  ConfigValue exposureMode{0};
  ConfigValue exifWhiteBalance{0};
  ConfigValue infrared{0};
  char infraredMode[20]{};
  std::atomic<uint16_t> sequenceIndex{0};
  std::atomic<uint16_t> sequenceCount{0};
};

struct CameraConfig : ConfigFileFields {
  // Software version: the first line of /system/opt/version.txt.
  char version[kVersionTextSize]{};
  char mcuVersion[kVersionTextSize]{};

  // Schedules and protections from the server, passed on to the MCU.
  TimeOfDayValue syncTime;
  ConfigValue detectionSchedule_count{0};
  ScheduleEntryValue detectionSchedule[kMaxScheduleEntries]{};
  ConfigValue instantSchedule_count{0};
  ScheduleEntryValue instantSchedule[kMaxScheduleEntries]{};
  PauseConfigValue pauseCameraConfig;
  ConfigValue batteryProtections_count{0};
  BatteryProtectionValue batteryProtections[kMaxBatteryProtections]{};

  // Clock values, seconds since 1970.
  ConfigEpoch rtcEpoch{0};      // the MCU's clock, or the time of the last capture
  ConfigEpoch installEpoch{0};  // the installation date kept by the MCU
  ConfigEpoch modemEpoch{0};    // the clock the Modem last sent
  ConfigEpoch currentEpoch{0};

  // Measurements from the MCU and the Modem.
  AdcReading adcBattery;
  AdcReading adcExternal;
  AdcReading adcPhotodiode;
  ConfigValue fuelGauge_count{0};
  ConfigValue fuelGaugeIndex{0};
  FuelGaugeEntryValue fuelGauge[kMaxFuelGaugeEntries]{};
  ConfigValue signalStrength{0};  // 0..5
  ConfigValue syncStatusValue{0};

  // SD card: state (0 absent, 1 mounted, 2 fault, 3 lent) and free space in MiB.
  ConfigValue sdStatus{0};
  ConfigEpoch primaryFreeMb{0};
  ConfigEpoch secondaryFreeMb{0};

  ConfigValue statusLedBlinkPeriodMs{0};

  CaptureInfo captureInfo;
};

// The configuration as the server sent it, assembled by the configuration intake: the
// source of the file when a server configuration is saved.
struct ServerConfig : ConfigFileFields {};

// Allocated once by start-up; live for the process.
extern CameraConfig* cameraConfig;
extern ServerConfig* serverConfig;
