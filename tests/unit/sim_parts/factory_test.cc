// The configuration file the factory writes loads in the camera with the values it was given,
// and the factory refuses what it cannot write.
#include <fstream>
#include <string>

#include <gtest/gtest.h>

#include "app/config/camera_config.h"
#include "app/config/config_keys.h"
#include "app/config/config_store.h"
#include "sim/factory/factory_part.h"

namespace {

TEST(Factory, CameraLoadsWhatTheFactoryWrote) {
  std::string file;
  std::string why;
  ASSERT_EQ(sim::board::make_config_file({{"multishot", "3"},
                                          {"orve_model", "7"},
                                          {"power_sources[1]", "1"},
                                          {"encrypt_password", "s3cret=x"}},
                                         &file, &why),
            0)
      << why;
  const char* path = "/tmp/factory.cfg";
  std::ofstream(path, std::ios::binary) << file;
  ASSERT_EQ(config_check_path(path), 0);
  auto record = std::make_unique<CameraConfig>();
  config_set_defaults(*record);
  ASSERT_EQ(config_parse_path(path, record.get()), 0);
  EXPECT_EQ(record->multishot, 3);
  EXPECT_EQ(record->orve_model, 7);
  EXPECT_EQ(record->power_sources[1], 1);
  EXPECT_EQ(record->video_length, 15);  // not named: its default
  EXPECT_STREQ(record->encrypt_password, "s3cret=x");

  EXPECT_EQ(sim::board::make_config_file({{"no_such_key", "1"}}, &file, &why), -1);
  EXPECT_EQ(sim::board::make_config_file({{"multishot", "three"}}, &file, &why), -1);
  EXPECT_EQ(
      sim::board::make_config_file({{"encrypt_password", std::string(200, 'x')}}, &file, &why), -1);
}

}  // namespace
