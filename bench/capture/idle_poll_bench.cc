// CPU burnt by the capture's polling threads while nothing is asked of them: the sensor-release
// thread (10 ms), the photo capture thread (10 ms) and the normal capture thread (100 ms), run
// idle for a while in the camera sandbox. Prints CPU time per second of wall time and the
// process's peak RSS.
#include <pthread.h>
#include <time.h>
#include <unistd.h>

#include <cstdio>
#include <cstdlib>
#include <cstring>

#include "app/AV-Common.h"
#include "app/capture/capture_orchestration.h"
#include "app/capture/photo_capture.h"
#include "app/config/camera_config.h"
#include "app/system/core/sys_info.h"

namespace {

double seconds(clockid_t clock) {
  timespec now{};
  clock_gettime(clock, &now);
  return static_cast<double>(now.tv_sec) + now.tv_nsec / 1e9;
}

long peak_rss_kb() {
  FILE* status = fopen("/proc/self/status", "r");
  long kb = -1;
  char line[128];
  while (status != nullptr && fgets(line, sizeof line, status) != nullptr) {
    if (strncmp(line, "VmHWM:", 6) == 0) {
      kb = strtol(line + 6, nullptr, 10);
    }
  }
  if (status != nullptr) {
    fclose(status);
  }
  return kb;
}

}  // namespace

int main(int argc, char** argv) {
  const int wall_seconds = argc > 1 ? std::max(1, atoi(argv[1])) : 10;
  init_record_locks();
  sysInfo = new SysInfo();
  cameraConfig = new CameraConfig();
  for (auto body : {sensor_deinit_thread, photo_capture_thread, normal_capture_thread}) {
    pthread_t thread;
    pthread_create(&thread, nullptr, body, nullptr);
    pthread_detach(thread);
  }
  const double wall_start = seconds(CLOCK_MONOTONIC);
  const double cpu_start = seconds(CLOCK_PROCESS_CPUTIME_ID);
  sleep(static_cast<unsigned>(wall_seconds));
  const double cpu = seconds(CLOCK_PROCESS_CPUTIME_ID) - cpu_start;
  const double wall = seconds(CLOCK_MONOTONIC) - wall_start;
  printf(
      "idle polling: %.3f ms CPU per second (%.3f %% of one core) over %.1f s; peak RSS %ld kB\n",
      cpu * 1e3 / wall, cpu * 100.0 / wall, wall, peak_rss_kb());
  return 0;
}
