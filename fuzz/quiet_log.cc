// The application log of the fuzz targets: every line is formatted, so the arguments of each
// log call are checked against their format, and nothing is written. A fuzz run must not write
// to the host's /tmp/app.log. Every function of the log is defined here, which keeps the real
// one out of the link (a duplicate definition would fail the build loudly).
#include <cstdarg>
#include <cstdio>

#include "app/records/log/app_log.h"

void app_log(int /*module*/, int /*level*/, const char* format, ...) {
  char line[1024];
  va_list args;
  va_start(args, format);
#pragma GCC diagnostic push
#pragma GCC diagnostic ignored "-Wformat-nonliteral"
  vsnprintf(line, sizeof line, format, args);
#pragma GCC diagnostic pop
  va_end(args);
}
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
