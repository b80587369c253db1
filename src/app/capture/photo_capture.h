// Photo capture: raw NV12 snapshots from the frame-source channel into /tmp/snapN.yuv, a
// burst of up to three one second apart, with the exposure left to settle before the first
// one and the exposure figures of each snapshot kept for the EXIF data and the next boot.
#pragma once

#include <cstdint>

#include "platform/imp/imp.h"

// The frame-skip window: at least this many samples, stable this many times in a row.
inline constexpr int kExposureWindow = 10;
inline constexpr int kExposureTolerance = 1;
inline constexpr int kStableRunToStop = 5;
inline constexpr int kMaxSkippedFrames = 30;

// Thread body: takes one burst each time photoDone is cleared; never returns.
void* photo_capture_thread(void* unused);

// One pass of that thread: waits for a request, takes the burst, hands the pipeline back.
void photo_capture_burst();

// Snapshots in a capture boot's burst: the boot tag multishot, 1 to 3 (a missing tag counts 1).
int boot_burst_size();

// Takes one snapshot into /tmp/snap<shotNumber>.yuv. 0 or -1.
int photo_capture(int shotNumber, int firstOfBurst);

// Exposure readback from the ISP's status file (fromProc 1) or from the ISP (0).
int read_exposure(int fromProc, int shotNumber);

// 1 when the last `window` samples agree within `tolerance` (or the ISP says the exposure is
// stable), else 2.
int is_exposure_stable(const IMPISPEVAttr* samples, int count, int window, int tolerance);

// Moves the next snapshot of the burst to /tmp/snap.yuv and picks its EXIF exposure time.
void prepare_snapshot(int first);

// Stores the last exposure value as the boot tag last_ev_value for the next wake-up.
int save_last_ev();

// Microseconds to wait before the second snapshot of a burst; no pause when below 1.
int64_t second_shot_delay_us(bool warmStart, bool bootCapture, uint32_t frameTimestampUs,
                             uint32_t firstShotDelayUs, uint32_t impInitTimeUs);

// Back to the state of a new process (tests).
void reset_photo_capture();
