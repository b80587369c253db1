#include "platform/imp/host/auto_exposure.h"

#include <math.h>

#include <algorithm>

namespace imp_host {

namespace {

// Fraction of the remaining error (in log2 stops) corrected per frame, and the largest step.
constexpr double kStepFraction = 0.3;
constexpr double kMaxStepStops = 1.0;
// Within this many stops of the target the exposure locks onto it.
constexpr double kLockStops = 0.05;
// Amplitude (stops) of the hunting of an exposure that never settles.
constexpr double kHuntStops = 0.25;

double max_amount(double framePeriodUs) {
  return framePeriodUs * kMaxAnalogGain * kMaxDigitalGain;
}

uint32_t fixed_log2(double value) {
  return value > 1.0 ? static_cast<uint32_t>(lround(log2(value) * 1024.0)) : 0;
}

}  // namespace

void AutoExposure::start(uint32_t ev) {
  amount_ = (ev == 0 ? kColdStartEv : ev) * kAmountPerEv;
  stable_ = false;
  frames_ = 0;
}

void AutoExposure::step(double targetAmount, double framePeriodUs, bool unstable) {
  framePeriodUs_ = framePeriodUs;
  ++frames_;
  const double reachable = std::clamp(targetAmount, kMinExposureUs, max_amount(framePeriodUs));
  if (unstable) {
    amount_ = reachable * exp2(kHuntStops * sin(frames_ * 1.7));
    stable_ = false;
    return;
  }
  amount_ = std::clamp(amount_, kMinExposureUs, max_amount(framePeriodUs));
  const double error = log2(reachable / amount_);
  if (fabs(error) < kLockStops) {
    amount_ = reachable;
    stable_ = true;
    return;
  }
  amount_ *= exp2(std::clamp(error * kStepFraction, -kMaxStepStops, kMaxStepStops));
  stable_ = false;
}

IMPISPEVAttr AutoExposure::attributes() const {
  const double amount = std::clamp(amount_, kMinExposureUs, max_amount(framePeriodUs_));
  const double exposureUs = std::clamp(amount, kMinExposureUs, framePeriodUs_);
  const double gain = amount / exposureUs;
  const double analog = std::clamp(gain, 1.0, kMaxAnalogGain);
  const double digital = std::clamp(gain / analog, 1.0, kMaxDigitalGain);
  IMPISPEVAttr attr{};
  attr.ev = static_cast<uint32_t>(lround(amount / kAmountPerEv));
  attr.expr_us = static_cast<uint32_t>(lround(exposureUs));
  attr.ev_log2 = fixed_log2(attr.ev);
  attr.again = static_cast<uint32_t>(lround(analog * kGainOne));
  attr.dgain = static_cast<uint32_t>(lround(digital * kGainOne));
  attr.gain_log2 = fixed_log2(analog * digital);
  return attr;
}

double AutoExposure::brightness(double targetAmount) const {
  return targetAmount > 0
             ? std::clamp(amount_, kMinExposureUs, max_amount(framePeriodUs_)) / targetAmount
             : 1.0;
}

}  // namespace imp_host
