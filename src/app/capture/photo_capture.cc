#include "app/capture/photo_capture.h"

#include <algorithm>
#include <array>
#include <cstdio>
#include <cstdlib>
#include <cstring>
#include <ctime>
#include <memory>

#include "app/capture/capture_flags.h"
#include "app/capture/ir_control.h"
#include "app/config/camera_config.h"
#include "app/postprocess/photo_pipeline.h"
#include "app/records/boot_tags.h"
#include "app/records/log/app_log.h"
#include "app/system/core/shell.h"
#include "app/system/core/sys_info.h"
#include "app/system/core/wall_clock.h"
#include "app/system/os/os.h"
#include "platform/imp/isp_status_file.h"

namespace {

constexpr int kChannel = 0;
constexpr uint32_t kPollUs = 10 * 1000;
constexpr int64_t kBurstPeriodUs = 1000000;
constexpr int64_t kBootSecondShotUs = 240000;
constexpr int kMaxBurst = 3;
constexpr std::size_t kStatusLineSize = 256;

int g_shots_since_boot = 0;
uint8_t g_warmups_started = 0;

void sleep_us(int64_t us) {
  if (us >= 1) {
    os_sleep_us(static_cast<uint64_t>(us));
  }
}

// Drops frames until the exposure has settled: at least kExposureWindow + kStableRunToStop - 1
// frames (the window has to fill, then hold stable five times), at most kMaxSkippedFrames.
void skip_frames_until_stable() {
  std::array<IMPISPEVAttr, kMaxSkippedFrames> samples{};
  int count = 0;
  int skipped = 0;
  int stable_run = 0;
  while (skipped < kMaxSkippedFrames) {
    IMPFrameInfo* frame = nullptr;
    if (IMP_FrameSource_GetFrame(kChannel, &frame) == 0 && frame != nullptr) {
      IMP_FrameSource_ReleaseFrame(kChannel, frame);
    }
    IMPISPEVAttr sample{};
    if (IMP_ISP_Tuning_GetEVAttr(&sample) < 0) {
      app_log(MOD_PHOTO_AV, LEVEL_ERR, "IMP_ISP_Tuning_GetEVAttr failed");
      ++skipped;
      continue;
    }
    samples[static_cast<std::size_t>(count++)] = sample;
    ++skipped;
    if (count < kExposureWindow) {
      stable_run = 0;
      continue;
    }
    if (is_exposure_stable(samples.data(), count, kExposureWindow, kExposureTolerance) == 1) {
      if (++stable_run == kStableRunToStop) {
        break;
      }
    } else {
      stable_run = 0;
    }
  }
  app_log(MOD_PHOTO_AV, LEVEL_INFO, "Skipped %d frames.", skipped);
}

// Parses the number after the first ':' of a status line.
uint32_t value_after_colon(const char* line) {
  const char* colon = strchr(line, ':');
  return colon == nullptr ? 0 : static_cast<uint32_t>(strtoul(colon + 1, nullptr, 10));
}

int read_exposure_from_status_file() {
  FILE* file = isp_status_fopen(ISP_STATUS_PATH, "r");
  if (file == nullptr) {
    printf("Error opening file.\n");
    return -1;
  }
  uint32_t exposure = 0;
  uint32_t dgain = 0;
  uint32_t again = 0;
  char line[kStatusLineSize];
  while (fgets(line, sizeof line, file) != nullptr) {
    if (std::size_t length = strlen(line); length > 0) {
      line[length - 1] = '\0';  // the line end
    }
    if (strstr(line, "ISP EV value us:") != nullptr) {
      exposure = value_after_colon(line);
      set_locked(captureFlags.procExposureUs, exposure);
    } else if (strstr(line, "ISP digital gain :") != nullptr &&
               strstr(line, "MAX ISP digital gain :") == nullptr) {
      dgain = value_after_colon(line);
    } else if (strstr(line, "SENSOR analog gain :") != nullptr &&
               strstr(line, "MAX SENSOR analog gain :") == nullptr) {
      again = value_after_colon(line);
    }
  }
  fclose(file);
  app_log(MOD_PHOTO_AV, LEVEL_INFO, "exposure time :%d again :%d dgain :%d",
          static_cast<int>(exposure), static_cast<int>(again), static_cast<int>(dgain));
  return 0;
}

// A frame taken from the channel is always given back, so a failed snapshot never leaves the
// channel short of buffers for the next one.
struct HeldFrame {
  IMPFrameInfo* frame = nullptr;
  ~HeldFrame() {
    if (frame != nullptr) {
      IMP_FrameSource_ReleaseFrame(kChannel, frame);
    }
  }
};

struct FileCloser {
  void operator()(FILE* file) const { fclose(file); }
};

void log_failed_shot(int shot) {
  app_log(MOD_PHOTO_AV, LEVEL_ERR, "Photo Capture Multishot %d : Failed", shot);
}

}  // namespace

int boot_burst_size() {
  return std::clamp(static_cast<int>(bootTags.multishot), 1, kMaxBurst);
}

int64_t second_shot_delay_us(bool warmStart, bool bootCapture, uint32_t frameTimestampUs,
                             uint32_t firstShotDelayUs, uint32_t impInitTimeUs) {
  int64_t delay;
  if (warmStart) {
    delay = kBurstPeriodUs;
  } else if (bootCapture) {
    delay = static_cast<int64_t>(frameTimestampUs) + kBootSecondShotUs - firstShotDelayUs;
  } else {
    delay = kBootSecondShotUs - static_cast<int64_t>(impInitTimeUs);
  }
  return delay;
}

int is_exposure_stable(const IMPISPEVAttr* samples, int count, int window, int tolerance) {
  const int first = std::max(0, count - window);
  if (count - first >= 2) {
    bool steady = true;
    for (int i = count - 1; i > first && steady; --i) {
      const IMPISPEVAttr& newer = samples[i];
      const IMPISPEVAttr& older = samples[i - 1];
      auto apart = [tolerance](uint32_t a, uint32_t b) {
        return std::llabs(static_cast<long long>(a) - static_cast<long long>(b)) > tolerance;
      };
      steady = !apart(newer.again, older.again) && !apart(newer.dgain, older.dgain) &&
               !apart(newer.ev, older.ev);
    }
    if (steady) {
      return 1;
    }
  }
  IMPISPAEState state{};
  return IMP_ISP_Tuning_GetAeState(&state) == 0 && state.stable != 0 ? 1 : 2;
}

int read_exposure(int fromProc, int shotNumber) {
  if (fromProc == 1) {
    return read_exposure_from_status_file();
  }
  IMPISPEVAttr exposure{};
  if (IMP_ISP_Tuning_GetEVAttr(&exposure) < 0) {
    app_log(MOD_PHOTO_AV, LEVEL_ERR, "IMP_ISP_Tuning_GetEVAttr failed");
    return -1;
  }
  if (shotNumber >= 1 && shotNumber <= kMaxBurst) {
    set_locked(captureFlags.shotExposureUs[shotNumber], exposure.expr_us);
  }
  app_log(MOD_PHOTO_AV, LEVEL_INFO, "exposure time : %d again : %d dgain : %d",
          static_cast<int>(exposure.expr_us), static_cast<int>(exposure.again),
          static_cast<int>(exposure.dgain));
  return 0;
}

int photo_capture(int shotNumber, int firstOfBurst) {
  app_log(MOD_PHOTO_AV, LEVEL_INFO, "Photo capture thread started");
  char path[32];
  snprintf(path, sizeof path, "/tmp/snap%d.yuv", shotNumber);
  std::unique_ptr<FILE, FileCloser> file(fopen(path, "wb"));
  if (!file) {
    app_log(MOD_PHOTO_AV, LEVEL_ERR, "%s(%d):open error !", __func__, __LINE__);
    return -1;
  }
  if (captureFlags.irLedJustOn) {
    set_locked(captureFlags.irLedJustOn, 0);
  }
  if (firstOfBurst && (!photoHandover.bootCapture || bootTags.quality_mode == 1)) {
    skip_frames_until_stable();
  } else {
    app_log(MOD_PHOTO_AV, LEVEL_INFO, "No frame skip!");
  }

  HeldFrame held;
  if (IMP_FrameSource_GetFrame(kChannel, &held.frame) != 0 || held.frame == nullptr) {
    held.frame = nullptr;
    app_log(MOD_PHOTO_AV, LEVEL_ERR, "%s(%d):IMP_FrameSource_GetFrame failed", __func__, __LINE__);
    return -1;
  }
  set_locked(captureFlags.frameTimestamp, static_cast<uint32_t>(held.frame->timeStamp));
  IMPISPEVAttr exposure{};
  if (IMP_ISP_Tuning_GetEVAttr(&exposure) < 0) {
    app_log(MOD_PHOTO_AV, LEVEL_ERR, "IMP_ISP_Tuning_GetEVAttr failed");
    return -1;
  }
  IMPISPWB white_balance{};
  if (IMP_ISP_Tuning_GetWB(&white_balance) != 0) {
    app_log(MOD_PHOTO_AV, LEVEL_ERR, "IMP_ISP_Tuning_GetWB failed");
    return -1;
  }
  if (sysInfo->boot_reason == 1 && g_shots_since_boot == 0) {
    // The first snapshot of a capture boot takes its EXIF exposure from the ISP's status file,
    // read once its frame is in hand: it then holds the exposure the frame was taken with.
    // Before the frame it holds the one the sensor started from, which the exposure has left
    // by the time the first frame is taken.
    read_exposure(1, 0);
  }
  const auto* data = reinterpret_cast<const void*>(held.frame->virAddr);
  if (fwrite(data, held.frame->size, 1, file.get()) != 1) {
    app_log(MOD_PHOTO_AV, LEVEL_ERR, " Error in write");
    return -1;
  }
  file.reset();
  IMPFrameInfo* frame = held.frame;
  held.frame = nullptr;
  if (IMP_FrameSource_ReleaseFrame(kChannel, frame) != 0) {
    app_log(MOD_PHOTO_AV, LEVEL_ERR, "%s(%d):IMP_FrameSource_ReleaseFrame failed", __func__,
            __LINE__);
    return -1;
  }
  // On a capture boot the first snapshot's exposure came from the status file above.
  if (sysInfo->boot_reason == 0 || g_shots_since_boot >= 1) {
    read_exposure(0, shotNumber);
  }
  {
    SemLock lock(&configLock);
    cameraConfig->captureInfo.exifWhiteBalance = static_cast<int32_t>(white_balance.mode);
  }
  ++g_shots_since_boot;
  set_locked(captureFlags.evValue, exposure.ev);
  app_log(MOD_PHOTO_AV, LEVEL_INFO, "EV : %d", static_cast<int>(exposure.ev));
  if (!g_warmups_started) {
    // Both programs are then in memory when the post-processing needs them.
    g_warmups_started = 1;
    run_shell("exiv2 -h > /dev/null 2>&1 &");
    run_shell("/system/bin/post_process load-cache &");
  }
  return 0;
}

void photo_capture_burst() {
  const bool warm_start = captureFlags.yuvReady != 0;
  while (captureFlags.photoDone != 0) {
    os_sleep_us(kPollUs);
  }
  const bool boot_capture = photoHandover.bootCapture != 0;
  int shots = boot_burst_size();
  if (!boot_capture) {
    if (sysInfo->captureType != 1) {
      shots = 1;
    }
    ir_led_on();
  }
  if (!captureFlags.firstCaptureOfProcess) {
    // Auto exposure starts from where the previous capture of this process ended.
    const uint32_t ev_start = captureFlags.evValue;
    app_log(MOD_PHOTO_AV, LEVEL_INFO, "Set EV Start at: %d", static_cast<int>(ev_start));
    IMP_ISP_Tuning_SetEvStart(&ev_start);
  }
  if (photo_capture(shots, 1) != 0) {
    log_failed_shot(shots);
  } else {
    set_locked(captureFlags.photoTaken, 1);
  }
  set_locked(captureFlags.firstCaptureOfProcess, 0);

  if (shots > 1) {
    if (!warm_start && boot_capture) {
      set_locked(captureFlags.firstShotDelayUs, elapsed_us(captureProcessStart, now_realtime()));
    }
    sleep_us(second_shot_delay_us(warm_start, boot_capture, captureFlags.frameTimestamp,
                                  captureFlags.firstShotDelayUs, captureFlags.impInitTimeUs));
    for (int shot = shots - 1; shot >= 1; --shot) {
      const timespec start = now_realtime();
      if (photo_capture(shot, 0) != 0) {
        log_failed_shot(shot);
      }
      if (shot > 1) {
        sleep_us(kBurstPeriodUs - elapsed_us(start, now_realtime()));
      }
    }
  }

  ir_led_off_after_capture();
  SemLock lock(&sysInfoLock);
  captureFlags.yuvDeinitRequest = 1;
  captureFlags.photoDone = 1;
  sysInfo->firstCapturePending = 0;
}

void* photo_capture_thread(void*) {
  for (;;) {
    photo_capture_burst();
  }
}

void prepare_snapshot(int first) {
  const uint32_t shot = photoHandover.multishotRemaining;
  run_shellf("mv /tmp/snap%u.yuv /tmp/snap.yuv", shot);
  uint32_t exposure;
  if (first == 1) {
    exposure = captureFlags.procExposureUs;
  } else if (shot >= 1 && shot <= kMaxBurst) {
    exposure = captureFlags.shotExposureUs[shot];
  } else {
    return;
  }
  SemLock lock(&configLock);
  cameraConfig->captureInfo.exifExposureTime = static_cast<int32_t>(exposure);
}

int save_last_ev() {
  drop_caches_if_low();
  run_shellf("/system/bin/tag_env_info --set dovu last_ev_value %lu",
             static_cast<unsigned long>(captureFlags.evValue.load()));
  return 0;
}

void reset_photo_capture() {
  captureFlags.firstCaptureOfProcess = 1;
  g_shots_since_boot = 0;
  g_warmups_started = 0;
}
