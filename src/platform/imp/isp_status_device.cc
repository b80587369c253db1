// On the camera the ISP status file is the driver's own procfs file.
#include "platform/imp/isp_status_file.h"

FILE* isp_status_fopen(const char* path, const char* mode) {
  return fopen(path, mode);
}
