#include "app/system/core/state_names.h"

const StateNameTable kStateNames = {
    "STATE_UNKNOWN",     "STATE_FIRSTBOOT",        "STATE_SYNC",
    "STATE_SYNCDAILY",   "STATE_CAPTUREDETECTION", "STATE_CAPTURETIMELAPSE",
    "STATE_CAPTURETEST", "STATE_INSTANTREQUEST",   "STATE_INIT",
    "STATE_POWERDOWN",
};

// Slot 5 carries five blanks after the underscore; the MCU link prints from this copy.
const StateNameTable kMcuStateNames = {
    "STATE_UNKNOWN",     "STATE_FIRSTBOOT",        "STATE_SYNC",
    "STATE_SYNCDAILY",   "STATE_CAPTUREDETECTION", "STATE_     CAPTURETIMELAPSE",
    "STATE_CAPTURETEST", "STATE_INSTANTREQUEST",   "STATE_INIT",
    "STATE_POWERDOWN",
};

const char* state_name(int32_t state) {
  if (state < 0 || state >= kSystemStateCount) {
    return "STATE_INVALID";
  }
  return kStateNames[static_cast<std::size_t>(state)];
}
