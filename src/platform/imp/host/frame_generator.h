// The picture in front of the simulated sensor: a small interface that makes NV12 frames of
// what the camera sees, so another scene can replace the landscape without touching the
// frame source or the ISP.
#pragma once

#include <stdint.h>

#include <memory>

namespace imp_host {

// What decides how the scene looks to the sensor right now.
struct View {
  bool night = false;          // the scene is in the dark
  bool irLeds = false;         // the infrared LEDs light it
  bool irCutIn = true;         // the IR-cut filter is in the light path (day position)
  bool monochrome = false;     // the ISP runs in night mode: no colour
  bool crossing = true;        // an animal walks across
  double crossingSeconds = 8;  // one walk from side to side
};

class FrameGenerator {
 public:
  virtual ~FrameGenerator() = default;
  // Light reaching the sensor from this view, relative to a sunny day (1.0). The auto
  // exposure aims at the exposure that brings the picture to its normal brightness.
  virtual double radiance(const View& view) const = 0;
  // One NV12 frame (width x height luma, then interleaved chroma at half height) of `view`
  // at `seconds` since the stream started. `exposure` is the ratio of the sensor's exposure
  // to the one that exposes this view right: 1 is right, 0.5 half as bright. Width and
  // height are even.
  virtual void generate(const View& view, double seconds, double exposure, int width, int height,
                        uint8_t* nv12) = 0;
};

// A landscape of sky, hills, trees and a meadow with a path, crossed by a deer.
std::unique_ptr<FrameGenerator> make_landscape();

}  // namespace imp_host
