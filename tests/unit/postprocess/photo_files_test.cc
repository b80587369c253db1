// The post-processing on real files, in the camera sandbox with the board image's /system:
// the encoder program, the bar drawn on a real frame, EXIF read back with exiv2, encryption
// decrypted by openssl, and the whole photo pipeline.
#include <sys/stat.h>
#include <sys/wait.h>
#include <unistd.h>

#include <cstdio>
#include <cstring>
#include <filesystem>
#include <fstream>
#include <string>
#include <vector>

#include <gtest/gtest.h>

#include "app/postprocess/encrypt_file.h"
#include "app/postprocess/exif_tag.h"
#include "app/postprocess/info_bar.h"
#include "app/postprocess/media_names.h"
#include "app/postprocess/photo_pipeline.h"

#include "tests/support/file_lines.h"
#include "tests/support/shared_records.h"

namespace fs = std::filesystem;
using test_support::read_file;

namespace {

constexpr int kW = 1920;
constexpr int kH = 1080;
constexpr const char* kEncoder = "/system/bin/post_process";

// A frame with a luma ramp and neutral chroma, as NV12 or planar 4:2:0 (same bytes here).
std::string test_frame() {
  std::string frame(kW * kH * 3 / 2, '\x80');
  for (int y = 0; y < kH; ++y) {
    for (int x = 0; x < kW; ++x) {
      frame[y * kW + x] = static_cast<char>(60 + (x + y) % 100);
    }
  }
  return frame;
}

void write_file(const std::string& path, const std::string& bytes) {
  fs::create_directories(fs::path(path).parent_path());
  std::ofstream(path, std::ios::binary) << bytes;
}

struct Outcome {
  int status;
  std::vector<std::string> errorLines;
};

Outcome run(const std::string& command) {
  const int status = std::system((command + " 2>/tmp/stderr.txt").c_str());
  return {WIFEXITED(status) ? WEXITSTATUS(status) : -1,
          test_support::read_lines("/tmp/stderr.txt")};
}

// Width, height and baseline flag from a JPEG's start-of-frame marker.
struct JpegSize {
  int width = 0;
  int height = 0;
  bool baseline = false;
};
JpegSize jpeg_size(const std::string& path) {
  const std::string data = read_file(path);
  for (std::size_t i = 2; i + 9 < data.size();) {
    const auto byte = [&](std::size_t k) { return static_cast<unsigned char>(data[k]); };
    if (byte(i) != 0xFF) {
      return {};
    }
    const unsigned marker = byte(i + 1);
    if (marker == 0xC0 || marker == 0xC1 || marker == 0xC2) {
      return {byte(i + 7) << 8 | byte(i + 8), byte(i + 5) << 8 | byte(i + 6), marker == 0xC0};
    }
    i += 2 + (byte(i + 2) << 8 | byte(i + 3));
  }
  return {};
}

// One exiv2 value of a file ("" when absent).
std::string exif_value(const std::string& path, const std::string& key) {
  const std::string command = "exiv2 -q -K " + key + " -Pv " + path + " 2>/dev/null";
  FILE* out = popen(command.c_str(), "r");
  char line[512] = {};
  const bool got = fgets(line, sizeof line, out) != nullptr;
  pclose(out);
  std::string value = got ? line : "";
  while (!value.empty() && value.back() == '\n') {
    value.pop_back();
  }
  return value;
}

// openssl decryption with the password as one argument, no shell in between.
std::string decrypt(const std::string& path, const std::string& password) {
  const pid_t child = fork();
  if (child == 0) {
    const std::string pass = "pass:" + password;
    execlp("openssl", "openssl", "enc", "-d", "-aes-128-cbc", "-in", path.c_str(), "-out",
           "/tmp/plain.bin", "-pass", pass.c_str(), static_cast<char*>(nullptr));
    _exit(127);
  }
  int status = 0;
  waitpid(child, &status, 0);
  return WIFEXITED(status) && WEXITSTATUS(status) == 0 ? read_file("/tmp/plain.bin") : "";
}

class PhotoFiles : public ::testing::Test {
 protected:
  void SetUp() override {
    test_support::use_fresh_shared_records();
    init_record_locks();
    setenv("TZ", "UTC", 1);
    tzset();
    photoHandover.postProcessFailed = 0;
    photoHandover.jpegQuality = 80;
    photoHandover.resizeMethod = 1;
    photoHandover.multishotRemaining = 1;
    fs::remove_all("/sdcard/primary");
    for (const char* folder : {"/sdcard/primary/DCIM/100DSCIM", "/sdcard/primary/TRANSMIT",
                               "/sdcard/secondary/DCIM/100DSCIM"}) {
      fs::create_directories(folder);
    }
  }
  void TearDown() override { setenv("PATH", path_.c_str(), 1); }

  // Puts a failing program of this name first on PATH.
  void break_tool(const std::string& name) {
    write_file("/tmp/broken/" + name, "#!/bin/sh\nexit 1\n");
    chmod(("/tmp/broken/" + name).c_str(), 0755);
    setenv("PATH", ("/tmp/broken:" + path_).c_str(), 1);
  }
  std::string path_ = getenv("PATH");
};

TEST_F(PhotoFiles, EncoderSizesQualityAndRefusals) {
  write_file("/tmp/out_420p.yuv", test_frame());
  for (auto [w, h] : {std::pair{640, 360}, std::pair{850, 478}, std::pair{8432, 4744}}) {
    const std::string out = "/tmp/p" + std::to_string(w) + ".jpg";
    ASSERT_EQ(run(std::string(kEncoder) + " " + out + " " + std::to_string(w) + " " +
                  std::to_string(h) + " 90 1")
                  .status,
              0);
    const JpegSize size = jpeg_size(out);
    EXPECT_EQ(size.width, w);
    EXPECT_EQ(size.height, h);
    EXPECT_TRUE(size.baseline);
  }
  // Quality is taken to the nearest bound; each resize method is its own filter.
  run(std::string(kEncoder) + " /tmp/q100.jpg 850 478 100 1");
  run(std::string(kEncoder) + " /tmp/q250.jpg 850 478 250 1");
  run(std::string(kEncoder) + " /tmp/q1.jpg 850 478 1 1");
  run(std::string(kEncoder) + " /tmp/q-5.jpg 850 478 -5 1");
  run(std::string(kEncoder) + " /tmp/m4.jpg 850 478 100 4");
  EXPECT_EQ(read_file("/tmp/q250.jpg"), read_file("/tmp/q100.jpg"));
  EXPECT_EQ(read_file("/tmp/q-5.jpg"), read_file("/tmp/q1.jpg"));
  EXPECT_NE(read_file("/tmp/q1.jpg"), read_file("/tmp/q100.jpg"));
  EXPECT_NE(read_file("/tmp/m4.jpg"), read_file("/tmp/q100.jpg"));

  const char* refused[] = {"/tmp/r.jpg 638 360 80 1",       "/tmp/r.jpg 8434 4744 80 1",
                           "/tmp/r.jpg 1920 4746 80 1",     "/tmp/r.jpg 1920 1080 x 1",
                           "/nowhere/r.jpg 1920 1080 80 1", "/tmp/r.jpg 1920 1080"};
  for (const char* args : refused) {
    const Outcome outcome = run(std::string(kEncoder) + " " + args);
    EXPECT_NE(outcome.status, 0) << args;
    EXPECT_EQ(outcome.errorLines.size(), 1u) << args;
    EXPECT_FALSE(fs::exists("/tmp/r.jpg")) << args;
  }
  write_file("/tmp/out_420p.yuv", test_frame().substr(1000));
  EXPECT_NE(run(std::string(kEncoder) + " /tmp/r.jpg 1920 1080 80 1").status, 0);
  fs::remove("/tmp/out_420p.yuv");
  EXPECT_NE(run(std::string(kEncoder) + " /tmp/r.jpg 1920 1080 80 1").status, 0);
  EXPECT_EQ(run(std::string(kEncoder) + " load-cache").status, 0);
}

// The bar on a real frame: above it the frame is unchanged, the bar is black, and each text
// and picture is found at its place with bar background right before it.
TEST_F(PhotoFiles, BarIsDrawnWhereTheLayoutPutsIt) {
  const std::string frame = test_frame();
  write_file("/tmp/snap.yuv", frame);
  cameraConfig->time_format = 1;
  ASSERT_EQ(photo_overlay({2024, 3, 7, 13, 5, 9, "PM"}, "full_moon.png"), 0);
  EXPECT_FALSE(fs::exists("/tmp/snap.yuv"));
  const std::string out = read_file("/tmp/out_420p.yuv");
  ASSERT_EQ(out.size(), frame.size());
  const auto luma = [&](int x, int y) { return static_cast<unsigned char>(out[y * kW + x]); };
  int changedAbove = 0;
  for (int y = 0; y < 1030; ++y) {
    for (int x = 0; x < kW; x += 7) {
      changedAbove += std::abs(luma(x, y) - static_cast<unsigned char>(frame[y * kW + x])) > 2;
    }
  }
  EXPECT_EQ(changedAbove, 0);
  // Bright pixels in a window of the bar's rows.
  const auto bright = [&](int x0, int x1, int y0, int y1) {
    int count = 0;
    for (int y = y0; y < y1; ++y) {
      for (int x = x0; x < x1; ++x) {
        count += luma(x, y) > 180;
      }
    }
    return count;
  };
  int dark = 0;
  for (int y = 1032; y < kH; ++y) {
    for (int x = 1200; x < 1570; ++x) {
      dark += luma(x, y) < 30;
    }
  }
  EXPECT_EQ(dark, 370 * 48) << "the bar is black between the moon and the logos";
  for (int x : {20, 358, 568, 785}) {  // date, time, degrees F, degrees C
    EXPECT_GT(bright(x, x + 30, 1040, 1078), 20) << "text at " << x;
    EXPECT_EQ(bright(x - 14, x, 1034, 1080), 0) << "background before " << x;
  }
  EXPECT_GT(bright(1015, 1045, 1041, 1071), 600) << "full moon at 1010,1036";
  EXPECT_EQ(bright(995, 1009, 1034, 1080), 0);
  EXPECT_GT(bright(1581, 1811, 1037, 1077), 100) << "brand logo";
  EXPECT_GT(bright(1811, 1911, 1056, 1080), 30) << "model logo";
}

TEST_F(PhotoFiles, ExifFullSetReadBackAndReducedSetOnPreviews) {
  write_file("/tmp/out_420p.yuv", test_frame());
  ASSERT_EQ(run(std::string(kEncoder) + " /tmp/photo.jpg 1920 1080 80 1").status, 0);
  sysInfo->orve_model = 6;
  sysInfo->prev_ir_mode = 1;
  sysInfo->multishotCount = 3;
  photoHandover.multishotRemaining = 2;
  cameraConfig->time_format = 0;
  CaptureInfo& info = cameraConfig->captureInfo;
  info.year = 2024, info.month = 3, info.day = 7, info.hour = 1, info.minute = 5, info.second = 9;
  std::strcpy(info.ampm, "PM");
  info.exifExposureTime = 33333;
  info.exifWhiteBalance = 1;
  ASSERT_EQ(exif_tag_photo(1080, 1920, "/tmp/photo.jpg"), 0);
  const struct {
    const char* key;
    const char* value;
  } expected[] = {
      {"Exif.Image.Make", "MIRALO Camera"},
      {"Exif.Image.Model", "RLT"},
      {"Exif.Photo.DateTimeOriginal", "2024:03:07 13:05:09"},
      {"Exif.Photo.ExposureTime", "33333/1000000"},
      {"Exif.Photo.Flash", "1"},
      {"Exif.Photo.FocalLength", "63/10"},
      {"Exif.Image.ImageLength", "1080"},
      {"Exif.Image.ImageWidth", "1920"},
  };
  for (const auto& e : expected) {
    EXPECT_EQ(exif_value("/tmp/photo.jpg", e.key), e.value) << e.key;
  }
  EXPECT_NE(exif_value("/tmp/photo.jpg", "Exif.Photo.UserComment")
                .find(R"({"Infrared":1,"InfraredMode":"Night","Sequence":"2/3"})"),
            std::string::npos);

  sysInfo->prev_ir_mode = 0;
  fs::copy_file("/tmp/p640.jpg", "/tmp/frame1.jpg", fs::copy_options::overwrite_existing);
  fs::copy_file("/tmp/p640.jpg", "/tmp/frame3.jpg", fs::copy_options::overwrite_existing);
  const CaptureTime early{2024, 3, 7, 12, 5, 0, "AM"};
  const CaptureTime late{2024, 3, 7, 12, 6, 0, "PM"};
  ASSERT_EQ(exif_tag_preview("/tmp/frame1.jpg", early, late), 0);
  ASSERT_EQ(exif_tag_preview("/tmp/frame3.jpg", early, late), 0);
  EXPECT_EQ(exif_value("/tmp/frame1.jpg", "Exif.Photo.DateTimeOriginal"), "2024:03:07 00:05:00");
  EXPECT_EQ(exif_value("/tmp/frame3.jpg", "Exif.Photo.DateTimeOriginal"), "2024:03:07 12:06:00");
  EXPECT_EQ(exif_value("/tmp/frame1.jpg", "Exif.Photo.Flash"), "0");
  EXPECT_NE(exif_value("/tmp/frame1.jpg", "Exif.Photo.UserComment")
                .find(R"({"Infrared":0,"InfraredMode":"Day"})"),
            std::string::npos);
  EXPECT_EQ(exif_value("/tmp/frame1.jpg", "Exif.Image.Make"), "");
}

TEST_F(PhotoFiles, EncryptionKeepsTimeAndSurvivesHostilePasswords) {
  const std::string plain = test_frame().substr(0, 5000);
  std::string binary;
  for (int i = 1; i < 32; ++i) {
    binary += static_cast<char>((i * 37 + 128) % 255 + 1);  // 31 bytes, no NUL
  }
  const std::string passwords[] = {"secret",
                                   "it's",
                                   "a;touch /tmp/pwned",
                                   "$(touch /tmp/pwned)",
                                   "`touch /tmp/pwned`",
                                   "two\nlines",
                                   "\"'\\\"",
                                   "-pass",
                                   binary};
  const std::string path = "/sdcard/secondary/DCIM/100DSCIM/HD0003.JPG";
  for (const std::string& password : passwords) {
    SCOPED_TRACE(password);
    write_file(path, plain);
    const timespec past[2] = {{1600000000, 0}, {1600000123, 500000000}};
    utimensat(AT_FDCWD, path.c_str(), past, 0);
    ASSERT_EQ(encrypt_file_with(path.c_str(), password), 0);
    const std::string stored = read_file(path);
    EXPECT_EQ(stored.rfind("Salted__", 0), 0u);
    EXPECT_EQ(decrypt(path, password), plain);
    struct stat st {};
    stat(path.c_str(), &st);
    EXPECT_EQ(st.st_mtim.tv_sec, 1600000123);
    EXPECT_FALSE(fs::exists("/sdcard/secondary/DCIM/100DSCIM/_HD0003.JPG"));
    EXPECT_FALSE(fs::exists("/tmp/pwned"));
  }
  // The configured password; a path without a folder is refused and changes nothing.
  std::strcpy(cameraConfig->encrypt_password, "from the server");
  write_file(path, plain);
  ASSERT_EQ(encrypt_file(path.c_str()), 0);
  EXPECT_EQ(decrypt(path, "from the server"), plain);
  write_file("/tmp/loose.jpg", plain);
  ASSERT_EQ(chdir("/tmp"), 0);
  EXPECT_EQ(encrypt_file("loose.jpg"), 1);
  EXPECT_EQ(read_file("/tmp/loose.jpg"), plain);
}

class PhotoPipeline : public PhotoFiles {
 protected:
  void capture(int model, int resolution, int previewWidth) {
    sysInfo->orve_model = model;
    cameraConfig->resolution = resolution;
    cameraConfig->cellular = 1;
    cameraConfig->preview_width = previewWidth;
    write_file("/tmp/snap.yuv", test_frame());
    photo_post_process();
  }
  static std::string dcim(const char* name) {
    return std::string("/sdcard/primary/DCIM/100DSCIM/") + name;
  }
};

TEST_F(PhotoPipeline, ThreeSizesPerModelNumberedOncePerCapture) {
  const struct {
    int model;
    int hdWidth;
    int hdHeight;
  } cases[] = {{0, 7680, 4320}, {7, 7056, 3968}, {8, 8432, 4744}, {3, 8064, 4536}};
  int number = 0;
  for (const auto& c : cases) {
    capture(c.model, 1, 850);
    ++number;
    char name[32];
    std::snprintf(name, sizeof name, "%04d.JPG", number);
    SCOPED_TRACE(name);
    EXPECT_FALSE(photoHandover.postProcessFailed);
    EXPECT_EQ(fileCounter.fileNumber, number);
    const JpegSize small = jpeg_size(std::string("/sdcard/primary/TRANSMIT/PICT") + name);
    const JpegSize photo = jpeg_size(dcim("PICT") + name);
    const JpegSize hd = jpeg_size(dcim("HD") + name);
    EXPECT_EQ(small.width * 10000 + small.height, 850 * 10000 + 478);
    EXPECT_EQ(photo.width * 10000 + photo.height, 1920 * 10000 + 1080);
    EXPECT_EQ(hd.width * 10000 + hd.height, c.hdWidth * 10000 + c.hdHeight);
    EXPECT_EQ(exif_value(dcim("HD") + name, "Exif.Image.ImageWidth"), std::to_string(c.hdWidth));
  }
  EXPECT_FALSE(fs::exists("/tmp/out_420p.yuv"));
  // Without cellular and high resolution only the photo is made.
  cameraConfig->cellular = 0;
  cameraConfig->resolution = 0;
  write_file("/tmp/snap.yuv", test_frame());
  photo_post_process();
  EXPECT_TRUE(fs::exists(dcim("PICT0005.JPG")));
  EXPECT_FALSE(fs::exists(dcim("HD0005.JPG")));
  EXPECT_FALSE(fs::exists("/sdcard/primary/TRANSMIT/PICT0005.JPG"));
}

// A failing step leaves none of the capture's files and the next capture reuses its number;
// a missing overlaid frame abandons the run.
TEST_F(PhotoPipeline, FailuresRemoveTheCaptureAndKeepItsNumber) {
  for (const char* tool : {"post_process", "exiv2", "openssl"}) {
    SCOPED_TRACE(tool);
    std::strcpy(cameraConfig->encrypt_password, "pw");
    const int before = fileCounter.fileNumber;
    fs::create_directories(dcim("PICT") + "x");
    if (std::string(tool) == "post_process") {
      // The 1920x1080 photo cannot be written: the other sizes are still made, then removed.
      fs::create_directories(dcim("PICT") + std::to_string(0) + "00" + std::to_string(before + 1) +
                             ".JPG");
    } else {
      break_tool(tool);
    }
    capture(8, 1, 640);
    setenv("PATH", path_.c_str(), 1);
    EXPECT_TRUE(photoHandover.postProcessFailed);
    EXPECT_EQ(fileCounter.fileNumber, before + 1);
    char name[32];
    std::snprintf(name, sizeof name, "%04d.JPG", before + 1);
    EXPECT_FALSE(fs::exists(std::string("/sdcard/primary/TRANSMIT/PICT") + name));
    EXPECT_FALSE(fs::exists(dcim("HD") + name));
    fs::remove_all(dcim("PICT") + name);
    // The next capture takes the same number and succeeds, encrypted.
    capture(0, 0, 640);
    EXPECT_FALSE(photoHandover.postProcessFailed);
    EXPECT_EQ(fileCounter.fileNumber, before + 1);
    EXPECT_EQ(read_file(dcim("PICT") + name).rfind("Salted__", 0), 0u);
    EXPECT_EQ(read_file(std::string("/sdcard/primary/TRANSMIT/PICT") + name).rfind("Salted__", 0),
              0u);
    fs::remove_all(dcim("PICT") + "x");
  }
  fs::remove("/tmp/snap.yuv");
  EXPECT_EQ(photo_post_process(), -1);
}

}  // namespace
