// The camera's sensor and channel 0 as the host media library tests bring them up, and the
// video pipeline on top of them: frame source -> display group 0 -> encoder channel 0.
#pragma once

#include <string.h>

#include <filesystem>
#include <fstream>
#include <ostream>
#include <string>

#include <gtest/gtest.h>

#include "platform/imp/host/encoder_host.h"
#include "platform/imp/host/imp_host.h"
#include "platform/imp/imp.h"

#include "tests/support/file_lines.h"

namespace imp_pipeline {

// The host library reading its sensor and GPIO lines from a folder of the test's own, with
// nothing left over from another test.
class HostTest : public ::testing::Test {
 protected:
  void SetUp() override {
    std::filesystem::create_directories(dir_.path() + "/sensor");
    imp_host::set_paths(dir_.path() + "/sensor", dir_.path() + "/gpio");
    imp_host::reset();
    imp_host::reset_encoder();
  }
  void TearDown() override {
    imp_host::reset_encoder();
    imp_host::reset();
  }
  void faults(const std::string& text) { std::ofstream(dir_.path() + "/sensor/faults") << text; }

  test_support::TempDir dir_;
};

inline IMPSensorInfo sensor() {
  IMPSensorInfo sensor{};
  strcpy(sensor.name, "os02g10");
  sensor.cbus_type = TX_SENSOR_CONTROL_INTERFACE_I2C;
  strcpy(sensor.i2c.type, "os02g10");
  sensor.i2c.addr = 0x3C;
  return sensor;
}

// NV12 at 30 frames a second with two buffers.
inline IMPFSChnAttr channel(int width, int height) {
  IMPFSChnAttr attr{};
  attr.picWidth = width;
  attr.picHeight = height;
  attr.pixFmt = PIX_FMT_NV12;
  attr.crop = {0, 0, 0, width, height};
  attr.outFrmRateNum = 30;
  attr.outFrmRateDen = 1;
  attr.nrVBs = 2;
  return attr;
}

// Everything up to the display group, in the camera's order: the index of the failing step,
// or -1.
inline int build_video(int width, int height, int kbps) {
  IMPSensorInfo camera = sensor();
  IMPFSChnAttr fs = channel(width, height);
  IMPEncoderChnAttr enc{};
  const int results[] = {
      IMP_ISP_Open(),
      IMP_ISP_AddSensor(&camera),
      IMP_ISP_EnableSensor(),
      IMP_System_Init(),
      IMP_ISP_EnableTuning(),
      IMP_FrameSource_CreateChn(0, &fs),
      IMP_Encoder_CreateGroup(0),
      IMP_Encoder_SetDefaultParam(&enc, IMP_ENC_PROFILE_HEVC_MAIN, IMP_ENC_RC_MODE_CBR, width,
                                  height, 30, 1, 30, 1, -1, kbps),
      IMP_Encoder_CreateChn(0, &enc),
      IMP_Encoder_RegisterChn(0, 0),
      IMP_OSD_CreateGroup(0)};
  const auto failed =
      std::find_if(std::begin(results), std::end(results), [](int r) { return r != 0; });
  return failed == std::end(results) ? -1 : static_cast<int>(failed - std::begin(results));
}

// Binds source -> display group -> encoder and starts them: 0, or -1 on a failure.
inline int connect_video() {
  IMPCell source{DEV_ID_FS, 0, 0};
  IMPCell osd{DEV_ID_OSD, 0, 0};
  IMPCell encoder{DEV_ID_ENC, 0, 0};
  return IMP_System_Bind(&source, &osd) | IMP_System_Bind(&osd, &encoder) |
                 IMP_FrameSource_EnableChn(0) | IMP_Encoder_StartRecvPic(0)
             ? -1
             : 0;
}

}  // namespace imp_pipeline
