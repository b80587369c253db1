// The information bar burnt into a video: the regions the set-up places per model, drawn by
// the host library into the frames on their way to the encoder, and the moon icons.
#include <fcntl.h>
#include <pthread.h>
#include <stdio.h>

#include <ctime>
#include <fstream>
#include <string>
#include <tuple>
#include <vector>

#include <gtest/gtest.h>

#include "app/capture/capture_flags.h"
#include "app/capture/osd_assets.h"
#include "app/capture/video_capture.h"
#include "app/capture/video_osd.h"
#include "app/capture/video_preview.h"
#include "app/postprocess/capture_time.h"
#include "app/system/core/sys_info.h"
#include "platform/imp/host/encoder_host.h"
#include "platform/imp/host/imp_host.h"
#include "platform/imp/host/osd_host.h"
#include "platform/imp/imp.h"

#include "tests/support/eventually.h"
#include "tests/support/file_lines.h"
#include "tests/support/imp_pipeline.h"
#include "tests/support/shared_records.h"

namespace {

constexpr int kWidth = 1920;
constexpr int kHeight = 1080;

// Luma of a grey frame.
struct Picture {
  std::vector<uint8_t> y;
  double mean(int x0, int y0, int x1, int y1) const {  // inclusive corners
    double sum = 0;
    for (int row = y0; row <= y1; ++row) {
      for (int col = x0; col <= x1; ++col) {
        sum += y[static_cast<size_t>(row) * kWidth + col];
      }
    }
    return sum / ((x1 - x0 + 1) * (y1 - y0 + 1));
  }
  int brightest(int x0, int y0, int x1, int y1) const {
    int top = 0;
    for (int row = y0; row <= y1; ++row) {
      for (int col = x0; col <= x1; ++col) {
        top = std::max<int>(top, y[static_cast<size_t>(row) * kWidth + col]);
      }
    }
    return top;
  }
};

class Osd : public imp_pipeline::HostTest {
 protected:
  void SetUp() override {
    HostTest::SetUp();
    test_support::use_fresh_shared_records();
    init_record_locks();
    sysInfo->rtcValid = 1;
    videoDone = 0;
    videoShared.gopIndex = 0;
  }
  void TearDown() override {
    if (running_) {
      stop();
    }
    HostTest::TearDown();
  }

  // Frame source -> display group 0 with the model's bar -> encoder, and the time thread.
  void start(int model) {
    sysInfo->orve_model = model;
    ASSERT_EQ(imp_pipeline::build_video(kWidth, kHeight, 4000), -1);
    regions_ = osd_init(0);
    ASSERT_NE(regions_, nullptr);
    ASSERT_EQ(imp_pipeline::connect_video(), 0);
    ASSERT_EQ(pthread_create(&thread_, nullptr, time_update_thread, nullptr), 0);
    running_ = true;
  }

  void stop() {
    running_ = false;
    videoDone = 1;
    pthread_join(thread_, nullptr);
    IMPCell source{DEV_ID_FS, 0, 0};
    IMPCell osd{DEV_ID_OSD, 0, 0};
    IMPCell encoder{DEV_ID_ENC, 0, 0};
    EXPECT_EQ(IMP_System_UnBind(&osd, &encoder) | IMP_System_UnBind(&source, &osd), 0);
    EXPECT_EQ(osd_exit(regions_, 0), 0);
  }

  // The luma of one frame drawn now over a mid-grey picture, without coding it.
  Picture drawn_on_grey() {
    std::vector<uint8_t> nv12(kWidth * kHeight * 3 / 2, 128);
    imp_host::draw_display_regions(0, nv12.data(), kWidth, kHeight);
    nv12.resize(kWidth * kHeight);
    return {nv12};
  }

  // Codes `frames` frames and decodes the last one.
  Picture recorded(int frames) {
    const std::string stream = dir_.path() + "/stream.h265";
    const std::string raw = dir_.path() + "/last.y";
    const int out = open(stream.c_str(), O_WRONLY | O_CREAT | O_TRUNC, 0644);
    for (int i = 0; i < frames; ++i) {
      IMPEncoderStream s{};
      if (IMP_Encoder_PollingStream(0, 1000) != 0 || IMP_Encoder_GetStream(0, &s, 1) != 0) {
        ADD_FAILURE() << "no frame " << i;
        close(out);
        return {};
      }
      write_stream(out, &s);
      IMP_Encoder_ReleaseStream(0, &s);
    }
    close(out);
    const std::string command = "ffmpeg -v error -y -i '" + stream + "' -vf \"select=eq(n\\," +
                                std::to_string(frames - 1) +
                                ")\" -vframes 1 -f rawvideo -pix_fmt gray '" + raw + "'";
    EXPECT_EQ(system(command.c_str()), 0);
    std::ifstream in(raw, std::ios::binary);
    Picture picture{std::vector<uint8_t>(std::istreambuf_iterator<char>(in), {})};
    EXPECT_EQ(picture.y.size(), static_cast<size_t>(kWidth * kHeight));
    return picture;
  }

  IMPRgnHandle* regions_ = nullptr;
  pthread_t thread_{};
  bool running_ = false;
};

TEST(MoonIcon, LitPartGrowsToFullMoonAndShrinksAfter) {
  auto lit = [](int phase) {
    const uint8_t* icon = moon_bitmap(phase);
    int count = 0;
    for (int i = 0; i < kMoonIconSize * kMoonIconSize; ++i) {
      count += icon[i * 4 + 2] > 0x80;
    }
    return count;
  };
  EXPECT_LT(lit(0), lit(2));
  EXPECT_LT(lit(2), lit(4));
  EXPECT_GT(lit(4), lit(6));
  EXPECT_EQ(moon_bitmap(8), nullptr);
}

TEST_F(Osd, RecordedFramesCarryTheBandTextsMoonAndLogosOfModel2) {
  cameraConfig->time_format = 0;  // 12-hour clock: meridiem shown, the rest moved right
  ASSERT_NO_FATAL_FAILURE(start(2));
  // The thread draws its first pass within its first second; frames after that carry it.
  ASSERT_TRUE(test_support::eventually([&] {
    const Picture p = drawn_on_grey();
    return p.brightest(20, 1032, 339, 1079) > 200;
  }));
  const Picture frame = recorded(8);
  stop();
  ASSERT_FALSE(frame.y.empty());

  const double above = frame.mean(1200, 960, 1350, 1020);  // the scene just above the bar
  const double band = frame.mean(1200, 1032, 1350, 1079);  // the bar between moon and logo
  EXPECT_LT(band, above * 0.7) << above;
  // Texts and logos stand out of the band in their rectangles.
  struct Spot {
    const char* what;
    int x0, y0, x1, y1;
  };
  for (const Spot& s :
       {Spot{"date", 20, 1032, 339, 1079}, Spot{"time", 358, 1032, 487, 1079},
        Spot{"meridiem", 488, 1032, 555, 1079}, Spot{"fahrenheit", 648, 1032, 807, 1079},
        Spot{"celsius", 865, 1032, 1024, 1079}, Spot{"brand", 1415, 1037, 1633, 1075},
        Spot{"family", 1663, 1047, 1810, 1068}, Spot{"model code", 1829, 1050, 1896, 1067}}) {
    EXPECT_GT(frame.mean(s.x0, s.y0, s.x1, s.y1), band + 15) << s.what;
  }
  // Between the temperatures (where the 24-hour clock would put Celsius) only the band.
  EXPECT_LT(frame.mean(812, 1032, 860, 1079), band + 8);
  // The moon of today's date: a lit part, or at new moon only its dark disc (the icon is drawn
  // from the date, so the check follows the date the test runs on).
  const std::time_t now = std::time(nullptr);
  std::tm today{};
  localtime_r(&now, &today);
  if (moon_phase(today.tm_year + 1900, today.tm_mon + 1, today.tm_mday) == 0) {
    EXPECT_LT(frame.brightest(1090, 1036, 1129, 1075), 128) << "new moon";
  } else {
    EXPECT_GT(frame.brightest(1090, 1036, 1129, 1075), 200) << "moon";
  }
}

TEST_F(Osd, Model6HasSixRegionsSecondsAndNoMoon) {
  cameraConfig->time_format = 1;
  ASSERT_NO_FATAL_FAILURE(start(6));
  ASSERT_TRUE(test_support::eventually(
      [&] { return drawn_on_grey().brightest(10, 1032, 389, 1077) > 200; }));
  const Picture p = drawn_on_grey();
  IMPOSDRgnAttr attr{};
  EXPECT_EQ(IMP_OSD_GetRgnAttr(5, &attr), 0);  // handles count from 0 in a fresh library
  EXPECT_EQ(attr.rect.p0.x, 1640);             // the sixth is the brand logo
  EXPECT_EQ(IMP_OSD_GetRgnAttr(6, &attr), -1);
  stop();
  // "hh:mm:ss" reaches past where "hh:mm" ends (about 110 pixels into the region).
  EXPECT_GT(p.brightest(272 + 120, 1032, 272 + 170, 1077), 200);
  // No moon: where the common layout has it, only the band.
  EXPECT_LT(p.brightest(1010, 1036, 1129, 1075), 128);
  // The band is lighter than for the other models.
  EXPECT_GT(p.mean(1000, 1020, 1100, 1030), 85);
  EXPECT_LT(p.mean(1000, 1020, 1100, 1030), 110);
}

// The second brand dates its first preview from the capture epoch less 7 s when the recording
// could not stamp it; the earlier epoch is kept, and the stamp crosses midnight with the
// 12-hour clock's meridiem.
TEST_F(Osd, Model6FirstPreviewFallsBackToTheEpochSevenSecondsEarlier) {
  setenv("TZ", "UTC0", 1);
  tzset();
  cameraConfig->time_format = 0;
  cameraConfig->rtcEpoch = 1796515205;  // 2026-12-06 00:00:05
  const CaptureTime stamp = stamp_one_fallback();
  EXPECT_EQ(cameraConfig->rtcEpoch.load(), 1796515198);
  EXPECT_EQ(std::make_tuple(stamp.year, stamp.month, stamp.day), std::make_tuple(2026, 12, 5));
  EXPECT_EQ(std::make_tuple(stamp.hour, stamp.minute, stamp.second), std::make_tuple(11, 59, 58));
  EXPECT_STREQ(stamp.ampm, "PM");
}

}  // namespace
