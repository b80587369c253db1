#include "app/capture/video_preview.h"

#include <algorithm>
#include <cstdio>
#include <cstring>

#include "app/capture/capture_flags.h"
#include "app/capture/video_capture.h"
#include "app/config/camera_config.h"
#include "app/postprocess/info_bar.h"
#include "app/postprocess/video_pipeline.h"
#include "app/system/core/shell.h"
#include "app/system/core/sys_info.h"
#include "app/system/os/os.h"

namespace {

constexpr uint32_t kPollUs = 100 * 1000;
// The second brand stamps its first preview with the first key frame's own time.
constexpr uint32_t kSecondBrandModel = 6;
// How far before the capture epoch the second brand's first preview is dated when the
// recording could not stamp it.
constexpr int64_t kStampOneLeadSeconds = 7;
// Room for a moon icon's file name, as the overlay takes it.
constexpr size_t kMoonIconLimit = 20;

CaptureTime time_of(const PreviewStamp& stamp) {
  CaptureTime t;
  t.year = stamp.year;
  t.month = stamp.month;
  t.day = stamp.day;
  t.hour = stamp.hour;
  t.minute = stamp.minute;
  t.second = stamp.second;
  std::memcpy(t.ampm, stamp.ampm, sizeof t.ampm);
  t.ampm[sizeof t.ampm - 1] = '\0';
  return t;
}

}  // namespace

CaptureTime stamp_one_fallback() {
  int64_t epoch = 0;
  {
    SemLock lock(&configLock);
    epoch = cameraConfig->rtcEpoch - kStampOneLeadSeconds;
    cameraConfig->rtcEpoch = epoch;
  }
  return capture_time_of(static_cast<std::time_t>(epoch), cameraConfig->time_format == 0);
}

void make_video_previews() {
  VideoPreviewState& state = videoPreviewState;
  state.busy = 1;
  run_shell("{ ffmpeg -v 0 -y  -i /tmp/stream2.h265 -map 0:v -s 640x360  /tmp/frame2.jpg ; } ");

  // Phases above 7 fall back to the new moon.
  const uint32_t phase = std::min<uint32_t>(moonPhase, 8);
  std::strncpy(state.moonIconName, moon_icon(static_cast<int>(phase)), kMoonIconLimit);
  state.moonIconName[kMoonIconLimit] = '\0';

  const PreviewStamp& first = videoShared.previews[0];
  const PreviewStamp& middle = videoShared.previews[1];
  const CaptureTime middleTime = time_of(middle);
  CaptureTime firstTime = middleTime;
  if (sysInfo->orve_model == kSecondBrandModel) {
    firstTime = first.valid && first.stored ? time_of(first) : stamp_one_fallback();
  }
  state.firstFrames = middleTime;
  state.fahrenheit = middle.fahrenheit;
  state.celsius = middle.celsius;
  state.frame1Ready = preview_overlay(firstTime, state.moonIconName, middle.fahrenheit,
                                      middle.celsius, "stream1.h265", "frame1.jpg") == 0;
  state.frame2Ready = preview_overlay(middleTime, state.moonIconName, middle.fahrenheit,
                                      middle.celsius, "stream2.h265", "frame2.jpg") == 0;

  // The third preview's key frame comes near the end of the recording: its time is kept once
  // the recording is over, for the post-processing to draw that frame's bar.
  while (!videoDone) {
    os_sleep_us(kPollUs);
  }
  state.lastFrame = time_of(videoShared.previews[2]);
  state.frame3Ready = videoShared.previews[2].stored;
  state.busy = 0;
}

void* preview_thread(void* unused) {
  (void)unused;
  for (;;) {
    while (!videoShared.previewUpload) {
      os_sleep_us(kPollUs);
    }
    videoPreviewState.busy = 1;
    set_locked(videoShared.previewUpload, 0);
    make_video_previews();
  }
  return nullptr;
}
