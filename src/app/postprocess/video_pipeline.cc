#include "app/postprocess/video_pipeline.h"

#include <atomic>
#include <cstdio>
#include <ctime>

#include "app/config/camera_config.h"
#include "app/postprocess/capture_time.h"
#include "app/postprocess/encrypt_file.h"
#include "app/postprocess/media_names.h"
#include "app/postprocess/photo_pipeline.h"
#include "app/records/app_log.h"
#include "app/system/shell.h"
#include "app/system/sys_info.h"

namespace {

// The recorded stream's number: the channel of the video form.
constexpr int kStreamNumber = 0;

// Set by a failing step of a run; cleared at the end of the run that saw it.
std::atomic<int8_t> postProcessError{0};

double seconds_between(const timespec& start, const timespec& end) {
  return static_cast<double>(end.tv_sec - start.tv_sec) +
         static_cast<double>(end.tv_nsec - start.tv_nsec) / 1e9;
}

// The capture time of the video: now, stored as the capture time of the media.
CaptureTime store_capture_time() {
  const CaptureTime t = capture_time_of(std::time(nullptr), cameraConfig->time_format == 0);
  SemLock lock(&configLock);
  CaptureInfo& info = cameraConfig->captureInfo;
  info.year = t.year;
  info.month = t.month;
  info.day = t.day;
  info.hour = t.hour;
  info.minute = t.minute;
  info.second = t.second;
  std::snprintf(info.ampm, sizeof info.ampm, "%s", t.ampm);
  return t;
}

}  // namespace

int mux_command(char* buffer, int size, const char* root, int stream, int folder, int file) {
  const CaptureInfo& info = cameraConfig->captureInfo;
  char creation[96];
  std::snprintf(creation, sizeof creation, "-metadata creation_time=\"%d-%d-%dT%d:%d:%d\"",
                info.year.load(), info.month.load(), info.day.load(),
                hour_24(info.hour, info.ampm, cameraConfig->time_format == 0), info.minute.load(),
                info.second.load());
  return std::snprintf(buffer, static_cast<size_t>(size),
                       "ffmpeg -loglevel 1 -y  -f hevc -r 30 -i /tmp/stream-%d.h265 -f s16le -ar "
                       "32000 -ac 1 -i /tmp/record_file.pcm  -acodec aac -vcodec copy -tag:v hvc1 "
                       "%s %s/DCIM/%dDSCIM/VID%04d.MP4",
                       stream, creation, root, folder, file);
}

int mux_video(const char* root) {
  const int folder = fileCounter.folderNumber;
  const int file = fileCounter.fileNumber;
  char command[1024];
  const int length = mux_command(command, sizeof command, root, kStreamNumber, folder, file);
  if (length < 0 || length >= static_cast<int>(sizeof command)) {
    postProcessError = 1;
    return -1;
  }
  app_log(MOD_POSTPROCESS, LEVEL_INFO, "Video file is %s/DCIM/%dDSCIM/VID%04d.MP4", root, folder,
          file);
  if (run_shell(command) == -1) {
    postProcessError = 1;
    return -1;
  }
  return 0;
}

int finish_video_previews(const char* root) {
  // The three preview pictures (frame 1 and 2 from the preview thread, frame 3 with the
  // information bar) are not built yet; the stored video is still encrypted below.
  app_log(MOD_POSTPROCESS, LEVEL_DEBUG, "%s: not built yet", "video preview pictures");
  bool password = false;
  {
    SemLock lock(&configLock);
    password = cameraConfig->encrypt_password[0] != '\0';
  }
  if (password) {
    char path[128];
    std::snprintf(path, sizeof path, kVideoName, root, fileCounter.folderNumber.load(),
                  fileCounter.fileNumber.load());
    app_log(MOD_POSTPROCESS, LEVEL_DEBUG, "Encrypting file: %s\n", path);
    encrypt_file(path);
  }
  return 0;
}

int video_post_process() {
  if (!photoHandover.postProcessFailed) {
    if (advance_file_number() != 0) {
      app_log(MOD_POSTPROCESS, LEVEL_ERR, "Reached maximum file limit");
      return -1;
    }
  } else {
    SemLock lock(&sysInfoLock);
    photoHandover.postProcessFailed = 0;
  }
  app_log(MOD_POSTPROCESS, LEVEL_INFO, "Starting video post process");
  timespec start{};
  clock_gettime(CLOCK_REALTIME, &start);
  store_capture_time();
  const char* root = media_root();
  if (mux_video(root) != 0) {
    app_log(MOD_POSTPROCESS, LEVEL_ERR, "FFMPEG Muxing failed");
  }
  if (cameraConfig->cellular && finish_video_previews(root) != 0) {
    app_log(MOD_POSTPROCESS, LEVEL_ERR, "Video preview JPEG generation failed");
  }
  run_shell("rm /tmp/*.h265 && rm /tmp/*.pcm");
  if (postProcessError) {
    remove_prev_cap(CAPTURE_KIND_VIDEO);
    {
      SemLock lock(&sysInfoLock);
      photoHandover.postProcessFailed = 1;
    }
    postProcessError = 0;
  }
  timespec end{};
  clock_gettime(CLOCK_REALTIME, &end);
  app_log(MOD_POSTPROCESS, LEVEL_INFO, "Time taken for video post process : %fs",
          seconds_between(start, end));
  return 0;
}
