// How long the card's file-counter recovery and one free-space pass take as the number of
// pictures on the card grows. Runs inside the camera sandbox (its /sdcard is a tmpfs):
//   camera-sandbox --ro-bind /usr/bin/head /system/head storage_bench
// Pictures are one-byte files (only their number matters to the scans), except the 16 oldest,
// which are 64 KiB so that the pass has exactly one MiB to free.
#include <sys/stat.h>

#include <chrono>
#include <cstdio>
#include <cstdlib>
#include <filesystem>
#include <fstream>
#include <string>

#include "app/config/camera_config.h"
#include "app/postprocess/naming/media_names.h"
#include "app/records/log/app_log.h"
#include "app/storage/sd_monitor.h"
#include "app/system/core/sys_info.h"

namespace {

constexpr int kFilesPerFolder = 9999;
constexpr int kLargeOldest = 16;
constexpr std::size_t kLargeBytes = 64 * 1024;

double seconds_since(std::chrono::steady_clock::time_point start) {
  return std::chrono::duration<double>(std::chrono::steady_clock::now() - start).count();
}

void fill_card(int pictures) {
  system("rm -rf /sdcard/primary/* /sdcard/secondary/*");
  system("mkdir -p /sdcard/primary/DCIM /sdcard/primary/TRANSMIT /sdcard/secondary/DCIM");
  for (int index = 0; index < pictures; ++index) {
    const int folder = 100 + index / kFilesPerFolder;
    const int file = 1 + index % kFilesPerFolder;
    char path[96];
    snprintf(path, sizeof path, "/sdcard/primary/DCIM/%dDSCIM", folder);
    mkdir(path, 0755);
    snprintf(path, sizeof path, "/sdcard/primary/DCIM/%dDSCIM/PICT%04d.JPG", folder, file);
    std::ofstream(path) << std::string(index < kLargeOldest ? kLargeBytes : 1, 'x');
  }
}

int count_pictures() {
  int count = 0;
  for (const auto& folder : std::filesystem::directory_iterator("/sdcard/primary/DCIM")) {
    for (const auto& entry : std::filesystem::directory_iterator(folder.path())) {
      count += entry.path().filename().string().starts_with("PICT");
    }
  }
  return count;
}

}  // namespace

int main() {
  sysInfo = new SysInfo();
  cameraConfig = new CameraConfig();
  init_record_locks();
  // The table goes to standard error; the camera's log lines go to standard output.
  fprintf(stderr, "%10s %14s %16s %12s %9s %14s\n", "pictures", "counter (ms)", "100DSCIM (ms)",
          "pass (ms)", "deleted", "ms/deletion");
  for (int pictures : {1000, 2500, 5000, 10000, 20000}) {
    fill_card(pictures);
    auto start = std::chrono::steady_clock::now();
    save_last_file_fldr_val();
    const double counter_ms = seconds_since(start) * 1000;

    // The rebuild reads the highest folder only; the fullest folder is the worst case.
    start = std::chrono::steady_clock::now();
    find_last_file("/sdcard/primary/DCIM/100DSCIM");
    const double full_folder_ms = seconds_since(start) * 1000;

    const int64_t free_mb = get_free_space_mb("/sdcard/primary");
    start = std::chrono::steady_clock::now();
    remove_oldest_media("/sdcard/primary", free_mb + 1);
    const double pass_ms = seconds_since(start) * 1000;
    const int deleted = pictures - count_pictures();
    fprintf(stderr, "%10d %14.1f %16.1f %12.1f %9d %14.1f\n", pictures, counter_ms, full_folder_ms,
            pass_ms, deleted, deleted > 0 ? pass_ms / deleted : 0.0);
  }
  app_log_close();
  return 0;
}
