// Intake of the server's configuration: every limit and substitute, the tag writes in order,
// the saved file and the run-time values.
#include "app/config/config_intake.h"

#include <sys/stat.h>
#include <unistd.h>

#include <memory>
#include <random>
#include <string>
#include <vector>

#include <gtest/gtest.h>

#include "app/config/config_keys.h"
#include "app/config/config_store.h"
#include "app/system/sys_info.h"

#include "tests/unit/config/config_files.h"
#include "tests/unit/records/tag_board.h"

namespace {

using tag_board::log_lines_ending;

// A message whose every value is within its limits.
CameraConfigurationResponse valid_message() {
  CameraConfigurationResponse message = CameraConfigurationResponse_init_zero;
  message.captureMode = 1;
  message.detectionDelay = 30;
  message.timelapseDelay = 600;
  message.multishot = 2;
  message.pirSensitivity = 100;
  message.videoLength = 15;
  message.syncTime = {7, 30};
  message.syncFrequency = 4;
  message.dateFormat = 1;
  message.timeFormat = 1;
  message.powerSources[0] = 1;
  message.powerSources[1] = 0;
  message.cellular = true;
  message.photoResolution = 1;
  message.smallPicWidth = 800;
  message.has_jpegSettings = true;
  message.jpegSettings = {70, 40, 2};
  message.cap_on_nxt_sync = true;
  message.minFreeSpaceSDCard = 250;
  message.instantModeActive = 1;
  message.temperatureUnit = 1;
  message.warningLEDConfig = {true, {1, 3}, 2, 1};
  message.pauseCameraConfig = {1700000000, 3600};
  message.irGlowMode = 0;
  message.wdLEDStatus = 0;
  return message;
}

class ConfigIntake : public ::testing::Test {
 protected:
  static void SetUpTestSuite() { init_record_locks(); }
  void SetUp() override {
    tag_board::reset_store();
    tag_board::clear_app_log();
    config_files::remove_both();
    camera_ = std::make_unique<CameraConfig>();
    server_ = std::make_unique<ServerConfig>();
    cameraConfig = camera_.get();
    serverConfig = server_.get();
    config_load(camera_.get());  // a fresh camera: the defaults, also in the server's record
    camera_->orve_model = 5;
  }
  void TearDown() override {
    cameraConfig = nullptr;
    serverConfig = nullptr;
  }

  // The configuration the next start would load.
  std::unique_ptr<CameraConfig> saved() {
    // Loading also refreshes the server's record; keep it as the intake left it.
    ServerConfig* server = serverConfig;
    serverConfig = nullptr;
    auto loaded = std::make_unique<CameraConfig>();
    EXPECT_EQ(config_load(loaded.get()), 0);
    serverConfig = server;
    return loaded;
  }

  std::unique_ptr<CameraConfig> camera_;
  std::unique_ptr<ServerConfig> server_;
};

TEST_F(ConfigIntake, AValidMessageIsSavedAndMirroredIntoTheBootTagsInOrder) {
  CameraConfigurationResponse message = valid_message();
  apply_server_config(message);

  EXPECT_EQ(
      tag_board::tag_writes(),
      (std::vector<std::string>{
          "--set dovu cap_mode 1", "--set warn_led warn_active 1", "--set warn_led warn_duration 1",
          "--set warn_led warn_mtm 3", "--set warn_led warn_pattern 2",
          "--set warn_led warn_closemech 1", "--set dovu dovu_glow 0", "--set dovu multishot 2",
          "--set dovu time_format 1", "--set dovu orve_model 5", "--set dovu quality_mode 0"}));

  std::unique_ptr<CameraConfig> file = saved();
  EXPECT_EQ(file->capture_mode, 1);
  EXPECT_EQ(file->detection_delay, 30);
  EXPECT_EQ(file->timelapse_delay, 600);
  EXPECT_EQ(file->multishot, 2);
  EXPECT_EQ(file->pir_sensitivity, 100);
  EXPECT_EQ(file->sync_frequency, 4);
  EXPECT_EQ(file->date_format, 1);
  EXPECT_EQ(file->power_sources[0], 1);
  EXPECT_EQ(file->cellular, 1);
  EXPECT_EQ(file->resolution, 1);
  EXPECT_EQ(file->preview_width, 800);
  EXPECT_EQ(file->jpeg_quality_day, 70);
  EXPECT_EQ(file->jpeg_quality_night, 40);
  EXPECT_EQ(file->resizeMethod, 2);
  EXPECT_EQ(file->cap_on_nxt_sync, 1);
  EXPECT_EQ(file->min_free_space_sdcard, 250);
  EXPECT_EQ(file->temperatureUnit, 1);
  EXPECT_EQ(file->warning_light_stat, 1);
  EXPECT_EQ(file->warning_light_closingMechanism, 1);
  EXPECT_EQ(file->wdLEDStatus, 0);
  // The camera's own values: the model, and the instant mode of this message.
  EXPECT_EQ(file->orve_model, 5);
  EXPECT_EQ(file->instantModeActive, 1);
  // Keys the server does not send keep the configuration in force.
  EXPECT_EQ(file->validation_active, 1);
  EXPECT_EQ(file->sdformat_active, 1);

  EXPECT_EQ(camera_->syncTime.hour, 7);
  EXPECT_EQ(camera_->syncTime.minute, 30);
  EXPECT_EQ(camera_->pauseCameraConfig.epoch, 1700000000);
  EXPECT_EQ(camera_->pauseCameraConfig.duration, 3600u);
  EXPECT_EQ(camera_->wdLEDStatus, 0);
  // The rest of the camera's record takes effect at the next start.
  EXPECT_EQ(camera_->capture_mode, 0);

  EXPECT_EQ(log_lines_ending("kvt_Modem2ISP_get_camera_configuration_response_tag").size(), 1u);
  EXPECT_EQ(log_lines_ending("setting IR glow state: noglow").size(), 1u);
  EXPECT_EQ(log_lines_ending("setting WDM reboot led status: blinking_enabled").size(), 1u);
  EXPECT_EQ(
      log_lines_ending("pSysInfo->pauseCameraConfig.epoch : 1700000000 pSysInfo->pauseCameraConfig."
                       "duration : 3600 ")
          .size(),
      1u);
  EXPECT_EQ(log_lines_ending(", jpegQualityFactorDay : 70 , jpegQualityFactorNight :40 , "
                             "ResizeMethod : 2")
                .size(),
            1u);
  EXPECT_EQ(log_lines_ending("Config: Successfully created config files with new value").size(),
            1u);
  std::vector<std::string> console = tag_board::app_log_lines();
  bool summary = false;
  for (const std::string& line : console) {
    summary = summary || line.find("MODEM_UART : INFO : Config:") != std::string::npos;
  }
  EXPECT_TRUE(summary);
}

TEST_F(ConfigIntake, DelaysSyncFrequencyAndVideoLength) {
  CameraConfigurationResponse message = valid_message();
  message.detectionDelay = 3601;
  message.timelapseDelay = 30;
  message.syncFrequency = 3;
  message.videoLength = 60;
  apply_server_config(message);
  EXPECT_EQ(server_->detection_delay, 10);
  EXPECT_EQ(server_->timelapse_delay, 60);
  EXPECT_EQ(server_->sync_frequency, 6);
  EXPECT_EQ(server_->video_length, 15);

  message.detectionDelay = 3600;
  message.timelapseDelay = 90000;
  message.syncFrequency = 12;
  apply_server_config(message);
  EXPECT_EQ(server_->detection_delay, 3600);
  EXPECT_EQ(server_->timelapse_delay, 86400);
  EXPECT_EQ(server_->sync_frequency, 12);

  for (uint32_t frequency : {0u, 1u, 2u, 4u, 6u}) {
    message.syncFrequency = frequency;
    apply_server_config(message);
    EXPECT_EQ(server_->sync_frequency, static_cast<int32_t>(frequency));
  }
}

TEST_F(ConfigIntake, SubstitutesForEveryOtherValueOutOfRange) {
  CameraConfigurationResponse message = valid_message();
  message.captureMode = 4;
  message.multishot = 4;
  message.pirSensitivity = 256;
  message.dateFormat = 2;
  message.timeFormat = 2;
  message.powerSources[1] = 7;
  message.photoResolution = 2;
  message.temperatureUnit = 3;
  message.minFreeSpaceSDCard = 0;
  message.jpegSettings.ResizeMethod = 3;
  message.warningLEDConfig = {false, {10, 0}, 3, 3};
  message.wdLEDStatus = 2;
  message.instantModeActive = 2;
  apply_server_config(message);

  EXPECT_EQ(server_->capture_mode, 0);
  EXPECT_EQ(server_->multishot, 1);
  EXPECT_EQ(server_->pir_sensitivity, 20);
  EXPECT_EQ(server_->date_format, 0);
  EXPECT_EQ(server_->time_format, 0);
  EXPECT_EQ(server_->power_sources[1], 0);
  EXPECT_EQ(server_->resolution, 0);
  EXPECT_EQ(server_->temperatureUnit, 0);
  EXPECT_EQ(server_->min_free_space_sdcard, 100);
  EXPECT_EQ(server_->resizeMethod, 1);
  EXPECT_EQ(server_->warning_light_duration, 15);
  EXPECT_EQ(server_->warning_light_maxTimeMultiplicator, 5);
  EXPECT_EQ(server_->warning_light_pattern, 0);
  EXPECT_EQ(server_->warning_light_closingMechanism, 0);
  EXPECT_EQ(server_->wdLEDStatus, 1);
  EXPECT_EQ(camera_->wdLEDStatus, 1);
  EXPECT_EQ(camera_->instantModeActive, 0);
  EXPECT_EQ(log_lines_ending("setting WDM reboot led status: blinking_disabled").size(), 1u);
  EXPECT_EQ(tag_board::stored_tag("dovu", "cap_mode"), 0);
  EXPECT_EQ(tag_board::stored_tag("warn_led", "warn_duration"), 15);
  EXPECT_EQ(tag_board::stored_tag("warn_led", "warn_mtm"), 5);
}

TEST_F(ConfigIntake, PreviewWidth) {
  CameraConfigurationResponse message = valid_message();
  message.smallPicWidth = 641;
  apply_server_config(message);
  EXPECT_EQ(server_->preview_width, 642);
  EXPECT_EQ(log_lines_ending("smallPicWidth is not an even number so setting: 642").size(), 1u);

  message.smallPicWidth = 500;  // out of 640..960: the substitute, never the lower limit
  apply_server_config(message);
  EXPECT_EQ(server_->preview_width, 960);
  message.smallPicWidth = 961;
  apply_server_config(message);
  EXPECT_EQ(server_->preview_width, 960);
  message.smallPicWidth = 640;
  apply_server_config(message);
  EXPECT_EQ(server_->preview_width, 640);

  server_->preview_width = 1001;
  clamp_small_pic_width();
  EXPECT_EQ(server_->preview_width, 960);
  server_->preview_width = 601;
  clamp_small_pic_width();
  EXPECT_EQ(server_->preview_width, 640);
  EXPECT_EQ(log_lines_ending("smallPicWidth greater than higher limit so setting: 960").size(), 1u);
  EXPECT_EQ(log_lines_ending("smallPicWidth less than lower limit so setting: 640").size(), 1u);
}

TEST_F(ConfigIntake, JpegQualities) {
  CameraConfigurationResponse message = valid_message();
  message.jpegSettings.jpegQualityFactorDay = 0;
  message.jpegSettings.jpegQualityFactorNight = 101;
  apply_server_config(message);
  EXPECT_EQ(server_->jpeg_quality_day, 50);
  EXPECT_EQ(server_->jpeg_quality_night, 50);
  // The substitutes are in range: the clamp has nothing to say.
  for (const std::string& line : tag_board::app_log_lines()) {
    EXPECT_EQ(line.find("limit so setting"), std::string::npos) << line;
  }

  server_->jpeg_quality_day = 0;
  server_->jpeg_quality_night = 250;
  clamp_jpeg_quality();
  EXPECT_EQ(server_->jpeg_quality_day, 1);
  EXPECT_EQ(server_->jpeg_quality_night, 100);
  EXPECT_EQ(log_lines_ending("jpegQualityFactorDay is less than lower limit so setting: 1").size(),
            1u);
  EXPECT_EQ(log_lines_ending("jpegQualityFactorNight is greater than higher limit so setting: 100")
                .size(),
            1u);
}

TEST_F(ConfigIntake, WithoutJpegSettingsTheQualitiesInForceAreSaved) {
  camera_->jpeg_quality_day = 66;
  camera_->jpeg_quality_night = 33;
  CameraConfigurationResponse message = valid_message();
  message.has_jpegSettings = false;
  apply_server_config(message);

  std::unique_ptr<CameraConfig> file = saved();
  EXPECT_EQ(file->jpeg_quality_day, 66);
  EXPECT_EQ(file->jpeg_quality_night, 33);
  EXPECT_EQ(file->resizeMethod, 1);  // as loaded at start
  EXPECT_TRUE(log_lines_ending(", jpegQualityFactorDay : 66 , jpegQualityFactorNight :33 , "
                               "ResizeMethod : 1")
                  .empty());
}

TEST_F(ConfigIntake, IrGlowAndWarningLightDuration) {
  CameraConfigurationResponse message = valid_message();
  message.irGlowMode = 3;
  message.warningLEDConfig.timing.duration = 10;
  apply_server_config(message);
  EXPECT_EQ(log_lines_ending("setting IR glow state: lowglow").size(), 1u);
  EXPECT_EQ(tag_board::stored_tag("dovu", "dovu_glow"), 1);
  EXPECT_EQ(server_->warning_light_duration, 15);
  EXPECT_EQ(tag_board::stored_tag("warn_led", "warn_duration"), 15);
}

TEST_F(ConfigIntake, SchedulesAndBatteryProtectionsReachTheCamerasRecord) {
  CameraConfigurationResponse message = valid_message();
  message.syncTime = {24, 60};
  message.detectionSchedule_count = 28;
  for (int i = 0; i < 28; ++i) {
    message.detectionSchedule[i] = {static_cast<uint32_t>(i % 9), {23, 59}, {24, 60}};
  }
  message.instantSchedule_count = 1;
  message.instantSchedule[0] = {8, {12, 0}, {13, 15}};
  message.batteryProtections_count = 2;
  message.batteryProtections[0] = {1, true, 10, 90, 3};
  message.batteryProtections[1] = {2, false, 0, 4000000000u, 9};
  apply_server_config(message);

  EXPECT_EQ(camera_->syncTime.hour, 0);
  EXPECT_EQ(camera_->syncTime.minute, 0);
  ASSERT_EQ(camera_->detectionSchedule_count, 28);
  EXPECT_EQ(camera_->detectionSchedule[7].day, 7u);
  EXPECT_EQ(camera_->detectionSchedule[8].day, 0u);
  EXPECT_EQ(camera_->detectionSchedule[27].startHour, 23u);
  EXPECT_EQ(camera_->detectionSchedule[27].startMinute, 59u);
  EXPECT_EQ(camera_->detectionSchedule[27].endHour, 0u);
  EXPECT_EQ(camera_->detectionSchedule[27].endMinute, 0u);
  ASSERT_EQ(camera_->instantSchedule_count, 1);
  EXPECT_EQ(camera_->instantSchedule[0].day, 0u);
  EXPECT_EQ(camera_->instantSchedule[0].endMinute, 15u);
  ASSERT_EQ(camera_->batteryProtections_count, 2);
  EXPECT_TRUE(camera_->batteryProtections[0].enabled);
  EXPECT_EQ(camera_->batteryProtections[0].upperLimit, 90u);
  EXPECT_EQ(camera_->batteryProtections[1].upperLimit, 4000000000u);
  EXPECT_EQ(camera_->batteryProtections[1].action, 9u);
}

TEST_F(ConfigIntake, AFailedSaveLeavesTheFileButStillUpdatesTagsAndTheRecord) {
  const std::string before = config_files::read_bytes(kConfigPath);
  // The temporary file cannot be created: a folder stands in its place.
  const std::string temporary = std::string(kConfigPath) + ".tmp";
  ASSERT_EQ(mkdir(temporary.c_str(), 0755), 0);
  CameraConfigurationResponse message = valid_message();
  apply_server_config(message);
  rmdir(temporary.c_str());

  EXPECT_EQ(config_files::read_bytes(kConfigPath), before);
  EXPECT_EQ(log_lines_ending("Config: Failed to create config files with new value").size(), 1u);
  EXPECT_EQ(tag_board::tag_writes().size(), 11u);
  EXPECT_EQ(camera_->syncTime.hour, 7);
}

TEST_F(ConfigIntake, WhateverTheServerSendsTheSavedFileLoadsAgain) {
  // Edge values of every field, in random combinations (fixed seed: the same run every time).
  const uint32_t edges[] = {0,   1,   2,    3,     59,         60,          255,        256,
                            639, 961, 3601, 86401, 0x7FFFFFFF, 0x80000000u, 0xFFFFFFFFu};
  std::mt19937 random(4);
  auto pick = [&] { return edges[random() % std::size(edges)]; };
  for (int round = 0; round < 40; ++round) {
    CameraConfigurationResponse message = valid_message();
    for (uint32_t* field : {&message.captureMode,
                            &message.detectionDelay,
                            &message.timelapseDelay,
                            &message.multishot,
                            &message.pirSensitivity,
                            &message.videoLength,
                            &message.syncFrequency,
                            &message.dateFormat,
                            &message.timeFormat,
                            &message.powerSources[0],
                            &message.powerSources[1],
                            &message.photoResolution,
                            &message.smallPicWidth,
                            &message.jpegSettings.jpegQualityFactorDay,
                            &message.jpegSettings.jpegQualityFactorNight,
                            &message.jpegSettings.ResizeMethod,
                            &message.minFreeSpaceSDCard,
                            &message.instantModeActive,
                            &message.temperatureUnit,
                            &message.warningLEDConfig.timing.duration,
                            &message.warningLEDConfig.timing.maxTimeMultiplicator,
                            &message.warningLEDConfig.pattern,
                            &message.warningLEDConfig.closingMechanism,
                            &message.irGlowMode,
                            &message.wdLEDStatus}) {
      *field = pick();
    }
    message.has_jpegSettings = random() % 2 == 0;
    tag_board::clear_app_log();
    apply_server_config(message);

    std::unique_ptr<CameraConfig> file = saved();
    ASSERT_TRUE(log_lines_ending("Config: Failed to load primary configuration").empty())
        << "round " << round;
    for (const ConfigKey& key : kConfigKeys) {
      if (key.rule != KeyRule::kText && !key.keptFromCamera) {
        ASSERT_EQ(config_field_value(*file, key.field), config_field_value(*server_, key.field))
            << key.name << ", round " << round;
      }
    }
  }
}

}  // namespace
