// Turns a raw NV12 frame, as the camera writes its snapshots, into a PNG people can open.
#pragma once

#include <stdint.h>

#include <span>
#include <string>

namespace sim::sensor {

// Frame sizes the camera's channel makes, recognised from a raw file's length.
struct FrameSize {
  int width;
  int height;
};
// The size whose NV12 frame is `bytes` long; false when none is.
bool frame_size_of(size_t bytes, FrameSize* ret_size);

// Writes `nv12` (width x height) as an RGB PNG. 0, or -1 with a reason.
int write_png(std::span<const uint8_t> nv12, FrameSize size, const std::string& path,
              std::string* ret_error);

// Reads a raw snapshot file and writes it as a PNG. 0, or -1 with a reason.
int convert_snapshot(const std::string& rawPath, const std::string& pngPath,
                     std::string* ret_error);

}  // namespace sim::sensor
