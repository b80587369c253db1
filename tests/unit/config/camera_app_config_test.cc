// camera_app on the board: a camera without configuration files writes both with the
// defaults; the next start loads them.
#include <fcntl.h>
#include <unistd.h>

#include <chrono>
#include <string>
#include <vector>

#include <gtest/gtest.h>

#include "app/config/config_store.h"

#include "tests/support/camera_app_process.h"
#include "tests/unit/config/config_files.h"

namespace {

using namespace config_files;
using test_support::CameraAppProcess;

int count_containing(const std::vector<std::string>& lines, const std::string& text) {
  int count = 0;
  for (const std::string& line : lines) {
    count += line.find(text) != std::string::npos ? 1 : 0;
  }
  return count;
}

TEST(CameraAppConfiguration, AFreshCameraWritesBothFilesWithTheDefaults) {
  remove_both();
  std::vector<std::string> lines;
  {
    CameraAppProcess app(CAMERA_APP_PATH);
    lines = app.read_until("Device configuration loaded successfully", std::chrono::seconds(60));
  }
  ASSERT_EQ(count_containing(lines, "Device configuration loaded successfully"), 1);
  EXPECT_EQ(count_containing(lines, "config partition is now mounted"), 1);
  EXPECT_EQ(count_containing(lines, "Config: Creating config files with defaults"), 1);

  const std::string expected = file_with_body(kDefaultBody);
  EXPECT_EQ(read_bytes(kConfigPath), expected);
  EXPECT_EQ(read_bytes(kConfigBackupPath), expected);

  // The next start finds them and writes nothing new.
  {
    CameraAppProcess app(CAMERA_APP_PATH);
    lines = app.read_until("Device configuration loaded successfully", std::chrono::seconds(60));
  }
  ASSERT_EQ(count_containing(lines, "Device configuration loaded successfully"), 1);
  EXPECT_EQ(count_containing(lines, "Config: Creating config files with defaults"), 0);
  EXPECT_EQ(count_containing(lines, "Config: Failed to load primary configuration"), 0);
  EXPECT_EQ(read_bytes(kConfigPath), expected);
}

}  // namespace
