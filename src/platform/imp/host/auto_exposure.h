// The ISP's auto exposure: one step per frame towards the exposure that brings the scene to
// its normal brightness, split into exposure time, analog gain and digital gain as a sensor
// does (time first, up to one frame period, then analog gain, then digital gain).
#pragma once

#include <stdint.h>

#include "platform/imp/imp_isp.h"

namespace imp_host {

// Exposure "amount": exposure time in microseconds times the total gain. A sunny day needs
// kDayAmount; darker scenes need proportionally more.
inline constexpr double kDayAmount = 4000.0;
// The amount an exposure value stands for: ev = amount / kAmountPerEv.
inline constexpr double kAmountPerEv = 100.0;
// Where the exposure starts without an EV start: a little above daylight, so a daylight
// picture taken at once is a little bright, and a night one very dark.
inline constexpr uint32_t kColdStartEv = 60;
// Gains are reported with 1x = 1024.
inline constexpr uint32_t kGainOne = 1024;
inline constexpr double kMaxAnalogGain = 16.0;
inline constexpr double kMaxDigitalGain = 4.0;
inline constexpr double kMinExposureUs = 30.0;

class AutoExposure {
 public:
  // Starts from exposure value `ev` (0: the cold start).
  void start(uint32_t ev);
  // One frame: moves towards `targetAmount` (what the scene needs) within the limits of a
  // frame period of `framePeriodUs`. With `unstable` the exposure hunts around the target and
  // never settles.
  void step(double targetAmount, double framePeriodUs, bool unstable);

  IMPISPEVAttr attributes() const;
  bool stable() const { return stable_; }
  double amount() const { return amount_; }
  // Exposure relative to what the scene needs (1: right), as the picture shows it.
  double brightness(double targetAmount) const;

 private:
  double amount_ = kColdStartEv * kAmountPerEv;
  double framePeriodUs_ = 33333.0;
  bool stable_ = false;
  uint32_t frames_ = 0;
};

}  // namespace imp_host
