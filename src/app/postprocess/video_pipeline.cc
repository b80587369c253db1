#include "app/postprocess/video_pipeline.h"

#include <atomic>
#include <cstdio>
#include <ctime>

#include "app/config/camera_config.h"
#include "app/postprocess/capture_time.h"
#include "app/postprocess/encrypt_file.h"
#include "app/postprocess/exif_tag.h"
#include "app/postprocess/info_bar.h"
#include "app/postprocess/naming/last_capture.h"
#include "app/postprocess/naming/media_names.h"
#include "app/postprocess/photo_pipeline.h"
#include "app/records/log/app_log.h"
#include "app/system/core/shell.h"
#include "app/system/core/sys_info.h"
#include "app/system/core/wall_clock.h"
#include "app/system/os/os.h"

namespace {

// The recorded stream's number: the channel of the video form.
constexpr int kStreamNumber = 0;

// Set by a failing step of a run; cleared at the end of the run that saw it.
std::atomic<int8_t> postProcessError{0};

// The preview thread takes the middle key frame while the recording goes on and keeps frame
// 3's values once the recording has ended; on a slow board it may still be at work when the
// post-processing starts. Bounded, so a stuck thread costs the previews, not the video.
void wait_for_preview_thread() {
  constexpr int kPollMs = 100;
  constexpr int kLimitMs = 30000;
  int waited = 0;
  while (videoPreviewState.busy && waited < kLimitMs) {
    os_sleep_us(kPollMs * 1000);
    waited += kPollMs;
  }
  if (videoPreviewState.busy) {
    app_log(MOD_POSTPROCESS, LEVEL_WARN, "Video previews still being made, going on without");
  }
}

}  // namespace

VideoPreviewState videoPreviewState;

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
  wait_for_preview_thread();
  VideoPreviewState& previews = videoPreviewState;
  const int file = fileCounter.fileNumber;
  char path[128];
  for (int frame = 1; frame <= 2; ++frame) {
    char source[32];
    std::snprintf(source, sizeof source, "/tmp/frame%d.jpg", frame);
    exif_tag_preview(source, previews.firstFrames, previews.lastFrame);
    std::snprintf(path, sizeof path, kVideoPreviewName, root, file, frame);
    if (run_shellf("mv %s %s", source, path) == -1) {
      postProcessError = 1;
    } else {
      app_log(MOD_POSTPROCESS, LEVEL_INFO, "Frame %d : %s", frame, path);
    }
  }
  // Frame 3 gets its bar here, from the stream the recording kept near its end; the overlay
  // deletes that stream.
  preview_overlay(previews.lastFrame, previews.moonIconName, previews.fahrenheit, previews.celsius,
                  "stream3.h265", "frame3.jpg");
  std::snprintf(path, sizeof path, kVideoPreviewName, root, file, 3);
  if (run_shellf("mv /tmp/frame3.jpg %s", path) == -1) {
    postProcessError = 1;
  } else {
    exif_tag_preview(path, previews.firstFrames, previews.lastFrame);
    app_log(MOD_POSTPROCESS, LEVEL_INFO, "Frame 3 : %s", path);
  }
  previews.frame1Ready = 0;
  previews.frame2Ready = 0;
  previews.frame3Ready = 0;

  bool password = false;
  {
    SemLock lock(&configLock);
    password = cameraConfig->encrypt_password[0] != '\0';
  }
  if (password) {
    std::snprintf(path, sizeof path, kVideoName, root, fileCounter.folderNumber.load(), file);
    app_log(MOD_POSTPROCESS, LEVEL_DEBUG, "Encrypting file: %s\n", path);
    encrypt_file(path);
    for (int frame = 1; frame <= 3; ++frame) {
      std::snprintf(path, sizeof path, kVideoPreviewName, root, file, frame);
      app_log(MOD_POSTPROCESS, LEVEL_DEBUG, "Encrypting file: %s\n", path);
      encrypt_file(path);
    }
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
  const timespec start = now_realtime();
  get_osd_time(OsdTimeSource::kNow);
  const char* root = media_root();
  const CaptureMarker marker(root, fileCounter.folderNumber, fileCounter.fileNumber);
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
  app_log(MOD_POSTPROCESS, LEVEL_INFO, "Time taken for video post process : %fs",
          seconds_between(start, now_realtime()));
  return 0;
}
