#include "app/capture/capture_flags.h"

namespace {

timespec now_realtime() {
  timespec now{};
  clock_gettime(CLOCK_REALTIME, &now);
  return now;
}

}  // namespace

CaptureFlags captureFlags;
timespec captureProcessStart = now_realtime();
std::atomic<uint8_t> videoDone{1};
std::atomic<uint8_t> audioDone{1};
std::atomic<uint32_t> moonPhase{0};
