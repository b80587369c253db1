// Records SECONDS (default 15) of 1920x1080 video through frame source -> display group ->
// encoder at speed 1, after the source's first frames as the recording takes them while the
// exposure settles, read as the recording loop reads it, and prints the frames coded and
// dropped, the CPU the process spent per second of video, and the peak RSS.
#include <stdio.h>
#include <stdlib.h>
#include <string.h>
#include <sys/resource.h>
#include <time.h>

#include <filesystem>
#include <string>

#include "platform/imp/host/encoder_host.h"
#include "platform/imp/host/imp_host.h"
#include "platform/imp/imp.h"

namespace {

double seconds(clockid_t clock) {
  timespec t{};
  clock_gettime(clock, &t);
  return static_cast<double>(t.tv_sec) + static_cast<double>(t.tv_nsec) / 1e9;
}

}  // namespace

int main(int argc, char** argv) {
  const int length = argc > 1 ? atoi(argv[1]) : 15;
  const std::string dir = std::filesystem::temp_directory_path().string() + "/video-bench";
  std::filesystem::create_directories(dir + "/sensor");
  imp_host::set_paths(dir + "/sensor", dir + "/gpio");
  IMPSensorInfo sensor{};
  strcpy(sensor.name, "os02g10");
  sensor.cbus_type = TX_SENSOR_CONTROL_INTERFACE_I2C;
  strcpy(sensor.i2c.type, "os02g10");
  sensor.i2c.addr = 0x3C;
  IMPFSChnAttr fs{};
  fs.picWidth = 1920;
  fs.picHeight = 1080;
  fs.pixFmt = PIX_FMT_NV12;
  fs.crop = {0, 0, 0, 1920, 1080};
  fs.outFrmRateNum = 30;
  fs.outFrmRateDen = 1;
  fs.nrVBs = 2;
  IMPEncoderChnAttr enc{};
  IMPCell source{DEV_ID_FS, 0, 0};
  IMPCell osd{DEV_ID_OSD, 0, 0};
  IMPCell encoder{DEV_ID_ENC, 0, 0};
  if (IMP_ISP_Open() || IMP_ISP_AddSensor(&sensor) || IMP_ISP_EnableSensor() || IMP_System_Init() ||
      IMP_ISP_EnableTuning() || IMP_FrameSource_CreateChn(0, &fs) || IMP_Encoder_CreateGroup(0) ||
      IMP_Encoder_SetDefaultParam(&enc, IMP_ENC_PROFILE_HEVC_MAIN, IMP_ENC_RC_MODE_CBR, 1920, 1080,
                                  30, 1, 30, 1, -1, 1000) ||
      IMP_Encoder_CreateChn(0, &enc) || IMP_Encoder_RegisterChn(0, 0) || IMP_OSD_CreateGroup(0) ||
      IMP_System_Bind(&source, &osd) || IMP_System_Bind(&osd, &encoder) ||
      IMP_FrameSource_EnableChn(0)) {
    fprintf(stderr, "bring-up failed\n");
    return 1;
  }
  // The recording reads frames from the source while the exposure settles before it starts
  // the encoder, so its first coded frame does not pay for the first picture of the scene.
  IMP_FrameSource_SetFrameDepth(0, 1);
  for (int i = 0; i < 10; ++i) {
    IMPFrameInfo* frame = nullptr;
    if (IMP_FrameSource_GetFrame(0, &frame) == 0) {
      IMP_FrameSource_ReleaseFrame(0, frame);
    }
  }
  if (IMP_FrameSource_SetFrameDepth(0, 0) != 0 || IMP_Encoder_StartRecvPic(0) != 0) {
    fprintf(stderr, "encoder start failed\n");
    return 1;
  }
  const double wall0 = seconds(CLOCK_MONOTONIC);
  const double cpu0 = seconds(CLOCK_PROCESS_CPUTIME_ID);
  size_t bytes = 0;
  int timeouts = 0;
  for (int i = 0; i < length * 30; ++i) {
    IMPEncoderStream stream{};
    if (IMP_Encoder_PollingStream(0, 1000) != 0 || IMP_Encoder_GetStream(0, &stream, 1) != 0) {
      ++timeouts;
      continue;
    }
    for (uint32_t p = 0; p < stream.packCount; ++p) {
      bytes += stream.pack[p].length;
    }
    IMP_Encoder_ReleaseStream(0, &stream);
  }
  const double wall = seconds(CLOCK_MONOTONIC) - wall0;
  const double cpu = seconds(CLOCK_PROCESS_CPUTIME_ID) - cpu0;
  IMPEncoderChnStat stat{};
  IMP_Encoder_Query(0, &stat);
  rusage usage{};
  getrusage(RUSAGE_SELF, &usage);
  printf("video %d s: %d frames asked, %u dropped by the source, %d poll failures\n", length,
         length * 30, stat.droppedFrames, timeouts);
  printf("wall %.2f s, CPU %.2f s (%.0f %% of one core), %.1f ms CPU per frame\n", wall, cpu,
         100 * cpu / wall, 1000 * cpu / (length * 30));
  printf("stream %.0f kbit/s, peak RSS %ld MB\n", bytes * 8 / 1000.0 / (wall > 0 ? wall : 1),
         usage.ru_maxrss / 1024);
  return 0;
}
