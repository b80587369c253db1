#include <cstdio>

#include "app/config/config_store.h"
#include "app/records/log/app_log.h"
#include "app/system/os/os.h"

bool config_partition_mounted() {
  FILE* listing = os_open_pipe("mount | grep mtdblock6");
  if (listing == nullptr) {
    app_log(MOD_CONF_SET, LEVEL_ERR, "Config: Could not open pipe for output");
    return false;
  }
  char line[100];
  bool printed = fgets(line, sizeof line, listing) != nullptr;
  // Read the rest so grep never dies of a closed pipe and its exit status stays meaningful.
  while (fgets(line, sizeof line, listing) != nullptr) {
  }
  int status = os_close_pipe(listing);
  if (status == -1) {
    app_log(MOD_CONF_SET, LEVEL_ERR, "Config: Failed to close fp");
    return false;
  }
  return printed && status == 0;
}
