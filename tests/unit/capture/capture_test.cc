// The capture against the simulated sensor: the keep-running latch of the sensor release, a
// media library fault during bring-up, the frame skip, a burst of three, the filter and the
// LEDs, and a corrupt tag store answering every capture request with an error.
#include <sys/stat.h>
#include <unistd.h>

#include <fstream>
#include <new>
#include <optional>
#include <string>

#include <gtest/gtest.h>

#include "app/AV-Common.h"
#include "app/capture/capture_flags.h"
#include "app/capture/capture_orchestration.h"
#include "app/capture/ir_control.h"
#include "app/capture/photo_capture.h"
#include "app/capture/video_capture.h"
#include "app/postprocess/photo_pipeline.h"
#include "app/records/boot_tags.h"
#include "platform/imp/host/imp_host.h"

#include "tests/support/file_lines.h"
#include "tests/support/system_fixture.h"

namespace {

using test_support::drain;
using test_support::logged;
using test_support::read_file;

template <typename T>
void renew(T& record) {
  record.~T();
  new (&record) T();
}

class CaptureTest : public test_support::QueueTest {
 protected:
  void SetUp() override {
    QueueTest::SetUp();
    init_record_locks();
    test_support::use_fresh_shared_records();
    app_log_close();
    unlink(kAppLogPath);
    renew(captureFlags);
    renew(photoHandover);
    renew(bootTags);
    reset_media_session();
    reset_photo_capture();
    reset_ir_control();
    // A folder of its own each time: the sensor notices changed inputs by their time stamps.
    sensor_.emplace();
    imp_host::set_paths(sensor_->path(), "/sys/class/gpio");
    imp_host::reset();
    set_faults("");
    // The sensor is powered when the process starts.
    std::ofstream("/sys/class/gpio/gpio17/value") << "1\n";
  }
  void TearDown() override {
    imp_host::reset();
    QueueTest::TearDown();
  }

  void set_faults(const std::string& text) const {
    std::ofstream(sensor_->path() + "/faults") << text;
  }

  // Tears the pipeline down as the release thread does for a capture's request.
  static void request_teardown() {
    captureFlags.yuvDeinitRequest = 1;
    sensor_deinit_pass();
  }

  std::optional<test_support::TempDir> sensor_;
};

std::string gpio_value(int line) {
  return read_file("/sys/class/gpio/gpio" + std::to_string(line) + "/value");
}

// Below adc 237 or ev 10 the sensor stays up, and stays up for every later request until a
// form switch, which takes it down without powering it off.
TEST_F(CaptureTest, SensorKeptRunningIsLatched) {
  struct Case {
    uint16_t adc;
    uint32_t ev;
    bool kept;
  };
  for (const Case c : {Case{236, 50, true}, Case{300, 9, true}, Case{237, 10, false}}) {
    SetUp();
    ASSERT_EQ(yuv_enc_init(), 0);
    bootTags.adc = c.adc;
    captureFlags.evValue = c.ev;
    request_teardown();
    EXPECT_EQ(captureFlags.yuvReady, c.kept ? 1 : 0) << c.adc << "/" << c.ev;
    EXPECT_EQ(captureFlags.sensorKept, c.kept ? 1 : 0);
    EXPECT_EQ(captureFlags.yuvDeinitRequest, 0);
    EXPECT_EQ(gpio_value(17), c.kept ? "1\n" : "0\n") << "powered off when not kept";
    if (!c.kept) {
      continue;
    }
    bootTags.adc = 300;
    captureFlags.evValue = 50;
    request_teardown();
    EXPECT_EQ(captureFlags.yuvReady, 1) << "latched";
    captureFlags.modeSwitchInProgress = 1;
    request_teardown();
    EXPECT_EQ(captureFlags.yuvReady, 0) << "form switch";
    EXPECT_EQ(gpio_value(17), "1\n") << "a form switch leaves the sensor powered";
    TearDown();
  }
}

TEST_F(CaptureTest, BringUpFaultsEndTheBootCapture) {
  struct Case {
    const char* faults;
    int32_t bootReason;
    const char* logLine;
  };
  const Case kCases[] = {
      {"fail 1 IMP_ISP_EnableSensor once\n", 1, "failed to EnableSensor"},
      {"fail 2 IMP_FrameSource_CreateChn always\n", 1, "IMP_FrameSource_CreateChn(chn0) error !"},
      {"", 2, "switch_day_night: invalid boot_reason"},
  };
  for (const Case& c : kCases) {
    SetUp();
    set_faults(c.faults);
    sysInfo->boot_reason = c.bootReason;
    libimp_init();
    EXPECT_NE(logged().find(c.logLine), std::string::npos) << c.logLine;
    EXPECT_EQ(captureFlags.yuvDeinitRequest, 1) << c.logLine;
    EXPECT_EQ(captureFlags.photoDone, 1U) << "the photo thread is not asked for a burst";
    TearDown();
  }
}

// The ISP runs in night mode by the previous run's IR mode on a capture boot, by the MCU's
// day/night answer on any other boot (a time-lapse at night after a day capture).
TEST_F(CaptureTest, RunningModeFollowsTheBootsOwnLight) {
  const struct {
    int32_t bootReason, prevIrMode, dayNight;
    IMPISPRunningMode mode;
  } cases[] = {
      {1, 1, 0, IMPISP_RUNNING_MODE_NIGHT},
      {1, 0, 1, IMPISP_RUNNING_MODE_DAY},
      {0, 0, 1, IMPISP_RUNNING_MODE_NIGHT},
      {0, 1, 0, IMPISP_RUNNING_MODE_DAY},
  };
  for (const auto& c : cases) {
    SetUp();
    sysInfo->boot_reason = c.bootReason;
    sysInfo->prev_ir_mode = c.prevIrMode;
    sysInfo->day_night_val = c.dayNight;
    ASSERT_EQ(yuv_enc_init(), 0);
    IMPISPRunningMode mode{};
    ASSERT_EQ(IMP_ISP_Tuning_GetISPRunningMode(&mode), 0);
    EXPECT_EQ(mode, c.mode) << c.bootReason << c.prevIrMode << c.dayNight;
    TearDown();
  }
}

TEST_F(CaptureTest, FrameSkipWaitsForTheExposureBetween14And30Frames) {
  ASSERT_EQ(yuv_enc_init(), 0);
  // Cold, the exposure has to settle; once settled only the 14-frame minimum is dropped.
  ASSERT_EQ(photo_capture(1, 1), 0);
  ASSERT_EQ(photo_capture(1, 1), 0);
  EXPECT_NE(logged().rfind("Skipped 14 frames."), std::string::npos);

  set_faults("exposure unstable\n");
  ASSERT_EQ(photo_capture(1, 1), 0);
  const std::string log = logged();
  EXPECT_EQ(log.substr(log.rfind("Skipped ")).substr(0, 18), "Skipped 30 frames.");
}

TEST_F(CaptureTest, BurstOfThreeWritesThreeSnapshotsAndHandsThePipelineBack) {
  ASSERT_EQ(yuv_enc_init(), 0);
  bootTags.multishot = 3;
  sysInfo->captureType = 1;
  sysInfo->firstCapturePending = 1;
  for (int shot = 1; shot <= 3; ++shot) {
    unlink(("/tmp/snap" + std::to_string(shot) + ".yuv").c_str());
  }
  captureFlags.photoDone = 0;
  photo_capture_burst();

  // (Their order and spacing are checked on the board's clock by the board tests.)
  constexpr off_t kNv12Bytes = 1920 * 1080 * 3 / 2;
  for (int shot = 3; shot >= 1; --shot) {
    struct stat status {};
    ASSERT_EQ(stat(("/tmp/snap" + std::to_string(shot) + ".yuv").c_str(), &status), 0) << shot;
    EXPECT_EQ(status.st_size, kNv12Bytes);
  }
  EXPECT_EQ(captureFlags.photoDone, 1U);
  EXPECT_EQ(captureFlags.yuvDeinitRequest, 1);
  EXPECT_EQ(sysInfo->firstCapturePending, 0);
}

// The first capture of a process starts where the boot firmware left the exposure; every
// later one, photo or video, from the exposure the previous capture ended with, although the
// sensor restarted in between (and forgot any earlier start value).
TEST_F(CaptureTest, ACaptureAfterAnotherOfTheOtherFormStartsFromItsExposure) {
  std::ofstream(sensor_->path() + "/scene") << "light night\n";  // far from a cold start
  bootTags.adc = 300;  // the release thread powers the sensor off after each capture
  ASSERT_EQ(yuv_enc_init(), 0);
  captureFlags.photoDone = 0;
  photo_capture_burst();
  const uint32_t photoEv = captureFlags.evValue;
  EXPECT_EQ(logged().find("Set EV Start at"), std::string::npos) << "the first capture";
  sensor_deinit_pass();
  ASSERT_EQ(captureFlags.yuvReady, 0);

  sensor_power_up();
  ASSERT_EQ(yuv_enc_init(), 0);
  video_exposure_start();
  IMPISPEVAttr start{};
  ASSERT_EQ(IMP_ISP_Tuning_GetEVAttr(&start), 0);
  EXPECT_EQ(start.ev, photoEv);

  // And a photo after a first video.
  reset_photo_capture();
  video_exposure_start();
  EXPECT_EQ(logged().find("Set EV Start at"), std::string::npos);
  captureFlags.photoDone = 0;
  photo_capture_burst();
  EXPECT_NE(logged().find("Set EV Start at"), std::string::npos);
}

// The recording's pieces: the key frames that give the previews, the audio frame that starts
// the sound file. (Its writer is run on the encoder's ring by the encoder test.)
TEST(Recording, PreviewsComeFromKeyFramesOneMiddleAndLastButOne) {
  // 15 s: key frames 1, 7 and 14 (of 0..14); a short recording gives several from one.
  std::string fifteen;
  for (int key = 0; key < 15; ++key) {
    fifteen += static_cast<char>('0' + previews_of_key_frame(key, 15));
  }
  EXPECT_EQ(fifteen, "010000020000004");
  EXPECT_EQ(previews_of_key_frame(1, 2), 7u);
  EXPECT_EQ(previews_of_key_frame(1, 3), 3u);
  EXPECT_EQ(previews_of_key_frame(2, 3), 4u);
}

TEST(Recording, SoundStartsOneTo250MsAfterTheVideoOrAfter50Skips) {
  const struct {
    uint64_t frameMs;
    bool videoStarted;
    int skipped;
    bool starts;
  } cases[] = {
      {10000, true, 0, false},  {10001, true, 0, true},  {10250, true, 0, true},
      {10251, true, 0, false},  {9990, true, 0, false},  {10001, false, 0, false},
      {20000, true, 50, false}, {20000, true, 51, true}, {9990, true, 51, true},
  };
  for (const auto& c : cases) {
    EXPECT_EQ(audio_frame_starts_recording(c.frameMs, 10000, c.videoStarted, c.skipped), c.starts)
        << c.frameMs << " after " << c.skipped << " skipped";
  }
}

// A warm start keeps the burst's second; a boot capture's second snapshot comes 240 ms after
// its first frame, counted on the frame clock from the process's start.
TEST(SecondShotDelayTest, WarmStartWaitsTheBurstPeriodABootCapture240msFromItsFirstFrame) {
  struct Case {
    bool warm;
    bool boot;
    uint32_t frameUs;
    uint32_t firstShotUs;
    uint32_t initUs;
    int64_t delay;
  };
  const Case kCases[] = {
      {true, true, 0, 0, 0, 1000000},           {false, true, 100000, 400000, 0, -60000},
      {false, true, 300000, 400000, 0, 140000}, {false, false, 0, 0, 50000, 190000},
      {false, false, 0, 0, 300000, -60000},
  };
  for (const Case& c : kCases) {
    EXPECT_EQ(second_shot_delay_us(c.warm, c.boot, c.frameUs, c.firstShotUs, c.initUs), c.delay);
  }
}

TEST_F(CaptureTest, FilterIsSetOncePerProcessAndLedsOnlyAtNight) {
  sysInfo->boot_reason = 1;
  set_ir_cut_filter();
  sysInfo->boot_reason = 0;
  sysInfo->day_night_val = 1;
  set_ir_cut_filter();
  EXPECT_EQ(logged().find("Setting IR Cut Filter"), std::string::npos);

  reset_ir_control();
  set_ir_cut_filter();
  set_ir_cut_filter();
  const std::string log = logged();
  const auto first = log.find("Setting IR Cut Filter : Night mode");
  EXPECT_NE(first, std::string::npos);
  EXPECT_EQ(log.find("Setting IR Cut Filter", first + 1), std::string::npos);
  EXPECT_EQ(gpio_value(38), "0\n") << "the coil is pulsed, not left on";

  // The LEDs switch on only at night, and off only when this process switched them on.
  std::ofstream("/sys/class/gpio/gpio49/value") << "1\n";
  ir_led_off();
  EXPECT_EQ(gpio_value(49), "1\n") << "LEDs this process did not switch on are left alone";

  sysInfo->day_night_val = 0;
  ir_led_on();
  EXPECT_EQ(captureFlags.irLedOn, 0);
  sysInfo->day_night_val = 1;
  bootTags.irIntensity = 0;
  ir_led_on();
  EXPECT_EQ(gpio_value(50), "1\n");
  ir_led_off();
  EXPECT_EQ(gpio_value(49), "0\n");
  EXPECT_EQ(gpio_value(50), "0\n");
}

TEST_F(CaptureTest, CorruptTagsAnswerEveryCaptureRequestWithAnError) {
  bootTags.tag_corrupt = 1;
  unlink("/config/cap_error_file");
  for (int request = 0; request < 2; ++request) {
    captureFlags.captureStart = 1;
    sysInfo->captureOngoing = 1;
    normal_capture_once();
    const auto events = drain(sysQueue);
    ASSERT_EQ(events.size(), 1U);
    EXPECT_EQ(events[0].kind, EVENT_CAP_ERROR);
    EXPECT_EQ(captureFlags.captureStart, 0);
    EXPECT_EQ(sysInfo->captureOngoing, 0);
  }
  EXPECT_GT(std::stol(read_file("/config/cap_error_file")), 0);
}

}  // namespace
