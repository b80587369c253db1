#include "app/postprocess/photo_pipeline.h"

#include <sys/stat.h>

#include <atomic>
#include <cerrno>
#include <cstring>
#include <ctime>
#include <string>

#include "app/config/camera_config.h"
#include "app/postprocess/bar_temperature.h"
#include "app/postprocess/capture_time.h"
#include "app/postprocess/encrypt_file.h"
#include "app/postprocess/exif_tag.h"
#include "app/postprocess/info_bar.h"
#include "app/postprocess/naming/last_capture.h"
#include "app/postprocess/naming/media_names.h"
#include "app/postprocess/photo_sizes.h"
#include "app/records/log/app_log.h"
#include "app/system/core/shell.h"
#include "app/system/core/wall_clock.h"

PhotoHandover photoHandover;

namespace {

constexpr const char* kOverlaidFrame = "/tmp/out_420p.yuv";

// Set by any encode that fails during a run; cleared at the end of the run that saw it.
std::atomic<int8_t> postProcessError{0};
// The size being encoded.
std::atomic<int32_t> photoSize{kPhotoSizeNormal};

bool password_set() {
  SemLock lock(&configLock);
  return cameraConfig->encrypt_password[0] != '\0';
}

}  // namespace

int tag_photo(const char* root, int width, int height) {
  const int folder = fileCounter.folderNumber;
  const int file = fileCounter.fileNumber;
  char path[256];
  switch (width) {
    case 1920:
      std::snprintf(path, sizeof path, "%s/DCIM/%dDSCIM/PICT%04d.JPG", root, folder, file);
      app_log(MOD_POSTPROCESS, LEVEL_INFO, "Photo file is %s", path);
      break;
    case 960:
      std::snprintf(path, sizeof path, "%s/TRANSMIT/PICT%04d.JPG", root, file);
      app_log(MOD_POSTPROCESS, LEVEL_INFO, "Photo file is %s", path);
      break;
    case 7680:
    case 8064:
    case 7056:
    case 8432:
      std::snprintf(path, sizeof path, "%s/DCIM/%dDSCIM/HD%04d.JPG", root, folder, file);
      app_log(MOD_POSTPROCESS, LEVEL_INFO, "Photo file is %s", path);
      break;
    default:
      std::snprintf(path, sizeof path, "%s/TRANSMIT/PICT%04d.JPG", root, file);
      app_log(MOD_POSTPROCESS, LEVEL_INFO, "op_file is %s", path);
      break;
  }
  return exif_tag_photo(height, width, path);
}

int encode_photo(const char* root) {
  const int index = photoSize;
  const PhotoDimensions size = photo_dimensions(index, cameraConfig->preview_width);
  const std::string path =
      photo_path(index, root, fileCounter.folderNumber, fileCounter.fileNumber);
  if (path.empty()) {
    return 0;
  }
  const int quality = photoHandover.jpegQuality >= 0 ? photoHandover.jpegQuality.load()
                                                     : sysInfo->fastCaptureJpegQuality.load();
  const int method = photoHandover.resizeMethod >= 0 ? photoHandover.resizeMethod.load()
                                                     : sysInfo->fastCaptureResizeMethod.load();
  if (run_shellf("/system/bin/post_process %s %d %d %d %d > /dev/null 2>&1", path.c_str(),
                 size.width, size.height, quality, method) != 0) {
    postProcessError = 1;
    return 0;
  }
  // Tagging and encryption log their own failures; the picture is kept as it is, since a
  // photo without EXIF data or encryption is still the photo the user asked for.
  tag_photo(root, size.width, size.height);
  if (password_set()) {
    app_log(MOD_POSTPROCESS, LEVEL_DEBUG, "Encrypting file: %s\n", path.c_str());
    encrypt_file(path.c_str());
  }
  return 0;
}

int photo_post_process() {
  const timespec start = now_realtime();
  app_log(MOD_POSTPROCESS, LEVEL_INFO, "Starting photo post process");
  if (!photoHandover.postProcessFailed) {
    if (advance_file_number() != 0) {
      app_log(MOD_POSTPROCESS, LEVEL_ERR, "Reached maximum file limit");
      return -1;
    }
  } else {
    SemLock lock(&sysInfoLock);
    photoHandover.postProcessFailed = 0;
  }

  const CaptureTime time = get_osd_time(OsdTimeSource::kCaptureEpoch);
  if (photoHandover.multishotRemaining == 1) {
    SemLock lock(&sysInfoLock);
    photoHandover.bootCapture = 0;
  }
  const char* root = media_root();
  const char* icon = moon_icon(moon_phase(time.year, time.month, time.day));
  photo_overlay(time, icon);

  struct stat frame {};
  if (stat(kOverlaidFrame, &frame) != 0) {
    app_log(MOD_POSTPROCESS, LEVEL_ERR, "Error locating YUV capture after adding overlay : %s",
            std::strerror(errno));
    return -1;
  }
  // The small upload copy first, then the photo, then the high-resolution photo.
  const CaptureMarker marker(root, fileCounter.folderNumber, fileCounter.fileNumber);
  if (cameraConfig->cellular) {
    photoSize = kPhotoSizeSmall;
    encode_photo(root);
  }
  photoSize = kPhotoSizeNormal;
  encode_photo(root);
  if (cameraConfig->resolution == 1) {
    photoSize = high_resolution_index(sysInfo->orve_model);
    encode_photo(root);
  }
  run_shell("rm /tmp/out_420p.yuv");

  if (postProcessError) {
    remove_prev_cap(CAPTURE_KIND_PHOTO);
    {
      SemLock lock(&sysInfoLock);
      photoHandover.postProcessFailed = 1;
    }
    postProcessError = 0;
  }
  app_log(MOD_POSTPROCESS, LEVEL_INFO, "Time taken for photo post process : %fs",
          seconds_between(start, now_realtime()));
  return 0;
}
