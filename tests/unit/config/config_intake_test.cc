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
#include "app/system/core/sys_info.h"

#include "tests/support/tag_board.h"
#include "tests/unit/config/config_files.h"

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

// The saved file holds what the server's record holds, key by key (the camera's own keys
// aside), so that the next start loads exactly what was accepted.
void expect_saved_as_server(const CameraConfig& file, const ServerConfig& server) {
  for (const ConfigKey& key : kConfigKeys) {
    if (key.rule != KeyRule::kText && !key.keptFromCamera) {
      EXPECT_EQ(config_field_value(file, key.field), config_field_value(server, key.field))
          << key.name;
    }
  }
}

TEST_F(ConfigIntake, AValidMessageIsSavedAndMirroredIntoTheBootTagsInOrder) {
  apply_server_config(valid_message());

  EXPECT_EQ(
      tag_board::tag_writes(),
      (std::vector<std::string>{
          "--set dovu cap_mode 1", "--set warn_led warn_active 1", "--set warn_led warn_duration 1",
          "--set warn_led warn_mtm 3", "--set warn_led warn_pattern 2",
          "--set warn_led warn_closemech 1", "--set dovu dovu_glow 0", "--set dovu multishot 2",
          "--set dovu time_format 1", "--set dovu orve_model 5", "--set dovu quality_mode 0"}));
  std::unique_ptr<CameraConfig> file = saved();
  expect_saved_as_server(*file, *server_);
  EXPECT_EQ(file->orve_model, 5);           // the camera's own
  EXPECT_EQ(file->validation_active, 1);    // not sent: the value in force stays
  EXPECT_EQ(camera_->syncTime.minute, 30);  // run-time values take effect at once...
  EXPECT_EQ(camera_->pauseCameraConfig.duration, 3600u);
  EXPECT_EQ(camera_->capture_mode, 0);  // ...the rest at the next start
}

// Each limit from both sides: the last value accepted and the first one replaced (an accepted
// value equal to its own substitute would prove nothing and is left out).
struct Limit {
  const char* what;
  void (*send)(CameraConfigurationResponse&);
  int64_t (*taken)(const ServerConfig&);
  int64_t expected;
};

// clang-format off
#define LIMIT(field, sent, result, expected)                                   \
  Limit{#field " " #sent, [](CameraConfigurationResponse& m) { m.field = sent; }, \
        [](const ServerConfig& s) -> int64_t { return s.result; }, expected}
// clang-format on

const Limit kLimits[] = {
    LIMIT(captureMode, 3, capture_mode, 3),
    LIMIT(captureMode, 4, capture_mode, 0),
    LIMIT(detectionDelay, 3600, detection_delay, 3600),
    LIMIT(detectionDelay, 3601, detection_delay, 10),
    LIMIT(timelapseDelay, 59, timelapse_delay, 60),
    LIMIT(timelapseDelay, 86401, timelapse_delay, 86400),
    LIMIT(multishot, 0, multishot, 1),
    LIMIT(multishot, 3, multishot, 3),
    LIMIT(multishot, 4, multishot, 1),
    LIMIT(pirSensitivity, 255, pir_sensitivity, 255),
    LIMIT(pirSensitivity, 256, pir_sensitivity, 20),
    LIMIT(videoLength, 60, video_length, 15),
    LIMIT(syncFrequency, 0, sync_frequency, 0),
    LIMIT(syncFrequency, 3, sync_frequency, 6),
    LIMIT(syncFrequency, 12, sync_frequency, 12),
    LIMIT(syncFrequency, 13, sync_frequency, 6),
    LIMIT(dateFormat, 1, date_format, 1),
    LIMIT(dateFormat, 2, date_format, 0),
    LIMIT(timeFormat, 2, time_format, 0),
    LIMIT(powerSources[1], 7, power_sources[1], 0),
    LIMIT(photoResolution, 2, resolution, 0),
    LIMIT(temperatureUnit, 3, temperatureUnit, 0),
    LIMIT(smallPicWidth, 639, preview_width, 960),
    LIMIT(smallPicWidth, 640, preview_width, 640),
    LIMIT(smallPicWidth, 641, preview_width, 642),
    LIMIT(smallPicWidth, 961, preview_width, 960),
    LIMIT(jpegSettings.jpegQualityFactorDay, 0, jpeg_quality_day, 50),
    LIMIT(jpegSettings.jpegQualityFactorDay, 1, jpeg_quality_day, 1),
    LIMIT(jpegSettings.jpegQualityFactorNight, 100, jpeg_quality_night, 100),
    LIMIT(jpegSettings.jpegQualityFactorNight, 101, jpeg_quality_night, 50),
    LIMIT(jpegSettings.ResizeMethod, 2, resizeMethod, 2),
    LIMIT(jpegSettings.ResizeMethod, 3, resizeMethod, 1),
    LIMIT(minFreeSpaceSDCard, 0, min_free_space_sdcard, 100),
    LIMIT(minFreeSpaceSDCard, 1, min_free_space_sdcard, 1),
    LIMIT(warningLEDConfig.timing.duration, 1, warning_light_duration, 1),
    LIMIT(warningLEDConfig.timing.duration, 2, warning_light_duration, 15),
    LIMIT(warningLEDConfig.timing.maxTimeMultiplicator, 0, warning_light_maxTimeMultiplicator, 5),
    LIMIT(warningLEDConfig.timing.maxTimeMultiplicator, 0x7FFFFFFF,
          warning_light_maxTimeMultiplicator, 0x7FFFFFFF),
    LIMIT(warningLEDConfig.timing.maxTimeMultiplicator, 0x80000000u,
          warning_light_maxTimeMultiplicator, 5),
    LIMIT(warningLEDConfig.pattern, 2, warning_light_pattern, 2),
    LIMIT(warningLEDConfig.pattern, 3, warning_light_pattern, 0),
    LIMIT(warningLEDConfig.closingMechanism, 3, warning_light_closingMechanism, 0),
    LIMIT(wdLEDStatus, 2, wdLEDStatus, 1),
};

TEST_F(ConfigIntake, EveryLimitAcceptsItsLastValueAndReplacesTheFirstOneBeyond) {
  for (const Limit& limit : kLimits) {
    CameraConfigurationResponse message = valid_message();
    limit.send(message);
    apply_server_config(message);
    EXPECT_EQ(limit.taken(*server_), limit.expected) << limit.what;
  }
}

TEST_F(ConfigIntake, ClampsOfValuesInForceSayWhatTheySet) {
  server_->preview_width = 1001;
  clamp_small_pic_width();
  EXPECT_EQ(server_->preview_width, 960);
  server_->preview_width = 601;
  clamp_small_pic_width();
  EXPECT_EQ(server_->preview_width, 640);
  server_->jpeg_quality_day = 0;
  server_->jpeg_quality_night = 250;
  clamp_jpeg_quality();
  EXPECT_EQ(server_->jpeg_quality_day, 1);
  EXPECT_EQ(server_->jpeg_quality_night, 100);
  for (const char* line : {"smallPicWidth greater than higher limit so setting: 960",
                           "smallPicWidth less than lower limit so setting: 640",
                           "jpegQualityFactorDay is less than lower limit so setting: 1",
                           "jpegQualityFactorNight is greater than higher limit so setting: 100"}) {
    EXPECT_EQ(log_lines_ending(line).size(), 1u) << line;
  }
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
  ASSERT_EQ(camera_->detectionSchedule_count, 28);
  EXPECT_EQ(camera_->detectionSchedule[8].day, 0u);
  EXPECT_EQ(camera_->detectionSchedule[27].endHour, 0u);
  EXPECT_EQ(camera_->detectionSchedule[27].endMinute, 0u);
  ASSERT_EQ(camera_->batteryProtections_count, 2);
  EXPECT_EQ(camera_->batteryProtections[1].upperLimit, 4000000000u);
}

TEST_F(ConfigIntake, AFailedSaveLeavesTheFileButStillUpdatesTagsAndTheRecord) {
  const std::string before = config_files::read_file(kConfigPath);
  // The temporary file cannot be created: a folder stands in its place.
  const std::string temporary = std::string(kConfigPath).append(".tmp");
  ASSERT_EQ(mkdir(temporary.c_str(), 0755), 0);
  CameraConfigurationResponse message = valid_message();
  apply_server_config(message);
  rmdir(temporary.c_str());

  EXPECT_EQ(config_files::read_file(kConfigPath), before);
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
    // clang-format off
    uint32_t* fields[] = {&message.captureMode, &message.detectionDelay, &message.timelapseDelay,
        &message.multishot, &message.pirSensitivity, &message.videoLength,
        &message.syncFrequency, &message.dateFormat, &message.timeFormat,
        &message.powerSources[0], &message.powerSources[1], &message.photoResolution,
        &message.smallPicWidth, &message.jpegSettings.jpegQualityFactorDay,
        &message.jpegSettings.jpegQualityFactorNight, &message.jpegSettings.ResizeMethod,
        &message.minFreeSpaceSDCard, &message.instantModeActive, &message.temperatureUnit,
        &message.warningLEDConfig.timing.duration,
        &message.warningLEDConfig.timing.maxTimeMultiplicator,
        &message.warningLEDConfig.pattern, &message.warningLEDConfig.closingMechanism,
        &message.irGlowMode, &message.wdLEDStatus};
    // clang-format on
    for (uint32_t* field : fields) {
      *field = pick();
    }
    message.has_jpegSettings = random() % 2 == 0;
    tag_board::clear_app_log();
    apply_server_config(message);

    SCOPED_TRACE(round);
    std::unique_ptr<CameraConfig> file = saved();
    ASSERT_TRUE(log_lines_ending("Config: Failed to load primary configuration").empty());
    expect_saved_as_server(*file, *server_);
  }
}

}  // namespace
