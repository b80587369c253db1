#include "app/capture/video_capture.h"

#include <fcntl.h>
#include <pthread.h>
#include <unistd.h>

#include <array>
#include <cerrno>
#include <cstdio>
#include <cstring>
#include <ctime>
#include <memory>

#include "app/AV-Common.h"
#include "app/capture/capture_flags.h"
#include "app/capture/ir_control.h"
#include "app/capture/photo_capture.h"
#include "app/capture/video_osd.h"
#include "app/config/camera_config.h"
#include "app/postprocess/bar_temperature.h"
#include "app/postprocess/capture_time.h"
#include "app/postprocess/video_pipeline.h"
#include "app/records/log/app_log.h"
#include "app/system/core/shell.h"
#include "app/system/core/sys_info.h"

VideoShared videoShared;

namespace {

constexpr size_t kStackBytes = 2 * 1024 * 1024;
constexpr int kFramesPerSecond = 30;
constexpr int kDefaultLength = 15;
constexpr uint32_t kPollTimeoutMs = 1000;
constexpr IMPCell kOsdCell = {DEV_ID_OSD, 0, 0};
constexpr const char* kAudioPath = "/tmp/record_file.pcm";

int video_length() {
  SemLock lock(&configLock);
  if (cameraConfig->video_length == 0) {
    cameraConfig->video_length = kDefaultLength;
  }
  return cameraConfig->video_length;
}

const char* extension(uint32_t payloadType) {
  return payloadType == IMP_ENC_TYPE_HEVC  ? "h265"
         : payloadType == IMP_ENC_TYPE_AVC ? "h264"
                                           : "jpeg";
}

void stamp_preview(int which, bool temperatures) {
  PreviewStamp& stamp = videoShared.previews[which];
  const std::time_t now = std::time(nullptr);
  const CaptureTime t = capture_time_of(now, cameraConfig->time_format == 0);
  stamp.valid = sysInfo->rtcChecked && t.year != 1970 ? 1 : 0;
  stamp.hour = t.hour;
  stamp.minute = t.minute;
  stamp.second = t.second;
  stamp.year = t.year;
  stamp.month = t.month;
  stamp.day = t.day;
  snprintf(stamp.ampm, sizeof stamp.ampm, "%s", t.ampm);
  if (temperatures) {
    current_temperature(&stamp.celsius, &stamp.fahrenheit);
  }
  stamp.stored = 1;
}

// Writes one stream record alone to `path` (a preview's key frame).
int write_preview_stream(const char* path, const IMPEncoderStream* stream) {
  const int fd = open(path, O_RDWR | O_CREAT | O_TRUNC, 0777);
  if (fd < 0) {
    app_log(MOD_VID_ENC, LEVEL_ERR, "failed: %s", strerror(errno));
    return -1;
  }
  const int result = write_stream(fd, stream);
  close(fd);
  return result;
}

// The exposure settling of the video: as the photo frame skip, but a failed read goes on.
void settle_exposure(int channel) {
  std::array<IMPISPEVAttr, kMaxSkippedFrames> samples{};
  int count = 0;
  int skipped = 0;
  int stableRun = 0;
  while (skipped < kMaxSkippedFrames) {
    IMPFrameInfo* frame = nullptr;
    if (IMP_FrameSource_GetFrame(channel, &frame) != 0 || frame == nullptr) {
      app_log(MOD_VID_ENC, LEVEL_ERR, "IMP_FrameSource_GetFrame failed");
    } else if (IMP_FrameSource_ReleaseFrame(channel, frame) != 0) {
      app_log(MOD_VID_ENC, LEVEL_ERR, "IMP_FrameSource_ReleaseFrame failed");
    }
    IMPISPEVAttr sample{};
    if (IMP_ISP_Tuning_GetEVAttr(&sample) < 0) {
      app_log(MOD_VID_ENC, LEVEL_ERR, "IMP_ISP_Tuning_GetEVAttr failed");
      ++skipped;
      continue;
    }
    samples[static_cast<size_t>(count++)] = sample;
    ++skipped;
    const int stable =
        count < kExposureWindow
            ? 2
            : is_exposure_stable(samples.data(), count, kExposureWindow, kExposureTolerance);
    stableRun = stable == 1 ? stableRun + 1 : 0;
    if (stableRun == kStableRunToStop) {
      break;
    }
  }
  IMPISPEVAttr exposure{};
  IMP_ISP_Tuning_GetEVAttr(&exposure);
  app_log(MOD_VID_ENC, LEVEL_INFO, "exposure time : %d again : %d dgain : %d",
          static_cast<int>(exposure.expr_us), static_cast<int>(exposure.again),
          static_cast<int>(exposure.dgain));
  app_log(MOD_VID_ENC, LEVEL_INFO, "Skipped %d frames.", skipped);
}

// A key frame of the recording: the previews' frames are the second one, the middle one and
// the last one but one. In a short recording one key frame can be several of them (2 s: all
// three; 3 s: the first and the middle), and each still gets its file.
int on_key_frame(const IMPEncoderStream* stream, int length, const char* previewFormat) {
  const unsigned previews = previews_of_key_frame(videoShared.gopIndex, length);
  for (int which = 0; which < 3; ++which) {
    if ((previews & (1u << which)) == 0) {
      continue;
    }
    stamp_preview(which, which == 1);
    char path[64];
    snprintf(path, sizeof path, previewFormat, which + 1);
    if (write_preview_stream(path, stream) != 0) {
      return -1;
    }
    if (which == 1 && cameraConfig->cellular) {
      videoShared.previewUpload = 1;
    }
  }
  ++videoShared.gopIndex;
  return 0;
}

void end_video(const char* message) {
  if (message != nullptr) {
    app_log(MOD_PHOTO_AV, LEVEL_ERR, "%s", message);
  }
  videoDone = 1;
}

}  // namespace

unsigned previews_of_key_frame(int gopIndex, int length) {
  const int previewAt[3] = {1, length / 2, length - 1};
  unsigned previews = 0;
  for (int which = 0; which < 3; ++which) {
    previews |= gopIndex == previewAt[which] ? 1u << which : 0u;
  }
  return previews;
}

int write_stream(int fd, const IMPEncoderStream* stream) {
  const auto* base = reinterpret_cast<const char*>(stream->virAddr);
  for (uint32_t i = 0; i < stream->packCount; ++i) {
    const IMPEncoderPack& pack = stream->pack[i];
    if (pack.length == 0) {
      continue;
    }
    const uint32_t remSize = stream->streamSize - pack.offset;
    if (remSize < pack.length) {
      ssize_t ret = write(fd, base + pack.offset, remSize);
      if (ret != static_cast<ssize_t>(remSize)) {
        app_log(MOD_VID_ENC, LEVEL_ERR, "stream write ret(%d) != pack[%d].remSize(%d) error:%s",
                static_cast<int>(ret), static_cast<int>(i), static_cast<int>(remSize),
                strerror(errno));
        return -1;
      }
      const uint32_t rest = pack.length - remSize;
      ret = write(fd, base, rest);
      if (ret != static_cast<ssize_t>(rest)) {
        app_log(MOD_VID_ENC, LEVEL_ERR,
                "stream write ret(%d) != pack[%d].(length-remSize)(%d) error:%s",
                static_cast<int>(ret), static_cast<int>(i), static_cast<int>(rest),
                strerror(errno));
        return -1;
      }
    } else {
      const ssize_t ret = write(fd, base + pack.offset, pack.length);
      if (ret != static_cast<ssize_t>(pack.length)) {
        app_log(MOD_VID_ENC, LEVEL_ERR, "stream write ret(%d) != pack[%d].length(%d) error:%s",
                static_cast<int>(ret), static_cast<int>(i), static_cast<int>(pack.length),
                strerror(errno));
        return -1;
      }
    }
  }
  return 0;
}

void video_exposure_start() {
  if (captureFlags.irLedJustOn) {
    set_locked(captureFlags.irLedJustOn, 0);
  }
  if (!captureFlags.firstCaptureOfProcess || sysInfo->orve_model == 7) {
    const uint32_t evStart = captureFlags.evValue;
    app_log(MOD_VID_ENC, LEVEL_INFO, "Set EV start at: %d", static_cast<int>(evStart));
    IMP_ISP_Tuning_SetEvStart(&evStart);
  }
  set_locked(captureFlags.firstCaptureOfProcess, 0);
}

int capture_stream(uint32_t selector) {
  const int channel = static_cast<int>(selector & 0xFFFF);
  const uint32_t payloadType = selector >> 16;
  video_exposure_start();
  if (IMP_FrameSource_SetFrameDepth(channel, 1) != 0) {
    app_log(MOD_VID_ENC, LEVEL_ERR, "IMP_FrameSource_SetFrameDepth failed");
  }
  set_locked(sysInfo->firstCapturePending, 0);
  settle_exposure(channel);
  if (IMP_FrameSource_SetFrameDepth(channel, 0) != 0) {
    app_log(MOD_VID_ENC, LEVEL_ERR, "IMP_FrameSource_SetFrameDepth failed");
  }
  videoShared.gopIndex = 0;
  if (IMP_Encoder_StartRecvPic(channel) != 0) {
    app_log(MOD_VID_ENC, LEVEL_ERR, "IMP_Encoder_StartRecvPic(%d) failed", channel);
    return -1;
  }
  const char* ext = extension(payloadType);
  char path[64];
  char previewFormat[64];
  snprintf(path, sizeof path, "%s/stream-%d.%s", "/tmp", channel, ext);
  snprintf(previewFormat, sizeof previewFormat, "/tmp/stream%%d.%s", ext);
  app_log(MOD_VID_ENC, LEVEL_DEBUG, "Video ChnNum=%d Open Stream file %s ", channel, path);
  const int fd = open(path, O_RDWR | O_CREAT | O_TRUNC, 0777);
  if (fd < 0) {
    app_log(MOD_VID_ENC, LEVEL_ERR, "failed: %s", strerror(errno));
    return -1;
  }
  app_log(MOD_VID_ENC, LEVEL_DEBUG, "OK");
  const int length = video_length();
  const int frames = length * kFramesPerSecond;
  app_log(MOD_VID_ENC, LEVEL_INFO, "videoLength is %d", length);
  videoShared.streamOpened = 1;
  set_locked(videoShared.videoStreamStarted, 1);

  bool first = true;
  for (int count = 0; count < frames; ++count) {
    if (IMP_Encoder_PollingStream(channel, kPollTimeoutMs) < 0) {
      app_log(MOD_VID_ENC, LEVEL_ERR, "IMP_Encoder_PollingStream(%d) timeout", channel);
      continue;
    }
    IMPEncoderStream stream{};
    const int got = IMP_Encoder_GetStream(channel, &stream, 1);
    if (first) {
      SemLock lock(&streamTimeLock);
      videoShared.videoStartMs = got == 0 && stream.packCount > 0
                                     ? static_cast<uint64_t>(stream.pack[0].timestamp) / 1000
                                     : 0;
      videoShared.videoStarted = 1;
      first = false;
    }
    if (got != 0) {
      app_log(MOD_VID_ENC, LEVEL_ERR, "IMP_Encoder_GetStream(%d) failed", channel);
      close(fd);
      return -1;
    }
    if (stream.packCount > 0 && stream.pack[0].nalType == IMP_H265_NAL_VPS &&
        on_key_frame(&stream, length, previewFormat) != 0) {
      close(fd);
      return -1;
    }
    if (int result = write_stream(fd, &stream); result != 0) {
      close(fd);
      return result;
    }
    IMP_Encoder_ReleaseStream(channel, &stream);
  }
  close(fd);
  videoShared.gopIndex = 0;
  IMPISPEVAttr exposure{};
  if (IMP_ISP_Tuning_GetEVAttr(&exposure) < 0) {
    app_log(MOD_VID_ENC, LEVEL_ERR, "IMP_ISP_Tuning_GetEVAttr failed");
    return -1;
  }
  ir_led_off_after_capture();
  set_locked(captureFlags.irLedOn, 0);
  app_log(MOD_VID_ENC, LEVEL_INFO, "attr_ev.ev %d", static_cast<int>(exposure.ev));
  set_locked(captureFlags.evValue, exposure.ev);
  save_last_ev();
  if (IMP_Encoder_StopRecvPic(channel) != 0) {
    app_log(MOD_VID_ENC, LEVEL_ERR, "IMP_Encoder_StopRecvPic(%d) failed", channel);
    return -1;
  }
  return 0;
}

int get_video_stream() {
  const uint32_t selector = ((chn_defAV->payloadType >> 24) << 16) | (chn_defAV->index & 0xFFFF);
  if (capture_stream(selector) < 0) {
    app_log(MOD_VID_ENC, LEVEL_ERR, "get_video_stream failed");
  }
  return 0;
}

void* video_capture_thread(void*) {
  app_log(MOD_PHOTO_AV, LEVEL_INFO, "Video capture thread started");
  if (!captureFlags.h265Ready) {
    if (h265_enc_init() != 0) {
      app_log(MOD_PHOTO_AV, LEVEL_INFO, "Failed to initialise encoder");
      set_locked(captureFlags.h265DeinitRequest, 1);
      videoDone = 1;
      return nullptr;
    }
    app_log(MOD_PHOTO_AV, LEVEL_INFO, "Encoder initialised successfully");
    set_locked(captureFlags.h265Ready, 1);
  }
  if (IMP_OSD_CreateGroup(0) != 0) {
    app_log(MOD_PHOTO_AV, LEVEL_ERR, "IMP_OSD_CreateGroup(%d) error !", 0);
    end_video(nullptr);
    return nullptr;
  }
  IMPRgnHandle* osdRegions = osd_init(0);
  if (osdRegions == nullptr) {
    end_video("OSD init failed");
    return nullptr;
  }
  IMPCell source = chn_defAV->framesourceCell;
  IMPCell osd = kOsdCell;
  IMPCell encoder = chn_defAV->encoderCell;
  if (IMP_System_Bind(&source, &osd) != 0) {
    end_video("Bind FrameSource channel0 and OSD failed");
    return nullptr;
  }
  if (IMP_System_Bind(&osd, &encoder) != 0) {
    end_video("Bind OSD and Encoder failed");
    return nullptr;
  }
  pthread_t timeThread{};
  pthread_attr_t attr;
  pthread_attr_init(&attr);
  pthread_attr_setstacksize(&attr, kStackBytes);
  const int created = pthread_create(&timeThread, &attr, time_update_thread, nullptr);
  pthread_attr_destroy(&attr);
  if (created != 0) {
    app_log(MOD_PHOTO_AV, LEVEL_ERR, "Failed to create time_update_thread errno : %d", created);
    videoDone = 1;
    return nullptr;
  }
  IMP_FrameSource_SetFrameDepth(static_cast<int>(chn_defAV->index), 0);
  if (stream_on() != 0) {
    end_video("ImpStreamOn failed");
    pthread_join(timeThread, nullptr);
    return nullptr;
  }
  get_video_stream();
  app_log(MOD_PHOTO_AV, LEVEL_INFO, "Clearing video_recorded");
  videoDone = 1;
  if (stream_off() != 0) {
    app_log(MOD_PHOTO_AV, LEVEL_ERR, "FrameSource StreamOff failed");
    pthread_join(timeThread, nullptr);
    return nullptr;
  }
  if (int result = pthread_join(timeThread, nullptr); result != 0) {
    app_log(MOD_PHOTO_AV, LEVEL_ERR, "pthread_join timestamp_update_id  failed : errno : %d",
            result);
  }
  if (IMP_System_UnBind(&osd, &encoder) != 0) {
    app_log(MOD_PHOTO_AV, LEVEL_ERR, "UnBind OSD and Encoder failed");
    return nullptr;
  }
  if (IMP_System_UnBind(&source, &osd) != 0) {
    app_log(MOD_PHOTO_AV, LEVEL_ERR, "UnBind FrameSource and OSD failed");
    return nullptr;
  }
  if (osd_exit(osdRegions, 0) != 0) {
    app_log(MOD_PHOTO_AV, LEVEL_ERR, "OSD exit failed");
    return nullptr;
  }
  set_locked(captureFlags.h265DeinitRequest, 1);
  app_log(MOD_PHOTO_AV, LEVEL_INFO, "Video capture thread ended");
  return nullptr;
}

int start_video_recording() {
  videoDone = 0;
  audioDone = 0;
  {
    SemLock lock(&streamTimeLock);
    videoShared.videoStartMs = 0;
    videoShared.videoStarted = 0;
  }
  videoShared.streamOpened = 0;
  videoShared.recordingActive = 1;
  pthread_attr_t attr;
  if (pthread_attr_init(&attr) != 0) {
    app_log(MOD_PHOTO_AV, LEVEL_ERR, "pthread_attr_init failed ,errno : %d", errno);
  }
  if (pthread_attr_setstacksize(&attr, kStackBytes) != 0) {
    app_log(MOD_PHOTO_AV, LEVEL_ERR, "pthread_attr_setstacksize failed ,errno : %d", errno);
  }
  pthread_t video{};
  if (int result = pthread_create(&video, &attr, video_capture_thread, nullptr); result != 0) {
    app_log(MOD_PHOTO_AV, LEVEL_ERR, "Thread Create Failed record_video , errno : %d", result);
    videoShared.recordingActive = 0;
    videoDone = 1;
    audioDone = 1;
    pthread_attr_destroy(&attr);
    return -1;
  }
  pthread_t audio{};
  const bool audioStarted =
      pthread_create(&audio, &attr, audio_capture_thread, const_cast<char*>(kAudioPath)) == 0;
  pthread_attr_destroy(&attr);
  if (!audioStarted) {
    app_log(MOD_PHOTO_AV, LEVEL_ERR, "Thread Create Failed record_audio, errno : %d", errno);
    videoDone = 1;
    audioDone = 1;
  }
  // Loads the multiplexer into memory while the recording runs.
  run_shell("ffmpeg -loglevel 1");
  if (audioStarted) {
    if (int result = pthread_join(audio, nullptr); result != 0) {
      app_log(MOD_PHOTO_AV, LEVEL_ERR, "pthread join failed audio thread, errno : %d", result);
    }
  }
  if (int result = pthread_join(video, nullptr); result != 0) {
    app_log(MOD_PHOTO_AV, LEVEL_ERR, "pthread join failed video thread, errno : %d", result);
  }
  return 0;
}

void reset_video_capture() {
  videoShared.recordingActive = 1;
  videoShared.audioInitDone = 0;
  videoShared.videoStreamStarted = 0;
  videoShared.previewUpload = 0;
  videoShared.gopIndex = 0;
  videoShared.videoStartMs = 0;
  videoShared.videoStarted = 0;
  for (PreviewStamp& stamp : videoShared.previews) {
    stamp = PreviewStamp{};
  }
  captureFlags.firstCaptureOfProcess = 1;
}

// -1 when the video thread ended before it recorded anything: the capture then does not wait
// for a first frame that never comes.
int capture_record_video() {
  start_video_recording();
  return videoShared.streamOpened ? 0 : -1;
}
