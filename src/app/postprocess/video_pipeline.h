// The video post-processing: multiplexes the recorded H.265 stream and PCM audio into the
// stored MP4 (AAC sound, creation time), finishes the previews when the camera uploads, and
// encrypts what is stored when a password is set. The temporary files always go; a failed run
// removes this number's files and leaves photoHandover.postProcessFailed set, so the next
// capture reuses the number.
#pragma once

#include <atomic>
#include <cstdint>

#include "app/postprocess/capture_time.h"

// What the preview thread leaves for the post-processing of the video it worked on: frames 1
// and 2 in /tmp, and the values frame 3's information bar and the EXIF data are drawn from.
struct VideoPreviewState {
  std::atomic<uint8_t> busy{0};  // the preview thread is working on the current video
  // Set by the preview thread, cleared by the post-processing once it has used them.
  std::atomic<uint8_t> frame1Ready{0};  // /tmp/frame1.jpg written
  std::atomic<uint8_t> frame2Ready{0};  // /tmp/frame2.jpg written
  std::atomic<uint8_t> frame3Ready{0};  // the values of frame 3 below are kept
  CaptureTime firstFrames;              // time of frames 1 and 2 (the middle key frame)
  CaptureTime lastFrame;                // time of frame 3 (the key frame near the end)
  int fahrenheit = 0;                   // temperatures recorded with the middle key frame
  int celsius = 0;
  char moonIconName[21] = "new_moon.png";
};
// Process-wide; written by the preview thread, read after it is no longer busy.
extern VideoPreviewState videoPreviewState;

// -1 when the run could not start (file counter exhausted); else 0.
int video_post_process();
// Builds and runs the multiplexer for `root`. 0, or -1 after marking the run failed.
int mux_video(const char* root);
// The ffmpeg command line of mux_video (tests check it).
int mux_command(char* buffer, int size, const char* root, int stream, int folder, int file);
// The previews' finishing step and the encryption of the stored files. 0.
int finish_video_previews(const char* root);
