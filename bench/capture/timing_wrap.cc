// Linked into camera_app_timed only: the media-library calls of the photo bring-up and snapshot,
// and the pauses that go with the ISP's running-mode switch, are timed through the linker's
// --wrap. When the first snapshot of the process has been written the split is appended to
// /config/first_snapshot_timing:
//   <us from process load to snapshot> <us inside the media library> <us of running-mode
//   pauses> <peak RSS kB> <us from process load to the first media-library call>
#include <time.h>
#include <unistd.h>

#include <atomic>
#include <cstdio>
#include <cstring>

#include "app/capture/capture_flags.h"
#include "platform/imp/imp.h"

namespace {

std::atomic<int64_t> g_library_us{0};
std::atomic<int64_t> g_paused_us{0};
std::atomic<bool> g_reported{false};
std::atomic<int64_t> g_first_call_us{0};  // CLOCK_REALTIME of the first library call
// Set on the thread that switches the running mode, from that call to the channel creation
// that follows the switch: its pauses are the ones the switch asks for.
thread_local bool t_in_mode_switch = false;

int64_t now_us(clockid_t clock) {
  timespec now{};
  clock_gettime(clock, &now);
  return now.tv_sec * 1000000LL + now.tv_nsec / 1000;
}

// Adds the time the enclosing call took to `total`.
class Timed {
 public:
  explicit Timed(std::atomic<int64_t>& total) : total_(total), start_(now_us(CLOCK_MONOTONIC)) {}
  ~Timed() { total_ += now_us(CLOCK_MONOTONIC) - start_; }
  Timed(const Timed&) = delete;
  Timed& operator=(const Timed&) = delete;

 private:
  std::atomic<int64_t>& total_;
  int64_t start_;
};

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

void report_first_snapshot() {
  if (g_reported.exchange(true)) {
    return;
  }
  const timespec start = captureProcessStart;
  const int64_t total = now_us(CLOCK_REALTIME) - (start.tv_sec * 1000000LL + start.tv_nsec / 1000);
  FILE* out = fopen("/config/first_snapshot_timing", "a");
  if (out != nullptr) {
    const int64_t load_us = start.tv_sec * 1000000LL + start.tv_nsec / 1000;
    fprintf(out, "%lld %lld %lld %ld %lld\n", static_cast<long long>(total),
            static_cast<long long>(g_library_us.load()), static_cast<long long>(g_paused_us.load()),
            peak_rss_kb(), static_cast<long long>(g_first_call_us.load() - load_us));
    fclose(out);
  }
}

}  // namespace

#define TIMED_CALL(name, params, args)  \
  extern "C" int __real_##name params;  \
  extern "C" int __wrap_##name params { \
    Timed timed(g_library_us);          \
    return __real_##name args;          \
  }

extern "C" int __real_IMP_ISP_Open(void);
extern "C" int __wrap_IMP_ISP_Open(void) {
  int64_t none = 0;
  g_first_call_us.compare_exchange_strong(none, now_us(CLOCK_REALTIME));
  Timed timed(g_library_us);
  return __real_IMP_ISP_Open();
}
TIMED_CALL(IMP_ISP_AddSensor, (IMPSensorInfo * sensor), (sensor))
TIMED_CALL(IMP_ISP_EnableSensor, (void), ())
TIMED_CALL(IMP_System_Init, (void), ())
TIMED_CALL(IMP_ISP_EnableTuning, (void), ())
TIMED_CALL(IMP_ISP_Tuning_SetContrast, (unsigned char value), (value))
TIMED_CALL(IMP_ISP_Tuning_SetBrightness, (unsigned char value), (value))

extern "C" int __real_IMP_ISP_Tuning_SetISPRunningMode(IMPISPRunningMode mode);
extern "C" int __wrap_IMP_ISP_Tuning_SetISPRunningMode(IMPISPRunningMode mode) {
  t_in_mode_switch = true;
  Timed timed(g_library_us);
  return __real_IMP_ISP_Tuning_SetISPRunningMode(mode);
}

extern "C" int __real_IMP_FrameSource_CreateChn(int chn, IMPFSChnAttr* attr);
extern "C" int __wrap_IMP_FrameSource_CreateChn(int chn, IMPFSChnAttr* attr) {
  t_in_mode_switch = false;
  Timed timed(g_library_us);
  return __real_IMP_FrameSource_CreateChn(chn, attr);
}
TIMED_CALL(IMP_FrameSource_SetChnAttr, (int chn, const IMPFSChnAttr* attr), (chn, attr))
TIMED_CALL(IMP_FrameSource_GetChnAttr, (int chn, IMPFSChnAttr* attr), (chn, attr))
TIMED_CALL(IMP_FrameSource_EnableChn, (int chn), (chn))
TIMED_CALL(IMP_FrameSource_SetFrameDepth, (int chn, int depth), (chn, depth))
TIMED_CALL(IMP_FrameSource_GetFrame, (int chn, IMPFrameInfo** frame), (chn, frame))
TIMED_CALL(IMP_ISP_Tuning_GetEVAttr, (IMPISPEVAttr * attr), (attr))
TIMED_CALL(IMP_ISP_Tuning_GetWB, (IMPISPWB * wb), (wb))

// The snapshot has been written when its frame goes back (the frame-skip frames of a boot
// capture are not taken; frameTimestamp is set only for a snapshot).
extern "C" int __real_IMP_FrameSource_ReleaseFrame(int chn, IMPFrameInfo* frame);
extern "C" int __wrap_IMP_FrameSource_ReleaseFrame(int chn, IMPFrameInfo* frame) {
  int result;
  {
    Timed timed(g_library_us);
    result = __real_IMP_FrameSource_ReleaseFrame(chn, frame);
  }
  if (captureFlags.frameTimestamp != 0) {
    report_first_snapshot();
  }
  return result;
}

extern "C" int __real_usleep(useconds_t us);
extern "C" int __wrap_usleep(useconds_t us) {
  if (!t_in_mode_switch || g_reported) {
    return __real_usleep(us);
  }
  Timed timed(g_paused_us);
  return __real_usleep(us);
}
