// Post-processing time per photo, step by step, and post_process against a reference made of
// the same libraries' own tools (ffmpeg's scaler piped into cjpeg) at the same size and
// quality. Runs in the camera sandbox with the board image as /system:
//
//   camera-sandbox --system IMAGE postprocess_bench [ROUNDS]
//
// Prints one table in Markdown for BENCHMARKS.md. Figures are host wall-clock medians.
#include <sys/resource.h>
#include <sys/wait.h>

#include <algorithm>
#include <chrono>
#include <cstdio>
#include <cstdlib>
#include <cstring>
#include <filesystem>
#include <fstream>
#include <functional>
#include <string>
#include <vector>

#include "app/config/camera_config.h"
#include "app/postprocess/encrypt_file.h"
#include "app/postprocess/exif_tag.h"
#include "app/postprocess/info_bar.h"
#include "app/postprocess/naming/media_names.h"
#include "app/postprocess/photo_pipeline.h"
#include "app/system/core/shell.h"
#include "app/system/core/sys_info.h"

namespace {

constexpr int kW = 1920;
constexpr int kH = 1080;
constexpr int kQuality = 90;

// A frame with detail everywhere (a JPEG of a flat frame costs nothing to encode).
void write_snapshot(const char* path) {
  std::vector<unsigned char> frame(kW * kH * 3 / 2);
  unsigned seed = 12345;
  for (int y = 0; y < kH; ++y) {
    for (int x = 0; x < kW; ++x) {
      seed = seed * 1103515245 + 12345;
      frame[y * kW + x] = static_cast<unsigned char>((x * 3 + y * 5) / 8 + (seed >> 28));
    }
  }
  for (std::size_t i = kW * kH; i < frame.size(); ++i) {
    frame[i] = static_cast<unsigned char>(128 + (i % 37) - 18);
  }
  std::ofstream(path, std::ios::binary)
      .write(reinterpret_cast<const char*>(frame.data()), static_cast<long>(frame.size()));
}

double median_ms(int rounds, const std::function<void()>& prepare,
                 const std::function<int()>& step) {
  std::vector<double> times;
  for (int i = 0; i < rounds; ++i) {
    prepare();
    const auto start = std::chrono::steady_clock::now();
    if (step() != 0) {
      std::fprintf(stderr, "a step failed\n");
      std::exit(1);
    }
    times.push_back(
        std::chrono::duration<double, std::milli>(std::chrono::steady_clock::now() - start)
            .count());
  }
  std::sort(times.begin(), times.end());
  return times[times.size() / 2];
}

// Peak resident memory of a shell command and what it runs, by GNU time.
long peak_rss_kb(const std::string& command) {
  if (std::system(("/usr/bin/time -f %M -o /tmp/rss.txt sh -c " + shell_quote(command) +
                   " > /dev/null 2>&1")
                      .c_str()) != 0) {
    return -1;
  }
  long kb = -1;
  std::ifstream("/tmp/rss.txt") >> kb;
  return kb;
}

long own_rss_kb() {
  rusage usage{};
  getrusage(RUSAGE_SELF, &usage);
  return usage.ru_maxrss;
}

int sh(const std::string& command) {
  return std::system(command.c_str()) == 0 ? 0 : -1;
}

void copy_overlaid_frame() {
  std::filesystem::copy_file("/tmp/bench_out_420p.yuv", "/tmp/out_420p.yuv",
                             std::filesystem::copy_options::overwrite_existing);
}

}  // namespace

int main(int argc, char** argv) {
  const int rounds = argc > 1 ? std::max(1, std::atoi(argv[1])) : 5;
  static SysInfo system;
  static CameraConfig config;
  sysInfo = &system;
  cameraConfig = &config;
  init_record_locks();
  sysInfo->orve_model = 8;
  CaptureInfo& info = cameraConfig->captureInfo;
  info.year = 2024, info.month = 3, info.day = 7, info.hour = 13, info.minute = 5;
  cameraConfig->time_format = 1;

  std::printf("| step | median ms |\n|---|---|\n");
  const double overlay = median_ms(
      rounds, [] { write_snapshot("/tmp/snap.yuv"); },
      [] {
        return photo_overlay({2024, 3, 7, 13, 5, 9, "PM"}, "full_moon.png");
      });
  std::printf("| info bar (ffmpeg, 1920x1080) | %.1f |\n", overlay);
  std::filesystem::copy_file("/tmp/out_420p.yuv", "/tmp/bench_out_420p.yuv",
                             std::filesystem::copy_options::overwrite_existing);

  struct Size {
    int width;
    int height;
  };
  for (Size size : {Size{960, 540}, Size{1920, 1080}, Size{8432, 4744}}) {
    const std::string command = "/system/bin/post_process /tmp/bench.jpg " +
                                std::to_string(size.width) + " " + std::to_string(size.height) +
                                " " + std::to_string(kQuality) + " 1";
    const double ms = median_ms(rounds, copy_overlaid_frame, [&] { return sh(command); });
    std::printf("| encode %dx%d (post_process) | %.1f |\n", size.width, size.height, ms);
  }
  const double exif = median_ms(
      rounds, [] {}, [] { return exif_tag_photo(4744, 8432, "/tmp/bench.jpg"); });
  std::printf("| EXIF, 8432x4744 file (exiv2, two runs) | %.1f |\n", exif);
  const double encrypt = median_ms(
      rounds, [] {}, [] { return encrypt_file_with("/tmp/bench.jpg", "bench password"); });
  std::printf("| encryption, 8432x4744 file (openssl) | %.1f |\n", encrypt);

  // A whole photo as a PIR capture makes it: small copy, photo, 8432x4744, each tagged and
  // encrypted.
  std::filesystem::create_directories("/sdcard/primary/DCIM/100DSCIM");
  std::filesystem::create_directories("/sdcard/primary/TRANSMIT");
  cameraConfig->cellular = 1;
  cameraConfig->resolution = 1;
  cameraConfig->preview_width = 960;
  std::strcpy(cameraConfig->encrypt_password, "bench password");
  photoHandover.jpegQuality = kQuality;
  photoHandover.resizeMethod = 1;
  const double whole = median_ms(
      rounds, [] { write_snapshot("/tmp/snap.yuv"); },
      [] { return photo_post_process() == 0 && !photoHandover.postProcessFailed ? 0 : -1; });
  std::printf("| whole photo: bar, 960x540 + 1920x1080 + 8432x4744, EXIF, encryption | %.1f |\n",
              whole);
  std::printf("| peak RSS of the benchmark itself | %ld kB |\n\n", own_rss_kb());

  // Side by side at 8432x4744, same frame, same quality, the same libraries.
  std::printf("| 8432x4744, quality %d | median ms |\n|---|---|\n", kQuality);
  const double ours = median_ms(rounds, copy_overlaid_frame, [] {
    return sh("/system/bin/post_process /tmp/ours.jpg 8432 4744 90 1");
  });
  const double reference = median_ms(rounds, copy_overlaid_frame, [] {
    return sh(
        "ffmpeg -loglevel error -f rawvideo -pix_fmt yuv420p -s 1920x1080 -i "
        "/tmp/out_420p.yuv -vf scale=8432:4744:flags=bilinear -f image2pipe -vcodec ppm "
        "- | cjpeg -quality 90 -outfile /tmp/reference.jpg");
  });
  std::printf("| post_process (libswscale + libjpeg-turbo, 4:2:0 planes) | %.1f |\n", ours);
  std::printf("| ffmpeg scale \\| cjpeg (reference) | %.1f |\n", reference);

  // Peak resident memory of each program a photo runs.
  BarContent content;
  content.model = 8;
  content.time = {2024, 3, 7, 13, 5, 9, "PM"};
  content.moonIcon = "full_moon.png";
  write_snapshot("/tmp/snap.yuv");
  const long bar = peak_rss_kb(overlay_command(BarForm::kPhoto, content));
  copy_overlaid_frame();
  const long encoder = peak_rss_kb("/system/bin/post_process /tmp/ours.jpg 8432 4744 90 1");
  const long exiv2 = peak_rss_kb("exiv2 -M\"set Exif.Image.Make X\" /tmp/ours.jpg");
  const long openssl =
      peak_rss_kb("openssl enc -aes-128-cbc -in /tmp/ours.jpg -out /tmp/ours.enc -pass pass:x");
  const long cjpeg = peak_rss_kb(
      "ffmpeg -loglevel error -f rawvideo -pix_fmt yuv420p -s "
      "1920x1080 -i /tmp/out_420p.yuv -vf scale=8432:4744:flags=bilinear -f "
      "image2pipe -vcodec ppm - | cjpeg -quality 90 -outfile /tmp/rss.jpg");
  std::printf(
      "\n| peak RSS | kB |\n|---|---|\n| info bar (ffmpeg) | %ld |\n"
      "| post_process 8432x4744 | %ld |\n| exiv2 | %ld |\n| openssl | %ld |\n"
      "| reference ffmpeg \\| cjpeg, largest of the two | %ld |\n",
      bar, encoder, exiv2, openssl, cjpeg);
  std::printf("\nfile sizes: post_process %ju bytes, reference %ju bytes\n",
              std::filesystem::file_size("/tmp/ours.jpg"),
              std::filesystem::file_size("/tmp/reference.jpg"));
  return 0;
}
