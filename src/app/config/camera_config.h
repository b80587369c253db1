// The camera configuration record, shared by all threads; every write holds configLock.
#pragma once

#include <cstddef>

inline constexpr std::size_t kVersionTextSize = 32;

struct CameraConfig {
  // Software version: the first line of /system/opt/version.txt.
  char version[kVersionTextSize];
};

// Allocated once by start-up; lives for the process.
extern CameraConfig* cameraConfig;
