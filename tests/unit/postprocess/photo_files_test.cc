// The post-processing on real files, in the camera sandbox with the board image's /system:
// the encoder program, the bar drawn on a real frame, EXIF read back with exiv2, encryption
// decrypted by openssl, and the whole photo pipeline.
#include <sys/stat.h>
#include <sys/wait.h>
#include <unistd.h>

#include <algorithm>
#include <array>
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
#include "app/postprocess/naming/media_names.h"
#include "app/postprocess/photo_pipeline.h"

#include "tests/support/file_lines.h"
#include "tests/support/posix_pattern.h"
#include "tests/support/shared_records.h"

namespace fs = std::filesystem;
using test_support::read_file;
using test_support::write_file;

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

// Exit status of a shell command; its standard error lines in `ret_errors`.
int run(const std::string& command, std::vector<std::string>* ret_errors = nullptr) {
  const int status = test_support::command_status(command + " 2>/tmp/stderr.txt");
  if (ret_errors != nullptr) {
    *ret_errors = test_support::read_lines("/tmp/stderr.txt");
  }
  return status;
}

// The first line a command prints.
std::string output_of(const std::string& command) {
  const std::string text = test_support::command_output(command + " 2>/tmp/stderr.txt");
  return text.substr(0, text.find('\n'));
}

// "WxH" of a baseline JPEG, "" for anything else (as file(1) reads it).
std::string baseline_size(const std::string& path) {
  const test_support::Pattern size(R"(baseline, precision 8, ([0-9]+x[0-9]+),)");
  const auto found = size.all(output_of("file -b " + path));
  return found.empty() ? "" : found[0][1];
}

std::string exif_value(const std::string& path, const std::string& key) {
  return output_of("exiv2 -q -K " + key + " -Pv " + path);
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
    fileCounter.folderNumber = 100;
    fileCounter.fileNumber = 0;
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
  const auto encode = [](const std::string& args) {
    return run(std::string(kEncoder) + " " + args);
  };
  // (The sizes written, up to the largest, are checked on the pipeline's files below.)
  // Quality is taken to the nearest bound; each resize method is its own filter.
  const auto bytes = [&](const std::string& args) {
    encode("/tmp/q.jpg 850 478 " + args);
    return read_file("/tmp/q.jpg");
  };
  EXPECT_EQ(bytes("250 1"), bytes("100 1"));
  EXPECT_EQ(bytes("-5 1"), bytes("1 1"));
  EXPECT_NE(bytes("1 1"), bytes("100 1"));
  EXPECT_NE(bytes("100 4"), bytes("100 1"));

  // Refused with one line saying why and no file left: a size out of range, a word that is
  // no number, an unwritable output, a missing argument, then a short and a missing frame.
  const auto refused = [&](const std::string& args) {
    std::vector<std::string> errors;
    const bool failed = run(std::string(kEncoder) + " " + args, &errors) != 0;
    return failed && errors.size() == 1 && !fs::exists("/tmp/r.jpg");
  };
  for (const char* args :
       {"/tmp/r.jpg 638 360 80 1", "/tmp/r.jpg 8434 4744 80 1", "/tmp/r.jpg 1920 4746 80 1",
        "/tmp/r.jpg 1920 1080 x 1", "/nowhere/r.jpg 1920 1080 80 1", "/tmp/r.jpg 1920 1080"}) {
    EXPECT_TRUE(refused(args)) << args;
  }
  write_file("/tmp/out_420p.yuv", test_frame().substr(1000));
  EXPECT_TRUE(refused("/tmp/r.jpg 1920 1080 80 1"));
  fs::remove("/tmp/out_420p.yuv");
  EXPECT_TRUE(refused("/tmp/r.jpg 1920 1080 80 1"));
  EXPECT_EQ(encode("load-cache"), 0);
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
  // Pixels of a window that pass a test.
  const auto count = [&](int x0, int x1, int y0, int y1, auto test) {
    int n = 0;
    for (int y = y0; y < y1; ++y) {
      for (int x = x0; x < x1; ++x) {
        n += test(x, y);
      }
    }
    return n;
  };
  const auto bright = [&](int x0, int x1, int y0, int y1) {
    return count(x0, x1, y0, y1, [&](int x, int y) { return luma(x, y) > 180; });
  };
  EXPECT_EQ(count(0, kW, 0, 1030,
                  [&](int x, int y) {
                    return std::abs(luma(x, y) - static_cast<unsigned char>(frame[y * kW + x])) > 2;
                  }),
            0)
      << "the frame above the bar is unchanged";
  EXPECT_EQ(count(1200, 1570, 1032, kH, [&](int x, int y) { return luma(x, y) < 30; }), 370 * 48)
      << "the bar is black between the moon and the logos";
  for (int x : {20, 358, 568, 785}) {  // date, time, degrees F, degrees C
    EXPECT_GT(bright(x, x + 30, 1040, 1078), 20) << "text at " << x;
    EXPECT_EQ(bright(x - 14, x, 1034, 1080), 0) << "background before " << x;
  }
  EXPECT_GT(bright(1015, 1045, 1041, 1071), 600) << "full moon at 1010,1036";
  EXPECT_EQ(bright(995, 1009, 1034, 1080), 0);
  EXPECT_GT(bright(1581, 1811, 1037, 1077), 100) << "brand logo";
  EXPECT_GT(bright(1811, 1911, 1056, 1080), 30) << "model logo";
}

// The frame is read as the raw frame it is, whatever it shows: ffmpeg guesses a file's format
// from its content first, and an even bright sky (luma 0xd0-0xdf, the nibble that starts a
// GSM audio frame) across the top rows read as GSM audio, so a morning photo was lost.
TEST_F(PhotoFiles, ABrightEvenSkyIsStillAPicture) {
  std::string frame = test_frame();
  std::fill_n(frame.begin(), 200 * kW, '\xd7');
  write_file("/tmp/snap.yuv", frame);
  ASSERT_EQ(photo_overlay({2024, 6, 2, 6, 24, 31, "AM"}, "waning_crescent.png"), 0);
  const std::string out = read_file("/tmp/out_420p.yuv");
  ASSERT_EQ(out.size(), frame.size());
  EXPECT_EQ(out.substr(0, 200 * kW), frame.substr(0, 200 * kW));
}

TEST_F(PhotoFiles, ExifFullSetReadBackAndReducedSetOnPreviews) {
  write_file("/tmp/out_420p.yuv", test_frame());
  ASSERT_EQ(run(std::string(kEncoder) + " /tmp/photo.jpg 1920 1080 80 1"), 0);
  fs::copy_file("/tmp/photo.jpg", "/tmp/frame1.jpg", fs::copy_options::overwrite_existing);
  fs::copy_file("/tmp/photo.jpg", "/tmp/frame3.jpg", fs::copy_options::overwrite_existing);
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
  // A path without a folder is refused and changes nothing.
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
  // The capture's three files: small copy, photo, high-resolution photo.
  static std::array<std::string, 3> files(int number) {
    char name[16];
    std::snprintf(name, sizeof name, "%04d.JPG", number);
    const std::string dcim = "/sdcard/primary/DCIM/100DSCIM/";
    return {"/sdcard/primary/TRANSMIT/PICT" + std::string(name), dcim + "PICT" + name,
            dcim + "HD" + name};
  }
};

// A capture takes the next number; a failing encoder leaves none of the capture's files and
// the next capture reuses its number; a failing exiv2 or openssl keeps the files as they are;
// a missing overlaid frame abandons the run.
TEST_F(PhotoPipeline, FailuresRemoveTheCaptureAndKeepItsNumber) {
  capture(8, 1, 850);  // a good capture first: one number, three sizes
  EXPECT_EQ(fileCounter.fileNumber, 1);
  EXPECT_EQ(baseline_size(files(1)[0]) + baseline_size(files(1)[2]), "850x4788432x4744");
  std::strcpy(cameraConfig->encrypt_password, "pw");

  // Only the 1920x1080 photo cannot be written: the whole capture goes, its number stays.
  int number = fileCounter.fileNumber + 1;
  auto [small, photo, hd] = files(number);
  fs::create_directories(photo);
  capture(8, 1, 640);
  fs::remove_all(photo);
  EXPECT_TRUE(photoHandover.postProcessFailed);
  EXPECT_EQ(fileCounter.fileNumber, number);
  EXPECT_FALSE(fs::exists(small) || fs::exists(hd));
  capture(0, 0, 640);
  EXPECT_FALSE(photoHandover.postProcessFailed);
  EXPECT_EQ(fileCounter.fileNumber, number);
  EXPECT_EQ(read_file(photo).rfind("Salted__", 0), 0u);
  EXPECT_EQ(read_file(small).rfind("Salted__", 0), 0u);

  // Tagging or encryption failing keeps the picture as it is and moves on to the next number.
  for (const char* tool : {"exiv2", "openssl"}) {
    SCOPED_TRACE(tool);
    number = fileCounter.fileNumber + 1;
    break_tool(tool);
    capture(0, 0, 640);
    setenv("PATH", path_.c_str(), 1);
    EXPECT_FALSE(photoHandover.postProcessFailed);
    EXPECT_EQ(fileCounter.fileNumber, number);
    EXPECT_TRUE(fs::exists(files(number)[1]));
  }
  fs::remove("/tmp/snap.yuv");
  EXPECT_EQ(photo_post_process(), -1);
}

}  // namespace
