// EXIF data of the stored JPEG files, written by exiv2: the full set on photos, a reduced
// set on the preview frames of a video.
#pragma once

#include <string>

#include "app/postprocess/capture_time.h"

// Maker and model text of a camera model.
struct ExifIdentity {
  const char* make;
  const char* model;
};
ExifIdentity exif_identity(int orveModel);

// The shot's position in its burst: `count` shots, `remaining` still to post-process
// including this one. A count outside 1..3 is a single shot.
struct Sequence {
  int index;
  int count;
};
Sequence burst_sequence(int count, int remaining);

// Night: the previous run's IR mode or the current day/night reading says night.
bool is_night();

// The exiv2 command of a photo from the capture information block (which it fills first).
std::string exif_photo_command(int height, int width, const char* path);

// Writes the full set into the photo at `path`; returns the shell runner's result.
int exif_tag_photo(int height, int width, const char* path);

// Writes the reduced set into a video preview frame: flash, date and the IR user comment.
// `firstFrames` is the time of frames 1 and 2 (/tmp/frame1.jpg, /tmp/frame2.jpg), `lastFrame`
// the time of frame 3 (any other path).
int exif_tag_preview(const char* path, const CaptureTime& firstFrames,
                     const CaptureTime& lastFrame);
