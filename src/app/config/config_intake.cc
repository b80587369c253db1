#include "app/config/config_intake.h"

#include <array>
#include <cstdint>
#include <cstdio>
#include <cstdlib>

#include "app/config/camera_config.h"
#include "app/config/config_store.h"
#include "app/records/log/app_log.h"
#include "app/system/core/shell.h"
#include "app/system/core/sys_info.h"

namespace {

// The sync frequencies the MCU knows; any other becomes the default of 6.
constexpr std::array<uint32_t, 6> kSyncFrequencies = {0, 1, 2, 4, 6, 12};
constexpr uint32_t kDefaultSyncFrequency = 6;

uint32_t zero_or_one(uint32_t value) {
  return value <= 1 ? value : 0;
}
uint32_t below_or_zero(uint32_t value, uint32_t limit) {
  return value < limit ? value : 0;
}

uint32_t sync_frequency(uint32_t value) {
  for (uint32_t known : kSyncFrequencies) {
    if (value == known) {
      return value;
    }
  }
  return kDefaultSyncFrequency;
}

uint32_t quality(uint32_t value) {
  return value >= 1 && value <= 100 ? value : 50;
}

void take_capture_settings(const CameraConfigurationResponse& message, ServerConfig& server) {
  server.capture_mode = static_cast<int32_t>(message.captureMode < 4 ? message.captureMode : 0);
  run_shell(server.capture_mode == 1 ? "tag_env_info --set dovu cap_mode 1"
                                     : "tag_env_info --set dovu cap_mode 0");
  // Out of range becomes the ordinary delay, not the limit.
  server.detection_delay =
      static_cast<int32_t>(message.detectionDelay > 3600 ? 10 : message.detectionDelay);
  uint32_t timelapse = message.timelapseDelay;
  timelapse = timelapse < 60 ? 60 : (timelapse > 86400 ? 86400 : timelapse);
  server.timelapse_delay = static_cast<int32_t>(timelapse);
  server.multishot = static_cast<int32_t>(
      message.multishot >= 1 && message.multishot <= 3 ? message.multishot : 1);
  server.pir_sensitivity =
      static_cast<int32_t>(message.pirSensitivity < 256 ? message.pirSensitivity : 20);
  // The camera records videos of 15 s whatever the server asks.
  server.video_length = 15;
  server.sync_frequency = static_cast<int32_t>(sync_frequency(message.syncFrequency));
}

void take_display_settings(const CameraConfigurationResponse& message, ServerConfig& server) {
  server.date_format = static_cast<int32_t>(zero_or_one(message.dateFormat));
  server.time_format = static_cast<int32_t>(zero_or_one(message.timeFormat));
  server.power_sources[0] = static_cast<int32_t>(zero_or_one(message.powerSources[0]));
  server.power_sources[1] = static_cast<int32_t>(zero_or_one(message.powerSources[1]));
  server.resolution = static_cast<int32_t>(zero_or_one(message.photoResolution));
  server.temperatureUnit = static_cast<int32_t>(zero_or_one(message.temperatureUnit));
  server.cellular = message.cellular ? 1 : 0;
  server.cap_on_nxt_sync = message.cap_on_nxt_sync ? 1 : 0;
  server.preview_width = static_cast<int32_t>(
      message.smallPicWidth >= 640 && message.smallPicWidth <= 960 ? message.smallPicWidth : 960);
}

void take_jpeg_settings(const CameraConfigurationResponse& message, ServerConfig& server) {
  if (message.has_jpegSettings) {
    const JpegSettings& jpeg = message.jpegSettings;
    server.jpeg_quality_day = static_cast<int32_t>(quality(jpeg.jpegQualityFactorDay));
    server.jpeg_quality_night = static_cast<int32_t>(quality(jpeg.jpegQualityFactorNight));
    clamp_jpeg_quality();
    server.resizeMethod = static_cast<int32_t>(jpeg.ResizeMethod < 3 ? jpeg.ResizeMethod : 1);
    return;
  }
  // Without them the qualities in force stay, and so does the resize method.
  server.jpeg_quality_day = cameraConfig->jpeg_quality_day.load();
  server.jpeg_quality_night = cameraConfig->jpeg_quality_night.load();
}

void take_warning_light(const WarningLedConfig& light, ServerConfig& server) {
  server.warning_light_stat = light.active ? 1 : 0;
  server.warning_light_duration =
      static_cast<int32_t>(light.timing.duration <= 1 ? light.timing.duration : 15);
  // 0, and a value the file cannot hold as a non-negative number, become the default.
  const uint32_t multiplicator = light.timing.maxTimeMultiplicator;
  server.warning_light_maxTimeMultiplicator =
      static_cast<int32_t>(multiplicator == 0 || multiplicator > INT32_MAX ? 5 : multiplicator);
  server.warning_light_pattern = static_cast<int32_t>(light.pattern <= 2 ? light.pattern : 0);
  server.warning_light_closingMechanism =
      static_cast<int32_t>(light.closingMechanism <= 2 ? light.closingMechanism : 0);
  run_shellf("tag_env_info --set warn_led warn_active %d", server.warning_light_stat.load());
  run_shellf("tag_env_info --set warn_led warn_duration %d", server.warning_light_duration.load());
  run_shellf("tag_env_info --set warn_led warn_mtm %d",
             server.warning_light_maxTimeMultiplicator.load());
  run_shellf("tag_env_info --set warn_led warn_pattern %d", server.warning_light_pattern.load());
  run_shellf("tag_env_info --set warn_led warn_closemech %d",
             server.warning_light_closingMechanism.load());
}

void set_ir_glow(uint32_t mode) {
  const int glow = mode != 0 ? 1 : 0;
  app_log(MOD_MODEM_UART, LEVEL_INFO, "setting IR glow state: %s", glow ? "lowglow" : "noglow");
  // Run by the shell directly: a failure here is not worth a log line.
  char command[64];
  snprintf(command, sizeof command, "tag_env_info --set dovu dovu_glow %d", glow);
  int ignored = system(command);
  (void)ignored;
}

void set_wd_led_status(uint32_t value, ServerConfig& server) {
  const int32_t status = value <= 1 ? static_cast<int32_t>(value) : 1;
  {
    SemLock lock(&configLock);
    cameraConfig->wdLEDStatus = status;
    server.wdLEDStatus = status;
  }
  app_log(MOD_MODEM_UART, LEVEL_INFO, "setting WDM reboot led status: %s",
          status == 1 ? "blinking_disabled" : "blinking_enabled");
}

void copy_schedule(const ScheduleEntry* entries, pb_size_t count, ScheduleEntryValue* ret_entries,
                   ConfigValue& ret_count) {
  ret_count = count;
  for (pb_size_t i = 0; i < count && i < kMaxScheduleEntries; ++i) {
    ret_entries[i] = {
        below_or_zero(entries[i].day, 8), below_or_zero(entries[i].startTime.hour, 24),
        below_or_zero(entries[i].startTime.minute, 60), below_or_zero(entries[i].endTime.hour, 24),
        below_or_zero(entries[i].endTime.minute, 60)};
  }
}

// The run-time parts go straight into the camera's record.
void take_run_time_values(const CameraConfigurationResponse& message) {
  SemLock lock(&configLock);
  cameraConfig->syncTime.hour = static_cast<int32_t>(below_or_zero(message.syncTime.hour, 24));
  cameraConfig->syncTime.minute = static_cast<int32_t>(below_or_zero(message.syncTime.minute, 60));
  copy_schedule(message.detectionSchedule, message.detectionSchedule_count,
                cameraConfig->detectionSchedule, cameraConfig->detectionSchedule_count);
  copy_schedule(message.instantSchedule, message.instantSchedule_count,
                cameraConfig->instantSchedule, cameraConfig->instantSchedule_count);
  cameraConfig->instantModeActive = static_cast<int32_t>(zero_or_one(message.instantModeActive));
  cameraConfig->pauseCameraConfig.epoch = message.pauseCameraConfig.epoch;
  cameraConfig->pauseCameraConfig.duration = message.pauseCameraConfig.duration;
  app_log(MOD_MODEM_UART, LEVEL_INFO,
          "pSysInfo->pauseCameraConfig.epoch : %d pSysInfo->pauseCameraConfig.duration : %d ",
          cameraConfig->pauseCameraConfig.epoch.load(),
          static_cast<int>(cameraConfig->pauseCameraConfig.duration.load()));
  cameraConfig->batteryProtections_count = message.batteryProtections_count;
  for (pb_size_t i = 0; i < message.batteryProtections_count && i < kMaxBatteryProtections; ++i) {
    const BatteryProtection& rule = message.batteryProtections[i];
    cameraConfig->batteryProtections[i] = {rule.powerSource, rule.enabled, rule.lowerLimit,
                                           rule.upperLimit, rule.action};
  }
}

void log_saved_configuration(const ServerConfig& server, bool with_jpeg) {
  const CameraConfig& camera = *cameraConfig;
  app_log(MOD_MODEM_UART, LEVEL_INFO,
          "Config:\ncaptureMode : %lu , detectionDelay : %lu , timelapseDelay : %lu , multishot : "
          "%lu , pirSensitivity : %lu , videoLength : %lu , syncTime.hour : %lu , "
          "syncTime.minute : %lu , syncFrequency : %lu , detectionSchedule_count : %lu , "
          "instantSchedule_count : %lu , dateFormat : %d , timeFormat : %d , powerSources[0] : "
          "%d , powerSources[1] : %d , cellular  : %d , photoResolution  : %d, smallPicWidth : "
          "%d, cap_on_nxt_sync : %d, minFreeSpaceSDCard : %d , instantModeActive : %d, "
          "temperatureUnit : %d, warningLEDConfig-active : %d, warningLEDConfig-duration : %d, "
          "warningLEDConfig-maxTimeMultiplicator : %d, warningLEDConfig-pattern : %d, "
          "warningLEDConfig-closingMechanism : %d, batteryProtections_count : %d",
          static_cast<unsigned long>(server.capture_mode),
          static_cast<unsigned long>(server.detection_delay),
          static_cast<unsigned long>(server.timelapse_delay),
          static_cast<unsigned long>(server.multishot),
          static_cast<unsigned long>(server.pir_sensitivity),
          static_cast<unsigned long>(server.video_length),
          static_cast<unsigned long>(camera.syncTime.hour),
          static_cast<unsigned long>(camera.syncTime.minute),
          static_cast<unsigned long>(server.sync_frequency),
          static_cast<unsigned long>(camera.detectionSchedule_count),
          static_cast<unsigned long>(camera.instantSchedule_count), server.date_format.load(),
          server.time_format.load(), server.power_sources[0].load(), server.power_sources[1].load(),
          static_cast<int>(server.cellular.load()), server.resolution.load(),
          server.preview_width.load(), static_cast<int>(server.cap_on_nxt_sync.load()),
          server.min_free_space_sdcard.load(), camera.instantModeActive.load(),
          server.temperatureUnit.load(), server.warning_light_stat.load(),
          server.warning_light_duration.load(), server.warning_light_maxTimeMultiplicator.load(),
          server.warning_light_pattern.load(), server.warning_light_closingMechanism.load(),
          camera.batteryProtections_count.load());
  if (with_jpeg) {
    app_log(MOD_MODEM_UART, LEVEL_INFO,
            ", jpegQualityFactorDay : %d , jpegQualityFactorNight :%d , ResizeMethod : %d",
            server.jpeg_quality_day.load(), server.jpeg_quality_night.load(),
            server.resizeMethod.load());
  }
}

void save_and_mirror(const CameraConfigurationResponse& message, ServerConfig& server) {
  int saved;
  {
    SemLock lock(&configLock);
    saved = config_save(cameraConfig, &server, CONFIG_FROM_SERVER);
  }
  if (saved == 0) {
    log_saved_configuration(server, message.has_jpegSettings);
    app_log(MOD_MODEM_UART, LEVEL_INFO, "Config: Successfully created config files with new value");
  } else {
    app_log(MOD_MODEM_UART, LEVEL_ERR, "Config: Failed to create config files with new value");
  }
  run_shellf("tag_env_info --set dovu multishot %d", server.multishot.load());
  run_shellf("tag_env_info --set dovu time_format %d", server.time_format.load());
  run_shellf("tag_env_info --set dovu orve_model %d", cameraConfig->orve_model.load());
  run_shellf("tag_env_info --set dovu quality_mode %d", 0);
}

}  // namespace

void apply_server_config(const CameraConfigurationResponse& message) {
  ServerConfig& server = *serverConfig;
  app_log(MOD_MODEM_UART, LEVEL_INFO, "kvt_Modem2ISP_get_camera_configuration_response_tag");

  take_capture_settings(message, server);
  take_display_settings(message, server);
  take_jpeg_settings(message, server);
  server.min_free_space_sdcard =
      static_cast<int32_t>(message.minFreeSpaceSDCard == 0 ? 100 : message.minFreeSpaceSDCard);
  take_warning_light(message.warningLEDConfig, server);
  set_ir_glow(message.irGlowMode);
  set_wd_led_status(message.wdLEDStatus, server);
  clamp_small_pic_width();
  take_run_time_values(message);
  save_and_mirror(message, server);
}

void clamp_jpeg_quality() {
  struct Quality {
    ConfigValue ServerConfig::*field;
    const char* above;
    const char* below;
  };
  constexpr Quality kQualities[] = {
      {&ServerConfig::jpeg_quality_day,
       "jpegQualityFactorDay is greater than higher limit so setting: %d",
       "jpegQualityFactorDay is less than lower limit so setting: %d"},
      {&ServerConfig::jpeg_quality_night,
       "jpegQualityFactorNight is greater than higher limit so setting: %d",
       "jpegQualityFactorNight is less than lower limit so setting: %d"},
  };
  for (const Quality& quality : kQualities) {
    ConfigValue& value = serverConfig->*quality.field;
    if (value > 100) {
      value = 100;
      app_log(MOD_MODEM_UART, LEVEL_DEBUG, quality.above, value.load());
    } else if (value == 0) {
      value = 1;
      app_log(MOD_MODEM_UART, LEVEL_DEBUG, quality.below, value.load());
    }
  }
}

void clamp_small_pic_width() {
  ConfigValue& width = serverConfig->preview_width;
  if (width > 960) {
    width = 960;
    app_log(MOD_MODEM_UART, LEVEL_DEBUG, "smallPicWidth greater than higher limit so setting: %d",
            width.load());
  } else if (width < 640) {
    width = 640;
    app_log(MOD_MODEM_UART, LEVEL_DEBUG, "smallPicWidth less than lower limit so setting: %d",
            width.load());
  }
  if (width % 2 != 0) {
    width = width + 1;
    app_log(MOD_MODEM_UART, LEVEL_DEBUG, "smallPicWidth is not an even number so setting: %d",
            width.load());
  }
}
