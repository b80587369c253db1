// Videos of PIR wake-ups on the board: the MP4 the card keeps, as ffprobe reads it after
// decryption, and an encoder that cannot be created.
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

std::string run(const std::string& text, const std::string& runDir) {
  sim::camsim::Scenario scenario;
  std::string error;
  EXPECT_EQ(sim::camsim::parse_scenario(text, "video", &scenario, &error), 0) << error;
  sim::camsim::RunOptions options;
  options.runDir = runDir;
  std::unique_ptr<FILE, int (*)(FILE*)> reports(fopen("/dev/null", "w"), fclose);
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

double number_after(const std::string& text, const std::string& key) {
  const size_t at = text.find(key);
  return at == std::string::npos ? -1 : std::atof(text.c_str() + at + key.size());
}

TEST(VideoOnTheBoard, PirVideoIsAnEncryptedMp4OfH265AndAacOfTheConfiguredLength) {
  scenario_test::TempDir dir;
  const std::string runDir = run(std::string("date 2024-06-01 14:03:09\nspeed 1\nscene day\n"
                                             "mcu day\ncard formatted 8G\nconfig capture_mode 1\n"
                                             "config video_length 4\nconfig cellular 1\n"
                                             "tag dovu cap_mode 1\nconfig encrypt_password ") +
                                     kPassword + "\nwake pir for 120s\n",
                                 dir.path() + "/run");
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
  EXPECT_NE(audio.find("codec_name=aac\nsample_rate=32000\nchannels=1"), std::string::npos)
      << audio;
  // Four seconds, within one GOP of a second.
  EXPECT_NEAR(number_after(video, "duration="), 4.0, 1.0) << video;
  EXPECT_NEAR(number_after(audio, "duration="), 4.0, 1.0) << audio;
  EXPECT_NE(tags.find("creation_time=2024-06-01T14:03:"), std::string::npos) << tags;
  EXPECT_EQ(output_of("ffmpeg -v error -i '" + plain + "' -f null - 2>&1"), "");
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
