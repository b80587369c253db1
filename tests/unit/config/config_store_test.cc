// The configuration file: format, checksum, refused values and the load order.
#include "app/config/config_store.h"

#include <cstring>
#include <memory>
#include <string>
#include <vector>

#include <gtest/gtest.h>

#include "app/config/config_keys.h"
#include "app/system/core/sys_info.h"

#include "tests/support/tag_board.h"
#include "tests/unit/config/config_files.h"

namespace {

using namespace config_files;
using tag_board::log_lines_ending;

// A valid body in which every key differs from its default.
const std::string kCustomBody =
    "capture_mode=2\nmultishot=3\nvideo_length=45\nsync_frequency=12\ndate_format=1\n"
    "time_format=1\ncellular=0\nresolution=1\ndetection_delay=-5\ntimelapse_delay=60\n"
    "pir_sensitivity=200\npower_sources[0]=1\npower_sources[1]=1\nmin_free_space_sdcard=300\n"
    "preview_width=640\njpeg_quality_day=80\njpeg_quality_night=30\ncap_on_nxt_sync=7\n"
    "resizeMethod=2\ninstantModeActive=1\norve_model=6\ntemperatureUnit=1\n"
    "warning_light_stat=1\nwarning_light_duration=1\nwarning_light_maxTimeMultiplicator=9\n"
    "warning_light_pattern=1\nwarning_light_closingMechanism=2\nvalidation_active=0\n"
    "sdformat_active=0\nwdLEDStatus=0\nencrypt_password=s3cr=t\n";

class ConfigStore : public ::testing::Test {
 protected:
  void SetUp() override {
    remove_both();
    tag_board::clear_app_log();
    record_ = std::make_unique<CameraConfig>();
  }
  std::unique_ptr<CameraConfig> record_;
};

TEST(ConfigCrc, IsTheNonInvertedReflectedCrc32) {
  EXPECT_EQ(config_crc32("123456789", 9), 0x2DFD2D88u);
  EXPECT_EQ(config_crc32("", 0), 0u);
  EXPECT_EQ(config_crc32("6789", 4, config_crc32("12345", 5)), 0x2DFD2D88u);
}

TEST_F(ConfigStore, AHandMadeFileLoadsAndBecomesTheBackup) {
  const std::string file = file_with_body(kCustomBody);
  write_file(kConfigPath, file);

  EXPECT_EQ(config_load(record_.get()), 0);

  EXPECT_EQ(record_->capture_mode, 2);
  EXPECT_EQ(record_->detection_delay, -5);
  EXPECT_EQ(record_->power_sources[1], 1);
  EXPECT_EQ(record_->cap_on_nxt_sync, 1);             // any non-zero value is stored as 1
  EXPECT_STREQ(record_->encrypt_password, "s3cr=t");  // only the first "=" separates
  EXPECT_EQ(read_file(kConfigBackupPath), file);
}

TEST_F(ConfigStore, AnyChangedBodyByteFallsBackToTheBackup) {
  const std::string primary = file_with_body(kCustomBody);
  const std::string backup = file_with_body(kDefaultBody);
  for (std::size_t at = kConfigHeaderSize; at < primary.size(); ++at) {
    std::string changed = primary;
    changed[at] = static_cast<char>(changed[at] ^ 0x04);
    write_file(kConfigPath, changed);
    write_file(kConfigBackupPath, backup);
    CameraConfig record;

    ASSERT_EQ(config_load(&record), 0);

    ASSERT_EQ(record.capture_mode, 0) << "byte " << at;
    ASSERT_EQ(record.sync_frequency, 6) << "byte " << at;
    ASSERT_EQ(read_file(kConfigPath), backup) << "primary not repaired, byte " << at;
  }
  EXPECT_EQ(log_lines_ending("Config: file CRC missmatch").size(),
            primary.size() - kConfigHeaderSize);
}

TEST_F(ConfigStore, WithBothFilesBadBothAreRewrittenWithTheDefaults) {
  write_file(kConfigPath, "garbage");
  write_file(kConfigBackupPath, file_with_body("capture_mode=9\n"));

  EXPECT_EQ(config_load(record_.get()), 0);

  EXPECT_EQ(read_file(kConfigPath), file_with_body(kDefaultBody));
  EXPECT_EQ(read_file(kConfigBackupPath), file_with_body(kDefaultBody));
  EXPECT_EQ(record_->sync_frequency, 6);
  EXPECT_EQ(record_->encrypt_password[0], '\0');
  EXPECT_EQ(log_lines_ending("Config: Creating config files with defaults").size(), 1u);
}

TEST_F(ConfigStore, HeaderAndChecksumFailures) {
  struct Case {
    std::string bytes;
    const char* message;
  };
  const std::string good = file_with_body(kDefaultBody);
  std::string wrong_crc = good;
  wrong_crc[4] = static_cast<char>(wrong_crc[4] ^ 1);
  const Case cases[] = {
      {"\x34\x12", "Config: file Magic Number Read Failed"},
      {"\x12\x34\xAB\xCD" + good.substr(4), "Config: file Magic Number missmatch"},
      {"\x34\x12\xCD\xAB\x01\x02", "Config: failed to read CRC"},
      {wrong_crc, "Config: file CRC missmatch"},
  };
  EXPECT_EQ(config_check_file(CONFIG_PRIMARY), -1);
  EXPECT_EQ(log_lines_ending("Config: file not accessible").size(), 1u);
  for (const Case& c : cases) {
    write_file(kConfigBackupPath, c.bytes);
    EXPECT_EQ(config_check_file(CONFIG_BACKUP), -1) << c.message;
    EXPECT_EQ(log_lines_ending(std::string("CONF_SET : ERR : ") + c.message).size(), 1u)
        << c.message;
  }
  // An empty body has the checksum 0.
  write_file(kConfigBackupPath, std::string("\x34\x12\xCD\xAB\0\0\0\0", 8));
  EXPECT_EQ(config_check_file(CONFIG_BACKUP), 0);
}

struct Refusal {
  const char* line;
  const char* message;
};

class RefusedValue : public ConfigStore, public ::testing::WithParamInterface<Refusal> {};

TEST_P(RefusedValue, RefusesTheWholeFile) {
  const std::string body = "multishot=2\n" + std::string(GetParam().line) + "\ncapture_mode=3\n";
  write_file(kConfigPath, file_with_body(body));
  write_file(kConfigBackupPath, file_with_body(kCustomBody));

  EXPECT_EQ(config_parse_file(CONFIG_PRIMARY, record_.get()), -1);
  EXPECT_EQ(log_lines_ending(std::string("CONF_SET : ERR : ") + GetParam().message).size(), 1u);
  // The value before the refused line was stored; the one after it was never read.
  EXPECT_EQ(record_->multishot, 2);
  EXPECT_EQ(record_->capture_mode, 0);

  CameraConfig loaded;
  ASSERT_EQ(config_load(&loaded), 0);
  EXPECT_EQ(loaded.capture_mode, 2);  // the backup's
  EXPECT_EQ(read_file(kConfigPath), file_with_body(kCustomBody));
}

INSTANTIATE_TEST_SUITE_P(
    ConfigStore, RefusedValue,
    ::testing::Values(
        Refusal{"capture_mode=4", "Config:Invalid value for capture mode"},
        Refusal{"capture_mode=-1", "Config:Invalid value for capture mode"},
        Refusal{"multishot=0", "Config:Invalid value for multishot"},
        Refusal{"video_length=61", "Config:Invalid value for video length"},
        Refusal{"sync_frequency=13", "Config:Invalid value for sync frequency"},
        Refusal{"date_format=2", "Config:Invalid value for date format "},
        Refusal{"power_sources[1]=2", "Config:Invalid value for Power Source"},
        Refusal{"orve_model=-1", "Config:Invalid value for Orve_Model_f"},
        Refusal{"warning_light_duration=-3", "Config:Invalid value for warning_light_duration"},
        Refusal{"warning_light_pattern=3", "Config:Invalid value for warning_light_pattern"},
        Refusal{"warning_light_closingMechanism=3",
                "Config:Invalid value for warning_light_closingMechanism"},
        Refusal{"sdformat_active=2", "Config:Invalid value for FormatActive"},
        Refusal{"wdLEDStatus=1x", "Config: Invalid value 1 for wdLEDStatus"},
        Refusal{"wdLEDStatus=", "Config: Invalid value 0 for wdLEDStatus"},
        Refusal{"wdLEDStatus=2", "Config: Invalid value for wdLEDStatus"}));

TEST_F(ConfigStore, UnknownKeysAreSkippedButALineWithoutAnEqualsSignInvalidatesTheFile) {
  // The last of a repeated key wins.
  write_file(kConfigPath, file_with_body("capture_mode=1\nfuture_key=abc\nmultishot=2\n"
                                         "capture_mode=3\n"));
  EXPECT_EQ(config_parse_file(CONFIG_PRIMARY, record_.get()), 0);
  EXPECT_EQ(record_->capture_mode, 3);
  EXPECT_EQ(record_->multishot, 2);

  write_file(kConfigPath, file_with_body("capture_mode=1\njust text\nmultishot=1\n"));
  EXPECT_EQ(config_parse_file(CONFIG_PRIMARY, record_.get()), -1);
  EXPECT_EQ(record_->multishot, 2);
  // An empty line has no "=" either.
  write_file(kConfigPath, file_with_body("capture_mode=1\n\n"));
  EXPECT_EQ(config_parse_file(CONFIG_PRIMARY, record_.get()), -1);
}

TEST_F(ConfigStore, SavedFilesHaveTheLayoutAndLoadBack) {
  config_set_defaults(*record_);
  record_->capture_mode = 2;
  snprintf(record_->encrypt_password, sizeof record_->encrypt_password, "abc");
  ASSERT_EQ(config_save(record_.get(), nullptr, CONFIG_FROM_CAMERA), 0);

  const std::string file = read_file(kConfigPath);
  std::string expected_body = kDefaultBody;
  expected_body.replace(0, strlen("capture_mode=0"), "capture_mode=2");
  expected_body.replace(expected_body.size() - 1, 1, "abc\n");
  EXPECT_EQ(file, file_with_body(expected_body));
  EXPECT_EQ(read_file(kConfigBackupPath), file);

  CameraConfig loaded;
  ASSERT_EQ(config_load(&loaded), 0);
  EXPECT_EQ(loaded.capture_mode, 2);
  EXPECT_STREQ(loaded.encrypt_password, "abc");
}

TEST_F(ConfigStore, SavingTheServersRecordKeepsTheCamerasModelAndInstantMode) {
  ServerConfig server;
  config_set_defaults(*record_);
  config_set_defaults(server);
  record_->orve_model = 6;
  record_->instantModeActive = 1;
  record_->capture_mode = 1;
  server.capture_mode = 3;
  server.orve_model = 2;
  server.instantModeActive = 0;
  snprintf(server.encrypt_password, sizeof server.encrypt_password, "from-server");

  ASSERT_EQ(config_save(record_.get(), &server, CONFIG_FROM_SERVER), 0);
  CameraConfig loaded;
  ASSERT_EQ(config_load(&loaded), 0);
  EXPECT_EQ(loaded.capture_mode, 3);
  EXPECT_EQ(loaded.orve_model, 6);
  EXPECT_EQ(loaded.instantModeActive, 1);
  EXPECT_STREQ(loaded.encrypt_password, "from-server");
}

TEST_F(ConfigStore, AFactoryResetWritesTheDefaultsButKeepsTheModel) {
  ServerConfig server;
  serverConfig = &server;
  config_set_defaults(*record_);
  record_->orve_model = 4;
  server.capture_mode = 2;
  EXPECT_EQ(config_reset_defaults(record_.get()), 0);
  serverConfig = nullptr;

  std::string expected = kDefaultBody;
  expected.replace(expected.find("orve_model=0"), strlen("orve_model=0"), "orve_model=4");
  EXPECT_EQ(body_of(read_file(kConfigPath)), expected);
  EXPECT_EQ(server.capture_mode, 0);
}

}  // namespace
