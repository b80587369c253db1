// Video recording: the video thread (video form bring-up, display group, bindings, the
// recording loop that writes the encoder's packs to /tmp/stream-0.h265 and three single key
// frames for the previews) beside the audio thread (PCM to /tmp/record_file.pcm from the
// first frame after the first video frame).
#pragma once

#include <atomic>
#include <cstdint>

#include "platform/imp/imp.h"

// The date and time (and for the middle one the temperatures) of a preview's key frame.
struct PreviewStamp {
  uint8_t valid = 0;  // the clock was confirmed in this boot and is not in 1970
  int hour = 0, minute = 0, second = 0, year = 0, month = 0, day = 0;
  char ampm[4] = {};
  int celsius = 0, fahrenheit = 0;  // the middle preview only
  uint8_t stored = 0;               // its stream file was written
};

// Process-wide recording state.
struct VideoShared {
  std::atomic<uint8_t> recordingActive{1};
  std::atomic<uint8_t> audioInitDone{0};
  std::atomic<uint8_t> videoStreamStarted{0};
  std::atomic<uint8_t> streamOpened{0};  // this recording opened its stream file
  std::atomic<uint8_t> previewUpload{0};
  std::atomic<int> gopIndex{0};
  // Guarded by streamTimeLock.
  uint64_t videoStartMs = 0;
  uint8_t videoStarted = 0;
  PreviewStamp previews[3];
};
extern VideoShared videoShared;

int start_video_recording();
// Records one video with sound and returns when both threads have ended; -1 when the video
// thread ended before it recorded anything.
int capture_record_video();
void* video_capture_thread(void* unused);
void* audio_capture_thread(void* path);
int audio_init();
int get_video_stream();
int capture_stream(uint32_t selector);
// The recording's exposure start: from the previous capture of the process (photo or video),
// or on model 7 always.
void video_exposure_start();
int write_stream(int fd, const IMPEncoderStream* stream);
// The previews (bit 0: stream1, 1: stream2, 2: stream3) that key frame `gopIndex` (counted from
// 0) of a recording of `length` seconds provides: the second key frame, the middle one and the
// last but one.
unsigned previews_of_key_frame(int gopIndex, int length);
// Whether an audio frame at `frameMs` starts the sound file, `skipped` frames after the first:
// 1 to 250 ms after the first video frame, or whatever its time once more than 50 were skipped.
bool audio_frame_starts_recording(uint64_t frameMs, uint64_t videoStartMs, bool videoStarted,
                                  int skipped);

// Back to the state of a new process (tests).
void reset_video_capture();
