#include "app/capture/capture_orchestration.h"

#include <algorithm>
#include <ctime>

#include "app/AV-Common.h"
#include "app/capture/capture_flags.h"
#include "app/capture/ir_control.h"
#include "app/capture/photo_capture.h"
#include "app/capture/video_capture.h"
#include "app/config/camera_config.h"
#include "app/postprocess/naming/media_names.h"
#include "app/postprocess/photo_pipeline.h"
#include "app/postprocess/video_pipeline.h"
#include "app/records/boot_tags.h"
#include "app/records/log/app_log.h"
#include "app/storage/sd_card.h"
#include "app/system/core/event_message.h"
#include "app/system/core/shell.h"
#include "app/system/core/sys_info.h"
#include "app/system/os/os.h"

std::atomic<uint8_t> topHalfRunning{0};

namespace {

constexpr uint32_t kVideoPollUs = 1000;
constexpr uint32_t kPollUs = 10 * 1000;
constexpr uint32_t kRequestPollUs = 100 * 1000;

void log_err(const char* message) {
  app_log(MOD_PHOTO_AV, LEVEL_ERR, "%s", message);
}

void wait_while_set(const std::atomic<uint8_t>& flag) {
  while (flag) {
    os_sleep_us(kPollUs);
  }
}

void wait_photo_done() {
  while (captureFlags.photoDone != 1) {
    os_sleep_us(kPollUs);
  }
}

void wait_recordings_done() {
  while (!videoDone || !audioDone) {
    os_sleep_us(kVideoPollUs);
  }
}

bool card_mounted() {
  check_sd_card();
  return cameraConfig->sdStatus == SD_MOUNTED;
}

// Brings the card up once per run (later calls only report) and says whether it is mounted.
bool card_initialised() {
  init_sd_card();
  return cameraConfig->sdStatus == SD_MOUNTED;
}

// Post-processes /tmp/snap.yuv; a run that could not start counts as failed.
bool post_process_photo() {
  if (photo_post_process() != 0) {
    set_locked(photoHandover.postProcessFailed, 1);
  }
  return photoHandover.postProcessFailed == 0;
}

bool post_process_video() {
  if (video_post_process() != 0) {
    set_locked(photoHandover.postProcessFailed, 1);
  }
  return photoHandover.postProcessFailed == 0;
}

void note_capture_time() {
  SemLock lock(&configLock);
  cameraConfig->rtcEpoch = time(nullptr);
}

// The end of a successful capture: the exposure for the next wake-up, then the done event
// once no teardown is running.
void finish_capture() {
  save_last_ev();
  wait_while_set(captureFlags.sensorDeinitBusy);
  send_capture_event(EVENT_CAP_DONE);
}

void bottom_half_photo() {
  wait_photo_done();
  set_locked(captureFlags.bootPhotoInit, 0);
  if (!sysInfo->clockSet) {
    set_system_time(0);
  }
  if (cameraConfig->sdStatus != 1) {
    log_err("PIR/TIMELAPSE: photo post-process SD not mounted");
    report_capture_error();
    return;
  }
  prepare_snapshot(1);
  if (!post_process_photo()) {
    log_err("PIR/TIMELAPSE: photo post-process failed");
    report_capture_error();
    return;
  }
  if (photoHandover.multishotRemaining != 1) {
    app_log(MOD_PHOTO_AV, LEVEL_INFO, "start multishot");
    set_locked(photoHandover.multishotRemaining, photoHandover.multishotRemaining - 1);
    for (;;) {
      app_log(MOD_PHOTO_AV, LEVEL_INFO, "Multishot No: %d",
              photoHandover.multishotRemaining.load());
      if (!card_mounted()) {
        log_err("PIR/TIMELAPSE: photo post-process SD not mounted");
        report_capture_error();
        break;
      }
      prepare_snapshot(0);
      if (!post_process_photo() || photoHandover.multishotRemaining == 0) {
        break;
      }
      set_locked(photoHandover.multishotRemaining, photoHandover.multishotRemaining - 1);
      if (photoHandover.multishotRemaining < 1) {
        break;
      }
    }
    app_log(MOD_PHOTO_AV, LEVEL_INFO, "Multishot ended");
    if (photoHandover.postProcessFailed) {
      log_err("PIR/TIMELAPSE: photo post-process multishot failed");
      report_capture_error();
      return;
    }
  }
  set_locked(sysInfo->captureOngoing, 0);
  finish_capture();
}

void bottom_half_video() {
  wait_recordings_done();
  if (!card_mounted()) {
    log_err("Video: post-process sdcard not mounted");
    report_capture_error();
    return;
  }
  if (!post_process_video()) {
    log_err("Video: post-process failed");
    report_capture_error();
    return;
  }
  set_locked(sysInfo->captureOngoing, 0);
  finish_capture();
}

// After a card error inside a photo capture the card is checked once more and the error is
// reported a second time, whatever that check found. The check comes before the first report:
// the report ends the capture, after which power-down may unmount the card, and a check then
// would mount it again under the unmount.
void report_card_error_twice(const char* message) {
  log_err(message);
  card_mounted();
  report_capture_error();
  log_err("Normal capture video: After post-process SDCARD not mounted");
  report_capture_error();
}

// Takes one snapshot (burst of one) and post-processes it. Returns false when it failed.
bool single_image() {
  {
    SemLock lock(&sysInfoLock);
    photoHandover.multishotRemaining = 1;
    captureFlags.photoDone = 0;
  }
  wait_photo_done();
  note_capture_time();
  prepare_snapshot(0);
  return post_process_photo();
}

// Returns false after a card error (reported twice); the thread then waits for the next
// request.
bool pir_images() {
  {
    SemLock lock(&sysInfoLock);
    captureFlags.photoDone = 0;
  }
  wait_photo_done();
  note_capture_time();
  const int32_t burst = cameraConfig->multishot;
  set_locked(photoHandover.multishotRemaining, burst);
  while (photoHandover.multishotRemaining > 0) {
    if (!card_mounted()) {
      report_card_error_twice("Normal capture PIR: SDCARD not mounted");
      return false;
    }
    {
      // Later images of a burst are post-processed as the boot capture's are.
      SemLock lock(&sysInfoLock);
      const bool first = photoHandover.multishotRemaining == burst;
      captureFlags.firstImage = first ? 1 : 0;
      if (!first) {
        photoHandover.bootCapture = 1;
      }
    }
    prepare_snapshot(0);
    if (!post_process_photo()) {
      set_locked(photoHandover.bootCapture, 0);
      log_err("Normal capture PIR: post-process failed");
      report_capture_error();
      return true;
    }
    set_locked(photoHandover.multishotRemaining, photoHandover.multishotRemaining - 1);
  }
  set_locked(photoHandover.bootCapture, 0);
  return true;
}

// Returns false when the thread goes back to waiting at once (the error is reported).
bool photo_capture_by_type() {
  if (!captureFlags.yuvReady && yuv_enc_init() != 0) {
    log_err("normal capture: Initialisation failed");
    report_capture_error();
    return false;
  }
  switch (sysInfo->captureType) {
    case 1:
      return pir_images();
    case 2:
      if (!card_mounted()) {
        report_card_error_twice("Normal capture TIMELAPSE: SDCARD not mounted");
        return false;
      }
      if (!single_image()) {
        log_err("Normal capture TIMELAPSE: post-process failed");
        report_capture_error();
      }
      return true;
    case 3:
      if (!card_mounted()) {
        set_locked(captureFlags.testCapture, 0);
        report_card_error_twice("Normal capture TEST: SDCARD not mounted");
        return false;
      }
      // Without a cellular link the test button takes no picture.
      if (cameraConfig->cellular != 0) {
        const bool taken = single_image();
        ir_led_off();
        set_locked(captureFlags.testCapture, 0);
        if (!taken) {
          log_err("Normal capture TEST: post-process failed");
          report_capture_error();
        }
      }
      return true;
    case 4:
      if (!card_mounted()) {
        report_card_error_twice("Normal capture INSTANT: SDCARD not mounted");
        return false;
      }
      if (!single_image()) {
        log_err("Normal capture INSTANT: post-process failed");
        report_capture_error();
      }
      return true;
    default:
      return true;
  }
}

// Returns false when the thread goes back to waiting at once.
bool video_capture() {
  {
    SemLock lock(&sysInfoLock);
    videoDone = 0;
    audioDone = 0;
  }
  ir_led_on();
  const int recorded = capture_record_video();
  if (recorded != 0) {
    // No recording ran: nothing will set the completion flags.
    SemLock lock(&sysInfoLock);
    videoDone = 1;
    audioDone = 1;
  }
  wait_recordings_done();
  ir_led_off();
  if (recorded != 0) {
    log_err("Normal capture video: the recording did not start");
    report_capture_error();
    return false;
  }
  if (!card_mounted()) {
    log_err("Normal capture video: post-process SDCARD not mounted");
    report_capture_error();
    return false;
  }
  if (!post_process_video()) {
    log_err("Normal capture video: post-process failed");
    report_capture_error();
    return false;
  }
  return true;
}

// One capture from its request to its end. Returns false when it ended early with an error.
bool run_capture() {
  {
    SemLock lock(&sysInfoLock);
    photoHandover.bootCapture = 0;
    captureFlags.bootPhotoInit = 0;
    captureFlags.normalCaptureActive = 1;
  }
  wait_while_set(captureFlags.sensorDeinitBusy);
  app_log(MOD_PHOTO_AV, LEVEL_INFO, " NORMAL CAPTURE THREAD FOR VIDEO/PHOTO");
  os_sleep_us(kPollUs);
  sensor_power_up();

  init_sd_card();
  if (!card_mounted()) {
    log_err("Normal capture: sdcard not mounted");
    report_capture_error();
    return false;
  }
  if (!restore_file_counter_once(Remount::kIfLate)) {
    log_err("Normal capture: error in save_last_file_fldr_val");
    report_capture_error();
    return false;
  }
  {
    SemLock lock(&sysInfoLock);
    photoHandover.multishotRemaining = cameraConfig->multishot.load();
    photoHandover.postProcessFailed = 0;
  }
  const bool video = !captureFlags.testCapture && captureFlags.captureIsVideo;
  if (!(video ? video_capture() : photo_capture_by_type())) {
    return false;
  }

  if (!card_mounted()) {
    log_err("Normal capture video: After post-process SDCARD not mounted");
    report_capture_error();
    return false;
  }
  {
    SemLock lock(&sysInfoLock);
    captureFlags.captureStart = 0;
    sysInfo->captureOngoing = 0;
  }
  if (!photoHandover.postProcessFailed) {
    finish_capture();
  }
  return true;
}

}  // namespace

void* capture_top_half(void*) {
  topHalfRunning = 1;
  app_log(MOD_PHOTO_AV, LEVEL_INFO, "Capture thread top half started");
  set_locked(photoHandover.bootCapture, 1);
  switch (bootTags.cap_mode) {
    case 0:
      set_locked(captureFlags.bootPhotoInit, 1);
      libimp_init();
      if (captureFlags.yuvDeinitRequest && captureFlags.photoDone == 1) {
        // The bring-up failed and no snapshot will be taken: start-up must not wait for one;
        // the bottom half finds no snapshot and reports the capture error.
        set_locked(sysInfo->firstCapturePending, 0);
      }
      break;
    case 1:
      // Without a recording the bottom half finds no video and reports the capture error.
      if (capture_record_video() != 0) {
        SemLock lock(&sysInfoLock);
        videoDone = 1;
        audioDone = 1;
        sysInfo->firstCapturePending = 0;
      }
      wait_recordings_done();
      break;
    default:
      log_err("Top Half: Invalid capture Mode");
      ir_led_off_after_capture();
      // Start-up waits for a first capture that will never come.
      set_locked(sysInfo->firstCapturePending, 0);
      break;
  }
  run_shellf("/system/bin/tag_env_info --set dovu prev_ir_mode %u &",
             static_cast<unsigned>(sysInfo->prev_ir_mode.load()));
  app_log(MOD_PHOTO_AV, LEVEL_INFO, "Capture thread top half ended");
  topHalfRunning = 0;
  return nullptr;
}

void* capture_bottom_half(void*) {
  app_log(MOD_PHOTO_AV, LEVEL_INFO, "Capture thread bottom half started");
  {
    // The configuration's burst, but never more pictures than the boot capture took snapshots
    // (its boot tag can say fewer, or be missing): the first one looked for would be missing,
    // and the failed post-processing would lose the snapshots that were taken.
    SemLock lock(&sysInfoLock);
    captureFlags.normalCaptureActive = 0;
    const int32_t configured = cameraConfig->multishot;
    photoHandover.multishotRemaining =
        bootTags.cap_mode == 0 ? std::min(configured, boot_burst_size()) : configured;
  }
  run_shell("/system/bin/riscvread >> /tmp/riscv.log");
  if (!card_initialised()) {
    log_err("Bottom half: sdcard not mounted");
    report_capture_error();
    return nullptr;
  }
  if (!restore_file_counter_once(Remount::kIfLate)) {
    log_err("Error in save_last_file_fldr_val");
    report_capture_error();
    return nullptr;
  }
  if (sysInfo->captureType != 1) {
    log_err("Invalid capture type in capture thread bottom half");
    return nullptr;
  }
  if (bootTags.cap_mode == 0) {
    bottom_half_photo();
  } else if (bootTags.cap_mode == 1) {
    bottom_half_video();
  }
  return nullptr;
}

void normal_capture_once() {
  while (!captureFlags.captureStart) {
    os_sleep_us(kRequestPollUs);
  }
  for (;;) {
    if (bootTags.tag_corrupt) {
      log_err("Capture skipping: Tag error");
      report_capture_error();
      return;
    }
    run_capture();
    // Another request that came in meanwhile starts at once.
    if (!captureFlags.captureStart) {
      return;
    }
  }
}

void* normal_capture_thread(void*) {
  for (;;) {
    normal_capture_once();
  }
}

int start_capture_bottom_half(pthread_t* ret_thread) {
  return pthread_create(ret_thread, &threadAttr, capture_bottom_half, nullptr);
}

void wait_top_half_end() {
  wait_while_set(topHalfRunning);
}
