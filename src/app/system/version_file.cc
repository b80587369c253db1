#include "app/system/version_file.h"

#include <cstdio>

#include "app/config/camera_config.h"
#include "app/records/log/app_log.h"
#include "app/system/core/sys_info.h"

int read_version_file() {
  FILE* file = fopen(kVersionFilePath, "r");
  if (file == nullptr) {
    return -1;
  }
  // The line end stays in the text when it fits, as the version has always been shown.
  if (fgets(cameraConfig->version, sizeof cameraConfig->version, file) == nullptr) {
    cameraConfig->version[0] = '\0';
  }
  fclose(file);
  app_log(MOD_MAIN, LEVEL_INFO, "ISP version : %s , Board rev : %d", cameraConfig->version,
          sysInfo->orve_model.load());
  return 0;
}
