// The simulated media library gives the results the capture code relies on: frames of the
// channel's size at its rate, buffers that run out without release, an exposure that settles
// from its start value, the status file lines, and the injected faults.
#include "platform/imp/host/imp_host.h"

#include <stdio.h>
#include <string.h>
#include <time.h>

#include <filesystem>
#include <fstream>
#include <functional>
#include <set>
#include <string>
#include <utility>
#include <vector>

#include <gtest/gtest.h>

#include "platform/imp/imp.h"
#include "platform/imp/isp_status_file.h"

#include "tests/support/file_lines.h"
#include "tests/support/imp_pipeline.h"

namespace {

using imp_pipeline::channel;
using test_support::write_file;

class ImpHost : public imp_pipeline::HostTest {
 protected:
  void scene(const std::string& text) { write_file(dir_.path() + "/sensor/scene", text); }
  void ircut(const std::string& text) { write_file(dir_.path() + "/sensor/ircut", text); }
  void gpio(int line, const std::string& level) {
    write_file(dir_.path() + "/gpio/gpio" + std::to_string(line) + "/value", level + "\n");
  }

  // The ISP bring-up steps in the camera's order, by the names the fault file uses.
  const std::vector<std::pair<const char*, std::function<int()>>> steps_ = {
      {"IMP_OSD_SetPoolSize", [] { return IMP_OSD_SetPoolSize(524288); }},
      {"IMP_ISP_Open", IMP_ISP_Open},
      {"IMP_ISP_AddSensor", [this] { return IMP_ISP_AddSensor(&sensor_); }},
      {"IMP_ISP_EnableSensor", IMP_ISP_EnableSensor},
      {"IMP_System_Init", IMP_System_Init},
      {"IMP_ISP_EnableTuning", IMP_ISP_EnableTuning},
      {"IMP_ISP_Tuning_SetContrast", [] { return IMP_ISP_Tuning_SetContrast(128); }},
      {"IMP_ISP_Tuning_SetBrightness", [] { return IMP_ISP_Tuning_SetBrightness(128); }},
      {"IMP_ISP_Tuning_SetISPRunningMode",
       [] { return IMP_ISP_Tuning_SetISPRunningMode(IMPISP_RUNNING_MODE_DAY); }}};
  // The index of the step that fails, or -1.
  int bring_up() {
    for (size_t i = 0; i < steps_.size(); ++i) {
      if (steps_[i].second() != 0) {
        return static_cast<int>(i);
      }
    }
    return -1;
  }
  int stream(IMPFSChnAttr attr) {
    if (IMP_FrameSource_CreateChn(0, &attr) != 0 || IMP_FrameSource_EnableChn(0) < 0) {
      return -1;
    }
    return IMP_FrameSource_SetFrameDepth(0, 1);
  }
  void bring_up_streaming(int width = 1920, int height = 1080) {
    ASSERT_EQ(bring_up(), -1);
    ASSERT_EQ(stream(channel(width, height)), 0);
  }
  // Reads one frame (its time into `time`) and its exposure, as the photo frame skip does.
  IMPISPEVAttr next_sample(int64_t* time = nullptr) {
    IMPFrameInfo* frame = nullptr;
    EXPECT_EQ(IMP_FrameSource_GetFrame(0, &frame), 0);
    if (time != nullptr && frame != nullptr) {
      *time = frame->timeStamp;
    }
    EXPECT_EQ(IMP_FrameSource_ReleaseFrame(0, frame), 0);
    IMPISPEVAttr attr{};
    EXPECT_EQ(IMP_ISP_Tuning_GetEVAttr(&attr), 0);
    return attr;
  }
  double mean_luma(const IMPFrameInfo& frame) {
    const uint8_t* data = reinterpret_cast<const uint8_t*>(frame.virAddr);
    double sum = 0;
    for (uint32_t i = 0; i < frame.width * frame.height; i += 7) {
      sum += data[i];
    }
    return sum * 7 / (frame.width * frame.height);
  }

  IMPSensorInfo sensor_ = imp_pipeline::sensor();
};

TEST_F(ImpHost, FramesHaveTheChannelSizeAndComeAtItsRate) {
  struct Case {
    int width, height, scaledWidth, scaledHeight;
  };
  for (const Case& c : {Case{1920, 1080, 0, 0}, Case{1280, 720, 1280, 720}}) {
    imp_host::reset();
    ASSERT_EQ(bring_up(), -1);
    IMPFSChnAttr attr = channel(c.width, c.height);
    attr.scaler = {c.scaledWidth != 0, c.scaledWidth, c.scaledHeight};
    ASSERT_EQ(stream(attr), 0);
    int64_t previous = 0;
    for (int i = 0; i < 3; ++i) {
      IMPFrameInfo* frame = nullptr;
      ASSERT_EQ(IMP_FrameSource_GetFrame(0, &frame), 0);
      timespec now{};
      clock_gettime(CLOCK_MONOTONIC, &now);
      EXPECT_EQ(frame->size, static_cast<uint32_t>(c.width * c.height * 3 / 2));
      EXPECT_EQ(frame->width, static_cast<uint32_t>(c.width));
      EXPECT_EQ(frame->height, static_cast<uint32_t>(c.height));
      // Never handed out before it is due; one frame period apart.
      EXPECT_LE(frame->timeStamp, int64_t{now.tv_sec} * 1000000 + now.tv_nsec / 1000);
      // A reader that comes late gets the newest frame: whole periods apart.
      if (i > 0) {
        EXPECT_GT(frame->timeStamp, previous);
        EXPECT_EQ((frame->timeStamp - previous) % 33333, 0);
      }
      previous = frame->timeStamp;
      ASSERT_EQ(IMP_FrameSource_ReleaseFrame(0, frame), 0);
    }
  }
}

TEST_F(ImpHost, BuffersRunOutWithoutRelease) {
  bring_up_streaming();
  IMPFrameInfo* first = nullptr;
  IMPFrameInfo* second = nullptr;
  IMPFrameInfo* third = nullptr;
  ASSERT_EQ(IMP_FrameSource_GetFrame(0, &first), 0);
  ASSERT_EQ(IMP_FrameSource_GetFrame(0, &second), 0);
  EXPECT_NE(first->virAddr, second->virAddr);
  EXPECT_EQ(IMP_FrameSource_GetFrame(0, &third), -1);
  ASSERT_EQ(IMP_FrameSource_ReleaseFrame(0, first), 0);
  EXPECT_EQ(IMP_FrameSource_ReleaseFrame(0, first), -1);  // not out any more
  ASSERT_EQ(IMP_FrameSource_GetFrame(0, &third), 0);
  EXPECT_GT(third->timeStamp, second->timeStamp);
  // Depth 0 keeps nothing for a reader.
  ASSERT_EQ(IMP_FrameSource_ReleaseFrame(0, third), 0);
  ASSERT_EQ(IMP_FrameSource_SetFrameDepth(0, 0), 0);
  EXPECT_EQ(IMP_FrameSource_GetFrame(0, &third), -1);
}

TEST_F(ImpHost, BringUpAndTeardownRefuseTheWrongOrderAndSensor) {
  IMPSensorInfo wrong = imp_pipeline::sensor();
  wrong.i2c.addr = 0x36;
  ASSERT_EQ(IMP_ISP_Open(), 0);
  EXPECT_EQ(IMP_ISP_AddSensor(&wrong), -1);
  EXPECT_EQ(IMP_ISP_EnableSensor(), -1);  // no sensor added
  ASSERT_EQ(IMP_ISP_AddSensor(&sensor_), 0);
  EXPECT_EQ(IMP_ISP_Close(), -1);  // the sensor is still there
  imp_host::reset();
  // A sensor whose supply line is driven low does not answer.
  write_file(dir_.path() + "/gpio/gpio17/direction", "out\n");
  gpio(17, "0");
  EXPECT_EQ(bring_up(), 3);
  gpio(17, "1");
  imp_host::reset();
  bring_up_streaming();
  EXPECT_EQ(IMP_FrameSource_DestroyChn(0), -1);  // still enabled
  ASSERT_EQ(IMP_FrameSource_SetFrameDepth(0, 0), 0);
  ASSERT_EQ(IMP_FrameSource_DisableChn(0), 0);
  ASSERT_EQ(IMP_FrameSource_DestroyChn(0), 0);
  EXPECT_EQ(IMP_System_Exit(), 0);
  EXPECT_EQ(IMP_ISP_DisableSensor(), 0);
  EXPECT_EQ(IMP_ISP_DelSensor(&sensor_), 0);
  EXPECT_EQ(IMP_ISP_DisableTuning(), 0);
  EXPECT_EQ(IMP_ISP_Close(), 0);
}

TEST_F(ImpHost, ExposureSettlesFromColdStartsSettledFromItsLastValueAndIsInTheStatusFile) {
  // Night under the LEDs with the filter out: far from the cold start.
  scene("light night\n");
  gpio(49, "1");
  ircut("night\n");
  bring_up_streaming();
  // The first frame of a scene takes longest to make; restart the exposure cold after it, so
  // the samples below follow the exposure from its start.
  next_sample();
  const uint32_t cold = 0;
  ASSERT_EQ(IMP_ISP_Tuning_SetEvStart(&cold), 0);
  std::vector<IMPISPEVAttr> samples;
  std::vector<int64_t> times;
  for (int i = 0; i < 30; ++i) {
    samples.push_back(next_sample(&times.emplace_back()));
  }
  // Moving at first, then the same readings frame after frame; settled after a number of
  // frame periods (counted in frame time, whatever the reader missed: a slow reader's first
  // sample may already be past the target, on its way back).
  EXPECT_NE(samples[0].ev, samples[29].ev);
  int settledFrom = 29;
  while (settledFrom > 0 && samples[settledFrom - 1].ev == samples[29].ev &&
         samples[settledFrom - 1].again == samples[29].again) {
    --settledFrom;
  }
  const int64_t framesToSettle = (times[settledFrom] - times[0]) / 33333;
  EXPECT_GT(framesToSettle, 3);
  EXPECT_LT(framesToSettle, 25);
  // A long exposure and gain.
  EXPECT_EQ(samples[29].expr_us, 33333u);
  EXPECT_GT(samples[29].again, 1024u);
  IMPISPAEState state{};
  ASSERT_EQ(IMP_ISP_Tuning_GetAeState(&state), 0);
  EXPECT_NE(state.stable, 0);

  // The next bring-up starts from that value and is settled at once.
  const uint32_t settled = samples[29].ev;
  imp_host::reset();
  ASSERT_EQ(IMP_ISP_Tuning_SetEvStart(&settled), 0);
  bring_up_streaming();
  for (int i = 0; i < 10; ++i) {
    EXPECT_EQ(next_sample().ev, settled);
  }

  // Daylight needs far less: a short exposure without gain.
  scene("light day\n");
  gpio(49, "0");
  ircut("day\n");
  IMPISPEVAttr day{};
  for (int i = 0; i < 30; ++i) {
    day = next_sample();
  }
  EXPECT_LT(day.ev * 10, settled);
  EXPECT_LT(day.expr_us, 33333u);
  EXPECT_EQ(day.again, 1024u);
  // The status file holds the last reading.
  FILE* file = isp_status_fopen(ISP_STATUS_PATH, "r");
  ASSERT_NE(file, nullptr);
  // Read as the photo capture reads it: the number after the first ':' of the line.
  long exposure = -1, again = -1, dgain = -1;
  char line[256];
  while (fgets(line, sizeof(line), file) != nullptr) {
    const char* colon = strchr(line, ':');
    long value = colon != nullptr ? strtol(colon + 1, nullptr, 10) : -1;
    if (strstr(line, "ISP EV value us:") != nullptr) {
      exposure = value;
    } else if (strstr(line, "ISP digital gain :") && !strstr(line, "MAX ISP digital gain :")) {
      dgain = value;
    } else if (strstr(line, "SENSOR analog gain :") && !strstr(line, "MAX SENSOR analog gain :")) {
      again = value;
    }
  }
  fclose(file);
  EXPECT_EQ(exposure, static_cast<long>(day.expr_us));
  EXPECT_EQ(again, static_cast<long>(day.again));
  EXPECT_EQ(dgain, static_cast<long>(day.dgain));

  // A restarted sensor has forgotten the start value: it starts cold again.
  ASSERT_EQ(IMP_FrameSource_SetFrameDepth(0, 0), 0);
  ASSERT_EQ(IMP_FrameSource_DisableChn(0), 0);
  ASSERT_EQ(IMP_FrameSource_DestroyChn(0), 0);
  ASSERT_EQ(IMP_System_Exit(), 0);
  ASSERT_EQ(IMP_ISP_DisableSensor(), 0);
  ASSERT_EQ(IMP_ISP_DelSensor(&sensor_), 0);
  ASSERT_EQ(IMP_ISP_DisableTuning(), 0);
  ASSERT_EQ(IMP_ISP_Close(), 0);
  ASSERT_EQ(bring_up(), -1);
  IMPISPEVAttr restarted{};
  ASSERT_EQ(IMP_ISP_Tuning_GetEVAttr(&restarted), 0);
  EXPECT_NE(restarted.ev, settled);
}

TEST_F(ImpHost, InjectedFaultsFailTheNamedOperationOnceOrAlways) {
  for (int step = 0; step < static_cast<int>(steps_.size()); ++step) {
    for (bool always : {false, true}) {
      const char* name = steps_[step].first;
      SCOPED_TRACE(std::string(name) + (always ? " always" : " once"));
      std::filesystem::remove(dir_.path() + "/sensor/fired");
      imp_host::reset();
      faults("fail " + std::to_string(step * 2 + always) + " " + name +
             (always ? " always\n" : " once\n"));
      EXPECT_EQ(bring_up(), step);
      imp_host::reset();
      EXPECT_EQ(bring_up(), always ? step : -1);
    }
  }
  faults("fail 40 IMP_FrameSource_GetFrame once\nfail 41 IMP_ISP_Tuning_GetEVAttr always\n");
  imp_host::reset();
  bring_up_streaming();
  IMPFrameInfo* frame = nullptr;
  IMPISPEVAttr attr{};
  EXPECT_EQ(IMP_FrameSource_GetFrame(0, &frame), -1);
  EXPECT_EQ(IMP_FrameSource_GetFrame(0, &frame), 0);
  EXPECT_LT(IMP_ISP_Tuning_GetEVAttr(&attr), 0);

  ASSERT_EQ(IMP_FrameSource_ReleaseFrame(0, frame), 0);
  faults("exposure unstable\n");
  IMPISPAEState state{};
  std::set<uint32_t> evs;
  for (int i = 0; i < 12; ++i) {
    evs.insert(next_sample().ev);
    ASSERT_EQ(IMP_ISP_Tuning_GetAeState(&state), 0);
    EXPECT_EQ(state.stable, 0);
  }
  EXPECT_GE(evs.size(), 5u);  // hunting, never the same reading for long
  faults("frames stop\n");
  EXPECT_EQ(IMP_FrameSource_GetFrame(0, &frame), -1);
}

TEST_F(ImpHost, PictureFollowsLightLedsFilterAndRunningMode) {
  struct Case {
    const char* light;
    const char* leds;
    const char* ircut;
    IMPISPRunningMode mode;
    bool bright;
    bool colour;
  };
  const Case cases[] = {
      {"day", "0", "day", IMPISP_RUNNING_MODE_DAY, true, true},
      {"night", "1", "night", IMPISP_RUNNING_MODE_NIGHT, true, false},
      {"night", "0", "night", IMPISP_RUNNING_MODE_NIGHT, false, false},
      {"night", "1", "day", IMPISP_RUNNING_MODE_NIGHT, false, false},
  };
  for (const Case& c : cases) {
    SCOPED_TRACE(std::string(c.light) + " leds " + c.leds + " filter " + c.ircut);
    imp_host::reset();
    scene(std::string("light ") + c.light + "\n");
    gpio(49, c.leds);
    ircut(c.ircut);
    bring_up_streaming(1280, 720);
    ASSERT_EQ(IMP_ISP_Tuning_SetISPRunningMode(c.mode), 0);
    for (int i = 0; i < 20; ++i) {  // let the exposure settle
      next_sample();
    }
    IMPFrameInfo* frame = nullptr;
    ASSERT_EQ(IMP_FrameSource_GetFrame(0, &frame), 0);
    const uint8_t* chroma = reinterpret_cast<const uint8_t*>(frame->virAddr) + 1280 * 720;
    int coloured = 0;
    for (int i = 0; i < 1280 * 360; i += 11) {
      coloured += chroma[i] < 120 || chroma[i] > 136;
    }
    EXPECT_EQ(mean_luma(*frame) > 50, c.bright) << mean_luma(*frame);
    EXPECT_EQ(coloured > 1000, c.colour) << coloured;
    ASSERT_EQ(IMP_FrameSource_ReleaseFrame(0, frame), 0);
  }
}

}  // namespace
