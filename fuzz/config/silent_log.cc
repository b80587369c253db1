// The application log of the fuzz targets: messages go nowhere. The targets run on the host,
// where the real log would write /tmp/app.log; defining every function of the log here keeps
// the real one out of the link (a duplicate definition would fail the build loudly).
#include "app/records/app_log.h"

void app_log(int, int, const char*, ...) {}
bool app_log_init() {
  return true;
}
void app_log_close() {}
int is_path_mounted(const char*) {
  return 0;
}
long app_log_written_bytes() {
  return 0;
}
void app_log_set_clock(LogClock) {}
