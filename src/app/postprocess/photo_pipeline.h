// The photo pipeline: one captured frame becomes the stored JPEG files.
//
// The capture leaves the frame in /tmp/snap.yuv (1920x1080 NV12) and calls
// photo_post_process() once per frame, on the thread that runs the capture, only while the
// card is mounted and after the file counter has been rebuilt from the card. The pipeline
// draws the information bar, encodes the small upload copy (when cellular), the 1920x1080
// photo and the high-resolution photo (when configured), tags each file with EXIF data and
// encrypts it when a password is set. Afterwards the caller tests
// photoHandover.postProcessFailed: when it is set, this capture's files were removed and the
// next capture reuses its number.
#pragma once

#include "app/system/core/sys_info.h"

// Values the capture threads and the photo pipeline hand each other. Every write holds
// sysInfoLock, reads take no lock (as for SysInfo, whose companion this record is).
struct PhotoHandover {
  // Quality (day or night setting) and scaler of /system/bin/post_process, set by the state
  // that starts a capture; -1 until then, when start-up's copy for the boot capture is used.
  Value jpegQuality{-1};
  Value resizeMethod{-1};
  Value multishotRemaining{1};  // shot of the burst post-processed next, counting down to 1
  Flag bootCapture{0};          // set for a burst in progress; cleared at its last shot
  Flag postProcessFailed{0};    // result of the last post-processing run
};
extern PhotoHandover photoHandover;

// Post-processes /tmp/snap.yuv. Returns -1 when the run could not start (counter
// exhausted, no overlaid frame); otherwise 0, with the outcome in
// photoHandover.postProcessFailed.
int photo_post_process();

// One size of the current photo (the size index being encoded): encodes /tmp/out_420p.yuv
// into its file under `root`, tags it and encrypts it when a password is set. Always 0; a
// failed encode, tagging or encryption is remembered for the end of the run.
int encode_photo(const char* root);

// EXIF data of the photo of `width` x `height` under `root` for the current counter value.
// Returns the tagging's result.
int tag_photo(const char* root, int width, int height);
