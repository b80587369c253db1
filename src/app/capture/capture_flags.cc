#include "app/capture/capture_flags.h"

#include "app/system/core/wall_clock.h"

CaptureFlags captureFlags;
timespec captureProcessStart = now_realtime();
std::atomic<uint8_t> videoDone{1};
std::atomic<uint8_t> audioDone{1};
std::atomic<uint32_t> moonPhase{0};
