// The multiplexer's command line: the creation time in 24-hour form without leading zeros,
// the stream, folder and file numbers in the names.
#include <cstring>
#include <string>

#include <gtest/gtest.h>

#include "app/config/camera_config.h"
#include "app/postprocess/video_pipeline.h"

namespace {

TEST(MuxCommand, CreationTimeIsTwentyFourHourWithoutLeadingZeros) {
  CameraConfig config;
  cameraConfig = &config;
  struct Case {
    int timeFormat, hour;
    const char* ampm;
    const char* expected;
  };
  for (const Case& c : {Case{0, 2, "PM", "creation_time=\"2024-3-7T14:3:9\""},
                        Case{0, 12, "AM", "creation_time=\"2024-3-7T0:3:9\""},
                        Case{1, 14, "", "creation_time=\"2024-3-7T14:3:9\""}}) {
    config.time_format = c.timeFormat;
    CaptureInfo& info = config.captureInfo;
    info.year = 2024;
    info.month = 3;
    info.day = 7;
    info.hour = c.hour;
    info.minute = 3;
    info.second = 9;
    std::strcpy(info.ampm, c.ampm);
    char command[1024];
    ASSERT_GT(mux_command(command, sizeof command, "/sdcard/primary", 0, 101, 42), 0);
    const std::string text = command;
    EXPECT_NE(text.find(c.expected), std::string::npos) << text;
    EXPECT_NE(text.find("-i /tmp/stream-0.h265 "), std::string::npos);
    EXPECT_EQ(text.substr(text.rfind(' ') + 1), "/sdcard/primary/DCIM/101DSCIM/VID0042.MP4");
  }
  cameraConfig = nullptr;
}

}  // namespace
