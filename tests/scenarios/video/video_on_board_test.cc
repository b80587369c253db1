// Videos on the board: the MP4 the card keeps and its preview pictures, as ffprobe reads them
// after decryption; the video form after a photo in the same run; an encoder that cannot be
// created.
#include <sys/wait.h>
#include <unistd.h>

#include <cstdio>
#include <cstdlib>
#include <filesystem>
#include <memory>
#include <string>

#include <gtest/gtest.h>

#include "sim/camsim/scenario.h"
#include "sim/camsim/scenario_runner.h"

#include "camera_on_board.h"

namespace {

namespace fs = std::filesystem;

constexpr const char* kPassword = "it's$(a)pw;";

// Runs the scenario; the parts' reports go to <runDir>.reports.
std::string run(const std::string& text, const std::string& runDir) {
  sim::camsim::Scenario scenario;
  std::string error;
  EXPECT_EQ(sim::camsim::parse_scenario(text, "video", &scenario, &error), 0) << error;
  sim::camsim::RunOptions options;
  options.runDir = runDir;
  std::unique_ptr<FILE, int (*)(FILE*)> reports(fopen((runDir + ".reports").c_str(), "w"), fclose);
  options.reportOut = reports.get();
  sim::camsim::RunResult result;
  EXPECT_EQ(sim::camsim::run_scenario(scenario, options, &result, &error), 0) << error;
  return runDir;
}

std::string output_of(const std::string& command) {
  std::string text;
  FILE* pipe = popen(command.c_str(), "r");
  char buffer[256];
  size_t n = 0;
  while (pipe != nullptr && (n = fread(buffer, 1, sizeof buffer, pipe)) > 0) {
    text.append(buffer, n);
  }
  if (pipe != nullptr) {
    pclose(pipe);
  }
  return text;
}

std::string decrypted(const std::string& path) {
  const std::string plain = path + ".plain";
  if (fork() == 0) {
    execlp("openssl", "openssl", "enc", "-d", "-aes-128-cbc", "-in", path.c_str(), "-out",
           plain.c_str(), "-pass", (std::string("pass:") + kPassword).c_str(),
           static_cast<char*>(nullptr));
    _exit(127);
  }
  wait(nullptr);
  return plain;
}

size_t occurrences(const std::string& text, const std::string& what) {
  size_t n = 0;
  for (size_t at = text.find(what); at != std::string::npos; at = text.find(what, at + 1)) {
    ++n;
  }
  return n;
}

// Position of `what` in `text` (npos as the largest, so a missing line fails an ordering).
size_t at(const std::string& text, const std::string& what) {
  return text.find(what);
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
  const std::string runDir = run(std::string("date 2024-06-01 14:03:09\nspeed 1\nscene day\n"
                                             "mcu day\ncard formatted 8G\nconfig capture_mode 1\n"
                                             "config video_length 4\nconfig cellular 1\n"
                                             "tag dovu cap_mode 1\ntag dovu orve_model 7\n"
                                             "config encrypt_password ") +
                                     kPassword + "\nwake pir for 120s\n",
                                 dir.path() + "/run");
  const std::string log = scenario_test::read_file(runDir + "/wake-01/app.log");
  EXPECT_EQ(occurrences(log, "TTFF Skipped successfully"), 1u);
  EXPECT_LT(at(log, "Capture thread top half started"), at(log, "Video capture thread started"));
  EXPECT_LT(at(log, "Capture thread bottom half started"), at(log, "Starting video post process"));
  for (int frame = 1; frame <= 3; ++frame) {
    const std::string jpeg =
        runDir + "/card/primary/TRANSMIT/VI0001_" + std::to_string(frame) + ".JPG";
    ASSERT_TRUE(fs::exists(jpeg)) << jpeg;
    EXPECT_EQ(scenario_test::read_file(jpeg).rfind("Salted__", 0), 0u) << jpeg;
    EXPECT_EQ(output_of("ffprobe -v error -show_entries stream=codec_name,width,height -of "
                        "default=nw=1 '" +
                        decrypted(jpeg) + "'"),
              "codec_name=mjpeg\nwidth=640\nheight=360\n")
        << jpeg;
  }
  EXPECT_NE(scenario_test::read_file(runDir + ".reports")
                .find("Pictures: 3 JPEG files on the card, 3 decoded"),
            std::string::npos);
  const std::string mp4 = runDir + "/card/primary/DCIM/100DSCIM/VID0001.MP4";
  ASSERT_TRUE(fs::exists(mp4));
  EXPECT_EQ(scenario_test::read_file(mp4).rfind("Salted__", 0), 0u);
  const std::string plain = decrypted(mp4);
  const std::string video = output_of(
      "ffprobe -v error -select_streams v:0 -show_entries "
      "stream=codec_name,codec_tag_string,r_frame_rate,duration -of default=nw=1 '" +
      plain + "'");
  const std::string audio = output_of(
      "ffprobe -v error -select_streams a:0 -show_entries "
      "stream=codec_name,sample_rate,channels,duration -of default=nw=1 '" +
      plain + "'");
  const std::string tags = output_of(
      "ffprobe -v error -show_entries format_tags=creation_time -of default=nw=1 '" + plain + "'");
  EXPECT_NE(video.find("codec_name=hevc\ncodec_tag_string=hvc1\nr_frame_rate=30/1"),
            std::string::npos)
      << video;
  EXPECT_EQ(output_of("ffprobe -v error -select_streams v:0 -show_entries stream=width,height "
                      "-of default=nw=1 '" +
                      plain + "'"),
            "width=1280\nheight=720\n");
  EXPECT_NE(audio.find("codec_name=aac\nsample_rate=32000\nchannels=1"), std::string::npos)
      << audio;
  // Four seconds, within one GOP of a second.
  EXPECT_NEAR(number_after(video, "duration="), 4.0, 1.0) << video;
  EXPECT_NEAR(number_after(audio, "duration="), 4.0, 1.0) << audio;
  EXPECT_NE(tags.find("creation_time=2024-06-01T14:03:"), std::string::npos) << tags;
  EXPECT_EQ(output_of("ffmpeg -v error -i '" + plain + "' -f null - 2>&1"), "");
}

// A test-button photo that keeps the sensor running (low light reading), then, during the
// sync that follows, an instant capture in the video mode: the video form replaces the photo
// form without powering the sensor off, after the one warm-up of model 7; the video (3 s: its
// first key frame after the start is also the middle one) and its previews end on the
// primary partition.
TEST(VideoOnTheBoard, PhotoThenVideoInOneRunSwitchFormsWithTheSensorOn) {
  scenario_test::TempDir dir;
  const std::string runDir =
      run("date 2024-06-01 14:00:00\nspeed 1\nscene day\nmcu day\ncard formatted 8G 2\n"
          "config capture_mode 1\nconfig video_length 3\nconfig cellular 1\n"
          "config orve_model 7\ntag dovu orve_model 7\nmodem query 0\n"
          "server config captureMode 1\nserver config videoLength 3\n"
          "wake test-button adc 100 for 150s\n",
          dir.path() + "/run");
  const std::string log = scenario_test::read_file(runDir + "/wake-01/app.log");
  const size_t kept = at(log, "No sensor deinit(YUV)");
  const size_t video = at(log, "Video capture thread started");
  ASSERT_LT(kept, video) << log;
  EXPECT_EQ(log.substr(kept, video - kept).find("Sensor_Power_Down"), std::string::npos);
  EXPECT_EQ(occurrences(log, "TTFF Skipped successfully"), 1u);
  const std::string primary = runDir + "/card/primary/";
  for (const char* file :
       {"DCIM/100DSCIM/PICT0001.JPG", "DCIM/100DSCIM/VID0002.MP4", "TRANSMIT/VI0002_1.JPG",
        "TRANSMIT/VI0002_2.JPG", "TRANSMIT/VI0002_3.JPG"}) {
    EXPECT_TRUE(fs::exists(primary + file)) << file;
  }
}

TEST(VideoOnTheBoard, EncoderFaultEndsInACaptureErrorWithoutAnMp4) {
  scenario_test::TempDir dir;
  const std::string runDir =
      run("date 2024-06-01 14:00:00\nspeed 1\nscene day\nmcu day\ncard formatted 8G\n"
          "config capture_mode 1\nconfig video_length 3\ntag dovu cap_mode 1\n"
          "imp-fault IMP_Encoder_CreateChn once\nwake pir for 120s\n",
          dir.path() + "/run");
  const std::string log = scenario_test::read_file(runDir + "/wake-01/app.log");
  EXPECT_NE(log.find("IMP_Encoder_CreateChn(0) error !"), std::string::npos);
  EXPECT_NE(log.find("Sending EVENT_CAP_ERROR"), std::string::npos);
  EXPECT_FALSE(fs::exists(runDir + "/card/primary/DCIM/100DSCIM/VID0001.MP4"));
}

}  // namespace
