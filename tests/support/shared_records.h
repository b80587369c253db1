// Fresh shared records for one test: every field at the value a new process starts with, so
// nothing one test set leaks into the next. The records live in static storage, as the
// application's live for the whole process; tests stop their threads before the next one.
#pragma once

#include <optional>

#include "app/config/camera_config.h"
#include "app/system/core/sys_info.h"

namespace test_support {

inline void use_fresh_shared_records() {
  static std::optional<SysInfo> system;
  static std::optional<CameraConfig> config;
  static std::optional<ServerConfig> server;
  sysInfo = &system.emplace();
  cameraConfig = &config.emplace();
  serverConfig = &server.emplace();
}

}  // namespace test_support
