// Videos on the board: the MP4 the card keeps and its preview pictures, as ffprobe reads them
// after decryption; the video form after a photo in the same run; an encoder that cannot be
// created.
#include <cstdlib>
#include <filesystem>
#include <string>
#include <vector>

#include <gtest/gtest.h>

#include "camera_on_board.h"

namespace {

namespace fs = std::filesystem;

using scenario_test::decrypted;
using scenario_test::occurrences;

// ffprobe's (or ffmpeg's) output with its errors.
std::string output_of(const std::vector<std::string>& command) {
  std::string text;
  sim::card::run_program(command, &text);
  return text;
}

double number_after(const std::string& text, const std::string& key) {
  const size_t at = text.find(key);
  return at == std::string::npos ? -1 : std::atof(text.c_str() + at + key.size());
}

// A daytime PIR boot of model 7 with the video capture mode: the top half records (after the
// one warm-up of the photo form) at 1280x720, the bottom half post-processes, and the three
// previews for upload are encrypted 640x360 JPEGs that the contact sheet shows.
TEST(VideoOnTheBoard, PirBootVideoOfModel7IsAnEncrypted720pMp4WithThreePreviews) {
  scenario_test::TempDir dir;
  const std::string runDir = dir.path() + "/run";
  const std::string reports =
      scenario_test::run_story(std::string("date 2024-06-01 14:03:09\nscene day\n"
                                           "mcu day\ncard formatted 8G\nconfig capture_mode 1\n"
                                           "config video_length 4\nconfig cellular 1\n"
                                           "tag dovu cap_mode 1\ntag dovu orve_model 7\n"
                                           "config encrypt_password ") +
                                   scenario_test::kPassword + "\nwake pir for 120s\n",
                               runDir)
          .reports;
  const std::string log = scenario_test::read_file(runDir + "/wake-01/app.log");
  EXPECT_EQ(occurrences(log, "TTFF Skipped successfully"), 1);
  // A missing line is found at npos, the largest position: it fails the ordering.
  EXPECT_LT(log.find("Capture thread top half started"), log.find("Video capture thread started"));
  EXPECT_LT(log.find("Capture thread bottom half started"),
            log.find("Starting video post process"));
  for (int frame = 1; frame <= 3; ++frame) {
    const std::string jpeg =
        runDir + "/card/primary/TRANSMIT/VI0001_" + std::to_string(frame) + ".JPG";
    ASSERT_TRUE(fs::exists(jpeg)) << jpeg;
    EXPECT_EQ(scenario_test::read_file(jpeg).rfind("Salted__", 0), 0u) << jpeg;
    EXPECT_EQ(output_of({"ffprobe", "-v", "error", "-show_entries",
                         "stream=codec_name,width,height", "-of", "default=nw=1", decrypted(jpeg)}),
              "codec_name=mjpeg\nwidth=640\nheight=360\n")
        << jpeg;
  }
  EXPECT_NE(reports.find("Pictures: 3 JPEG files on the card, 3 decoded"), std::string::npos);
  const std::string mp4 = runDir + "/card/primary/DCIM/100DSCIM/VID0001.MP4";
  ASSERT_TRUE(fs::exists(mp4));
  EXPECT_EQ(scenario_test::read_file(mp4).rfind("Salted__", 0), 0u);
  const std::string plain = decrypted(mp4);
  const auto probe = [&plain](const char* stream, const char* entries) {
    return output_of({"ffprobe", "-v", "error", "-select_streams", stream, "-show_entries", entries,
                      "-of", "default=nw=1", plain});
  };
  const std::string video =
      probe("v:0", "stream=codec_name,codec_tag_string,width,height,r_frame_rate,duration");
  const std::string audio = probe("a:0", "stream=codec_name,sample_rate,channels,duration");
  EXPECT_NE(video.find("codec_name=hevc\ncodec_tag_string=hvc1\nwidth=1280\nheight=720\n"
                       "r_frame_rate=30/1"),
            std::string::npos)
      << video;
  EXPECT_NE(audio.find("codec_name=aac\nsample_rate=32000\nchannels=1"), std::string::npos)
      << audio;
  // Four seconds, within one GOP of a second.
  EXPECT_NEAR(number_after(video, "duration="), 4.0, 1.0) << video;
  EXPECT_NEAR(number_after(audio, "duration="), 4.0, 1.0) << audio;
  const std::string tags = probe("v:0", "format_tags=creation_time");
  EXPECT_NE(tags.find("creation_time=2024-06-01T14:03:"), std::string::npos) << tags;
  EXPECT_EQ(output_of({"ffmpeg", "-v", "error", "-i", plain, "-f", "null", "-"}), "");
}

// A test-button photo that keeps the sensor running (low light reading), then, during the
// sync that follows, an instant capture in the video mode: the video form replaces the photo
// form without powering the sensor off, after the one warm-up of model 7; the video (3 s: its
// first key frame after the start is also the middle one) and its previews end on the
// primary partition.
TEST(VideoOnTheBoard, PhotoThenVideoInOneRunSwitchFormsWithTheSensorOn) {
  scenario_test::TempDir dir;
  const std::string runDir = dir.path() + "/run";
  scenario_test::run_story(
      "date 2024-06-01 14:00:00\nscene day\nmcu day\ncard formatted 8G 2\n"
      "config capture_mode 1\nconfig video_length 3\nconfig cellular 1\n"
      "config orve_model 7\ntag dovu orve_model 7\nmodem query 0\n"
      "server config captureMode 1\nserver config videoLength 3\n"
      "wake test-button adc 100 for 150s\n",
      runDir);
  const std::string log = scenario_test::read_file(runDir + "/wake-01/app.log");
  const size_t kept = log.find("No sensor deinit(YUV)");
  const size_t video = log.find("Video capture thread started");
  ASSERT_LT(kept, video) << log;
  EXPECT_EQ(log.substr(kept, video - kept).find("Sensor_Power_Down"), std::string::npos);
  EXPECT_EQ(occurrences(log, "TTFF Skipped successfully"), 1);
  const std::string primary = runDir + "/card/primary/";
  for (const char* file :
       {"DCIM/100DSCIM/PICT0001.JPG", "DCIM/100DSCIM/VID0002.MP4", "TRANSMIT/VI0002_1.JPG",
        "TRANSMIT/VI0002_2.JPG", "TRANSMIT/VI0002_3.JPG"}) {
    EXPECT_TRUE(fs::exists(primary + file)) << file;
  }
}

TEST(VideoOnTheBoard, EncoderFaultEndsInACaptureErrorWithoutAnMp4) {
  scenario_test::TempDir dir;
  const std::string runDir = dir.path() + "/run";
  scenario_test::run_story(
      "date 2024-06-01 14:00:00\nscene day\nmcu day\ncard formatted 8G\n"
      "config capture_mode 1\nconfig video_length 3\ntag dovu cap_mode 1\n"
      "imp-fault IMP_Encoder_CreateChn once\nwake pir for 120s\n",
      runDir);
  const std::string log = scenario_test::read_file(runDir + "/wake-01/app.log");
  EXPECT_NE(log.find("Sending EVENT_CAP_ERROR"), std::string::npos);
  EXPECT_FALSE(fs::exists(runDir + "/card/primary/DCIM/100DSCIM/VID0001.MP4"));
}

}  // namespace
