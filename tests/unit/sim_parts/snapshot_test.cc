// The board keeps every snapshot the camera writes, also one it renames or removes later,
// and turns it into a PNG of the frame's size.
#include <stdio.h>

#include <filesystem>
#include <fstream>
#include <string>
#include <vector>

#include <gtest/gtest.h>

#include "sim/sensor/nv12_png.h"
#include "sim/sensor/snapshot_watch.h"

#include "tests/support/eventually.h"
#include "tests/support/file_lines.h"

namespace {

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
