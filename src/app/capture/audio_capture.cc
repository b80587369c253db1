// The audio half of a recording: microphone set-up (once per process), then PCM frames to the
// file from the first frame 1 to 250 ms after the first video frame.

#include <cstdio>
#include <memory>

#include "app/capture/capture_flags.h"
#include "app/capture/video_capture.h"
#include "app/config/camera_config.h"
#include "app/records/log/app_log.h"
#include "app/system/core/sys_info.h"
#include "app/system/os/os.h"

namespace {

constexpr int kDevice = 1;
constexpr int kChannel = 0;
constexpr int kVolume = 60;
constexpr int kGain = 31;
constexpr int kFramesPerSecond = 20;
constexpr int kDefaultLength = 15;
constexpr int kMaxSkips = 50;
constexpr uint64_t kSyncMaxMs = 250;
constexpr unsigned kPollMs = 1000;
constexpr uint32_t kStreamWaitUs = 10 * 1000;

constexpr IMPAudioIOAttr kAttributes = {
    AUDIO_SAMPLE_RATE_32000, AUDIO_BIT_WIDTH_16, AUDIO_SOUND_MODE_MONO, 20, 1600, 1};

struct FileCloser {
  void operator()(FILE* file) const { fclose(file); }
};

void* end_audio(const char* message) {
  if (message != nullptr) {
    app_log(MOD_PHOTO_AV, LEVEL_ERR, "%s", message);
  }
  audioDone = 1;
  return nullptr;
}

int configured_length() {
  const int length = cameraConfig->video_length;
  return length == 0 ? kDefaultLength : length;
}

}  // namespace

bool audio_frame_starts_recording(uint64_t frameMs, uint64_t videoStartMs, bool videoStarted,
                                  int skipped) {
  // Unsigned: a frame before the first video frame is far out of the window.
  const uint64_t d = frameMs - videoStartMs;
  return videoStarted && ((d >= 1 && d <= kSyncMaxMs) || skipped > kMaxSkips);
}

int audio_init() {
  IMPAudioIOAttr attr = kAttributes;
  if (int result = IMP_AI_SetPubAttr(kDevice, &attr); result != 0) {
    app_log(MOD_PHOTO_AV, LEVEL_ERR, "set ai %d attr err: %d", kDevice, result);
    return -1;
  }
  IMPAudioIOAttr read{};
  if (int result = IMP_AI_GetPubAttr(kDevice, &read); result != 0) {
    app_log(MOD_PHOTO_AV, LEVEL_ERR, "get ai %d attr err: %d", kDevice, result);
    return -1;
  }
  app_log(MOD_PHOTO_AV, LEVEL_INFO,
          "Audio :\tsamplerate : %d\tbitwidth : %d\tsoundmode : %d\tfrmNum : %d\tnumPerFrm : "
          "%d\tchnCnt : %d",
          read.samplerate, read.bitwidth, read.soundmode, read.frmNum, read.numPerFrm, read.chnCnt);
  if (IMP_AI_Enable(kDevice) != 0) {
    app_log(MOD_PHOTO_AV, LEVEL_ERR, "enable ai %d err", kDevice);
    return -1;
  }
  IMPAudioIChnParam param{};
  param.usrFrmDepth = 20;
  if (int result = IMP_AI_SetChnParam(kDevice, kChannel, &param); result != 0) {
    app_log(MOD_PHOTO_AV, LEVEL_ERR, "set ai %d channel %d attr err: %d", kDevice, kChannel,
            result);
    return -1;
  }
  if (int result = IMP_AI_GetChnParam(kDevice, kChannel, &param); result != 0) {
    app_log(MOD_PHOTO_AV, LEVEL_ERR, "get ai %d channel %d attr err: %d", kDevice, kChannel,
            result);
    return -1;
  }
  return 0;
}

void* audio_capture_thread(void* argument) {
  const char* path = static_cast<const char*>(argument);
  app_log(MOD_PHOTO_AV, LEVEL_INFO, "Audio capture thread started");
  if (path == nullptr) {
    return end_audio("Please input the record file name.");
  }
  std::unique_ptr<FILE, FileCloser> file(fopen(path, "wb"));
  if (!file) {
    app_log(MOD_PHOTO_AV, LEVEL_ERR, "fopen %s failed", path);
    return end_audio(nullptr);
  }
  if (!videoShared.audioInitDone) {
    if (audio_init() != 0) {
      app_log(MOD_PHOTO_AV, LEVEL_INFO, "Audio initialization failed");
      return end_audio(nullptr);
    }
    videoShared.audioInitDone = 1;
  }
  int volume = 0;
  int gain = 0;
  if (IMP_AI_EnableChn(kDevice, kChannel) != 0) {
    return end_audio("Audio Record enable channel failed");
  }
  if (IMP_AI_SetVol(kDevice, kChannel, kVolume) != 0) {
    return end_audio("Audio Record set volume failed");
  }
  if (IMP_AI_GetVol(kDevice, kChannel, &volume) != 0) {
    return end_audio("Audio Record get volume failed");
  }
  if (IMP_AI_SetGain(kDevice, kChannel, kGain) != 0) {
    return end_audio("Audio Record Set Gain failed");
  }
  if (IMP_AI_GetGain(kDevice, kChannel, &gain) != 0) {
    return end_audio("Audio Record Get Gain failed");
  }
  int limit = configured_length() * kFramesPerSecond;
  // A video thread that failed before opening its stream never starts it: nothing to record.
  while (!videoShared.videoStreamStarted) {
    if (videoDone) {
      IMP_AI_DisableChn(kDevice, kChannel);
      app_log(MOD_PHOTO_AV, LEVEL_INFO, "Audio capture thread ended");
      return end_audio(nullptr);
    }
    os_sleep_us(kStreamWaitUs);
  }
  set_locked(videoShared.videoStreamStarted, 0);

  bool synchronised = false;
  int skipped = 0;
  uint64_t startMs = 0;
  for (int count = 0; videoShared.recordingActive && count < limit; ++count) {
    if (IMP_AI_PollingFrame(kDevice, kChannel, kPollMs) != 0) {
      app_log(MOD_PHOTO_AV, LEVEL_ERR, "Audio Polling Frame Data error");
    }
    IMPAudioFrame frame{};
    if (IMP_AI_GetFrame(kDevice, kChannel, &frame, NOBLOCK) != 0) {
      return end_audio("Audio Get Frame Data error");
    }
    if (!synchronised) {
      uint8_t started = 0;
      {
        SemLock lock(&streamTimeLock);
        startMs = videoShared.videoStartMs;
        started = videoShared.videoStarted;
      }
      if (audio_frame_starts_recording(static_cast<uint64_t>(frame.timeStamp) / 1000, startMs,
                                       started != 0, skipped)) {
        synchronised = true;
        app_log(MOD_PHOTO_AV, LEVEL_INFO, "Audio skip count %d", skipped);
        limit = configured_length() * kFramesPerSecond + 1 + skipped;
      } else {
        ++skipped;
      }
    }
    if (synchronised && startMs != 0) {
      fwrite(reinterpret_cast<const void*>(frame.virAddr), 1, static_cast<size_t>(frame.len),
             file.get());
    }
    if (IMP_AI_ReleaseFrame(kDevice, kChannel, &frame) != 0) {
      return end_audio("Audio release frame data error");
    }
  }
  audioDone = 1;
  file.reset();
  if (IMP_AI_DisableChn(kDevice, kChannel) != 0) {
    app_log(MOD_PHOTO_AV, LEVEL_ERR, "Audio channel disable error");
  }
  app_log(MOD_PHOTO_AV, LEVEL_INFO, "Audio capture thread ended");
  return nullptr;
}
