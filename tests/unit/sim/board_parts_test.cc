// The board's parts against the application's own code: the camera reads back the temperature
// the board's thermistor was set to, loads the configuration file the factory wrote (and the
// factory refuses what it cannot write), and the snapshots it writes are kept and become
// pictures of the frame's size.
#include <fcntl.h>
#include <stdio.h>
#include <unistd.h>

#include <filesystem>
#include <fstream>
#include <string>
#include <vector>

#include <gtest/gtest.h>

#include "app/config/camera_config.h"
#include "app/config/config_keys.h"
#include "app/config/config_store.h"
#include "app/system/core/temperature.h"
#include "sim/adc/thermistor.h"
#include "sim/factory/factory_part.h"
#include "sim/sensor/nv12_png.h"
#include "sim/sensor/snapshot_watch.h"

#include "tests/support/eventually.h"
#include "tests/support/file_lines.h"

namespace {

void set_pin(int32_t millivolts) {
  const std::string text = sim::adc::device_text(millivolts);
  int fd = open("/dev/jz_adc_aux_0", O_WRONLY);
  ASSERT_GE(fd, 0);
  ASSERT_EQ(pwrite(fd, text.data(), text.size(), 0), static_cast<ssize_t>(text.size()));
  close(fd);
}

TEST(Thermistor, CameraReadsBackTheBoardsTemperature) {
  // Across the working range, the cold bands included; below -30 the camera's correction
  // stops at -30.
  struct Case {
    int set;
    int read;
  };
  const Case cases[] = {{85, 85},   {40, 40},   {24, 24},   {1, 1},     {0, 0},
                        {-1, -1},   {-9, -9},   {-10, -10}, {-11, -11}, {-12, -12},
                        {-20, -20}, {-30, -30}, {-35, -30}};
  for (const Case& c : cases) {
    SCOPED_TRACE(c.set);
    set_pin(sim::adc::millivolts_for(c.set));
    int celsius = 0;
    int fahrenheit = 0;
    ASSERT_EQ(read_temperature(&celsius, &fahrenheit), 0);
    EXPECT_EQ(celsius, c.read);
  }
  // An empty pin is far below any reading, not a number that is none.
  EXPECT_LT(sim::adc::thermistor_celsius(0), -200);
}

TEST(Factory, CameraLoadsWhatTheFactoryWrote) {
  std::string file;
  std::string why;
  ASSERT_EQ(sim::factory::make_config_file({{"multishot", "3"},
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

  EXPECT_EQ(sim::factory::make_config_file({{"no_such_key", "1"}}, &file, &why), -1);
  EXPECT_EQ(sim::factory::make_config_file({{"multishot", "three"}}, &file, &why), -1);
  EXPECT_EQ(
      sim::factory::make_config_file({{"encrypt_password", std::string(200, 'x')}}, &file, &why),
      -1);
}

void write_frame(const std::string& path, size_t bytes, char fill) {
  std::ofstream(path, std::ios::binary) << std::string(bytes, fill);
}

TEST(Snapshots, KeptWhenClosedAndTurnedIntoPictures) {
  test_support::TempDir dir;
  const std::string tmp = dir.path() + "/tmp";
  std::filesystem::create_directories(tmp);
  sim::sensor::SnapshotWatch watch;
  std::vector<std::string> seen;
  ASSERT_EQ(watch.start(tmp, dir.path() + "/kept",
                        [&seen](const std::string& name, const std::string&, size_t) {
                          seen.push_back(name);
                        }),
            0);
  const size_t frame = 1280 * 720 * 3 / 2;
  write_frame(tmp + "/snap2.yuv", frame, 'x');
  write_frame(tmp + "/other.yuv", frame, 'x');
  write_frame(tmp + "/snap1.yuv", 1000, 'x');
  // Once the board has its copy, the camera takes the file away, as its post-processing does.
  ASSERT_TRUE(test_support::eventually(
      [&dir] { return std::filesystem::exists(dir.path() + "/kept/1-snap2.yuv"); }));
  std::filesystem::rename(tmp + "/snap2.yuv", tmp + "/snap.yuv");
  std::filesystem::remove(tmp + "/snap.yuv");
  const std::vector<std::string> copies = watch.stop();
  ASSERT_EQ(copies.size(), 2u);
  EXPECT_EQ(seen, (std::vector<std::string>{"snap2.yuv", "snap1.yuv"}));

  std::string why;
  const std::string png = dir.path() + "/snap2.png";
  ASSERT_EQ(sim::sensor::convert_snapshot(copies[0], png, &why), 0) << why;
  // The PNG header holds the frame's width and height.
  std::ifstream in(png, std::ios::binary);
  unsigned char header[24] = {};
  in.read(reinterpret_cast<char*>(header), sizeof(header));
  EXPECT_EQ((header[16] << 24 | header[17] << 16 | header[18] << 8 | header[19]), 1280);
  EXPECT_EQ((header[20] << 24 | header[21] << 16 | header[22] << 8 | header[23]), 720);
  // A short file is no frame of any size.
  EXPECT_EQ(sim::sensor::convert_snapshot(copies[1], dir.path() + "/snap1.png", &why), -1);
}

}  // namespace
