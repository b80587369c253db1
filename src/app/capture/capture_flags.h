// The capture subsystem's share of the system record: the hand-over flags between the capture
// threads, the media session and the capture states, and the exposure figures of the last
// snapshots.
//
// The values the capture shares with the photo pipeline (burst position, boot-capture flag,
// post-processing result, JPEG quality) live in that pipeline's PhotoHandover record.
//
// Ownership and locking as for SysInfo: one process-wide record that lives for the process;
// every write holds sysInfoLock, reads take no lock (each field is atomic).
#pragma once

#include <atomic>
#include <cstdint>
#include <ctime>

#include "app/system/core/sys_info.h"

struct CaptureFlags {
  using Flag = std::atomic<uint8_t>;
  using Value = std::atomic<uint32_t>;

  // Media session.
  Flag yuvReady{0};           // the photo form is up
  Flag h265Ready{0};          // the video form is up
  Flag yuvDeinitRequest{0};   // asks the release thread to take the photo form down
  Flag h265DeinitRequest{0};  // asks the release thread to take the video form down
  Flag sensorDeinitBusy{0};   // a teardown, or a form switch waiting for one, is running
  Flag modeSwitchInProgress{0};
  Flag sensorKept{0};      // latched: the release thread decided to keep the sensor running
  Value photoDone{~0U};    // nonzero: no burst pending; 0 asks the photo thread for one
  Value impInitTimeUs{0};  // how long the boot-time bring-up took
  Value evValue{0};        // exposure value of the last snapshot

  // Photo and video capture: no capture has run in this process yet. Auto exposure starts from
  // the previous capture's value (IMP_ISP_Tuning_SetEvStart) only from the second capture on,
  // whichever form either of them took.
  Flag firstCaptureOfProcess{1};

  // Photo capture.
  Value frameTimestamp{0};
  Value firstShotDelayUs{0};
  Value procExposureUs{0};
  Value shotExposureUs[4]{};  // [1..3]: exposure time of snapshot 1, 2, 3
  Flag irLedOn{0};
  Flag irLedJustOn{0};

  // Orchestration.
  Flag captureStart{0};  // a capture state asks the normal capture thread for a capture
  Flag captureIsVideo{0};
  Flag testCapture{0};
  Flag normalCaptureActive{0};
  Flag bootPhotoInit{0};  // the boot-time bring-up and burst are running
  Flag firstImage{0};

  // Capture states.
  Flag irFilterSet{0};
  std::atomic<int32_t> photoTaken{-1};
};

// Process-wide; lives for the process.
extern CaptureFlags captureFlags;

// Wall-clock time at which the process was loaded, before main(): the capture's timing of the
// first snapshot counts from it.
extern timespec captureProcessStart;

// Sets one field under sysInfoLock.
template <typename T, typename V>
void set_locked(std::atomic<T>& field, V value) {
  SemLock lock(&sysInfoLock);
  field = static_cast<T>(value);
}

// Video and audio recordings have ended (their threads set these; both set while none runs).
extern std::atomic<uint8_t> videoDone;
extern std::atomic<uint8_t> audioDone;

// Moon phase 0..7 of the date the on-screen display last drew (its time thread computes it);
// the preview pictures of a video take their moon icon from it.
extern std::atomic<uint32_t> moonPhase;
