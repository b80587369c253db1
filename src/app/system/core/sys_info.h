// The shared system record SysInfo, the process-wide locks and the shared thread attributes.
//
// Ownership: the records are allocated once by start-up and live for the process; nothing is
// freed. Every write to SysInfo holds sysInfoLock; reads take no lock. Each field is atomic so
// that those lock-free reads are well defined; the lock still orders related writes.
#pragma once

#include <pthread.h>
#include <semaphore.h>

#include <atomic>
#include <cerrno>
#include <cstdint>

enum SystemState : int32_t {
  STATE_UNKNOWN = 0,
  STATE_FIRSTBOOT = 1,
  STATE_SYNC = 2,
  STATE_SYNCDAILY = 3,
  STATE_CAPTUREDETECTION = 4,
  STATE_CAPTURETIMELAPSE = 5,
  STATE_CAPTURETEST = 6,
  STATE_INSTANTREQUEST = 7,
  STATE_INIT = 8,
  STATE_POWERDOWN = 9,
};
inline constexpr int kSystemStateCount = 10;

using Flag = std::atomic<int8_t>;
using Value = std::atomic<int32_t>;

struct SysInfo {
  Value state{STATE_UNKNOWN};
  Value prevState{STATE_UNKNOWN};
  Flag enterState{0};         // the next loop turn delivers EVENT_STATE_ENTRY
  Value captureType{0};       // 0 none, 1 detection, 2 time-lapse, 3 test, 4 at sync
  Value storagePartition{0};  // 0 /sdcard/primary, 1 /sdcard/secondary
  Value syncType{0};          // 0 first boot, 1 sync, 2 daily, 3 after a test capture
  Value boot_reason{0};       // wake-up reason from the boot tags; 1 = PIR
  Value prev_ir_mode{0};      // IR mode of the previous run; 0 day
  Value day_night_val{0};
  Flag captureOngoing{0};
  Flag modemPowered{0};
  Value serverSyncStatus{4};  // 0 searching .. 3 error, 4 unknown
  Value instantQueryType{0};
  Value instantStage{0};
  Flag shutdownRequested{0};
  Flag testCaptureRequested{0};
  Flag moveFilesPending{0};
  Flag captureAtSync{0};
  Flag instantQueryBusy{0};
  Flag primaryLent{0};
  Flag testMode{0};
  Flag modemPowerAcked{0};
  Flag rtcValid{0};
  Flag fuelGaugeValid{0};
  Flag sdCheckRequest{0};
  Flag fsckOngoing{0};
  Value orve_model{0};  // camera model number from the boot tags
  Flag fileCopyOngoing{0};
  Flag tagReflashed{0};  // the boot tag partition was re-flashed at this start
  Flag wdmReboot{0};
  Flag capErrorReboot{0};
  Flag firstCapturePending{0};  // start-up waits for the fast capture's first frame

  // Init state and the MCU link.
  Flag rtcChecked{0};  // the MCU clock answered valid in this run
  Value rtcYear{0};    // 1970 until the clock is known
  Flag installDateReceived{0};
  Flag clockSet{0};  // the system clock was already set in this run
  Flag clockSetFromRtc{0};
  Flag warnLightHolding{0};  // the warning light is running its pattern
  Flag readyToSleepRequested{0};
  Flag pirAccepted{0};       // a PIR notification was forwarded as a capture event
  Flag testLedSdRequest{0};  // the test button asked for the SD and status LEDs
  Flag testLedStatusRequest{0};
  Flag testLedsShown{0};  // once per power-up

  // Start-up bookkeeping.
  Flag pirCapture{0};  // this run's fast capture is a PIR capture
  Flag configLoaded{0};
  Flag pirMode{0};     // configuration capture mode 1
  Flag sdReturned{0};  // the Modem has returned the SD card
  Value multishotCount{0};
  Value fastCaptureJpegQuality{0};
  Value fastCaptureResizeMethod{0};
};

// Set while an SD format runs; captures are refused and power-down waits meanwhile.
extern std::atomic<int8_t> formatOngoing;

// Process-wide records (allocated by start-up) and locks.
extern SysInfo* sysInfo;
extern sem_t sysInfoLock;
extern sem_t configLock;
extern sem_t streamTimeLock;

// Shared attributes of every application thread but the sensor-release thread: 2 MiB stack.
inline constexpr size_t kThreadStackSize = 2 * 1024 * 1024;
extern pthread_attr_t threadAttr;

// Holds a semaphore used as a mutex for the life of a scope. Where both are needed,
// sysInfoLock is taken before configLock.
class SemLock {
 public:
  explicit SemLock(sem_t* semaphore) : semaphore_(semaphore) {
    while (sem_wait(semaphore_) != 0 && errno == EINTR) {
    }
  }
  ~SemLock() { sem_post(semaphore_); }
  SemLock(const SemLock&) = delete;
  SemLock& operator=(const SemLock&) = delete;

 private:
  sem_t* semaphore_;
};

// Initialises the three semaphores to 1.
void init_record_locks();
