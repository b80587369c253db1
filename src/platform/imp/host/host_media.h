// The state of the simulated media library, shared by its modules: ISP, sensor, auto
// exposure, frame-source channels. One instance for the process, behind one mutex.
//
// Lock order. Five mutexes guard the library: the encoder's (encoder.cc), the bindings'
// (bindings.cc), the display's (osd.cc), the microphone's (audio.cc) and HostMedia's. A
// thread that holds more than one took them in this order:
//   encoder -> bindings -> display -> HostMedia
//   microphone -> HostMedia
// (the encoder finds a frame's display regions through the bindings while it codes the frame;
// destroying a display group or resetting the bindings drops the display's registrations).
// HostMedia's mutex is the innermost: nothing else is locked while it is held. No call sleeps
// holding one: a poll waiting for its frame gives up HostMedia's and the encoder's.
#pragma once

#include <stdint.h>
#include <time.h>

#include <array>
#include <cerrno>
#include <memory>
#include <mutex>
#include <string>
#include <string_view>
#include <vector>

#include "platform/imp/host/auto_exposure.h"
#include "platform/imp/host/board_inputs.h"
#include "platform/imp/host/frame_generator.h"
#include "platform/imp/imp_framesource.h"
#include "platform/imp/imp_isp.h"

namespace imp_host {

struct FrameSlot {
  IMPFrameInfo info{};
  std::vector<uint8_t> data;
  bool out = false;  // handed to the reader, not released yet
};

struct Channel {
  bool created = false;
  bool attrSet = false;
  bool enabled = false;
  IMPFSChnAttr attr{};
  int depth = 0;
  int width = 0;  // frame size: the scaler's output when it is on, else the picture's
  int height = 0;
  int64_t periodUs = 33333;
  int64_t startUs = 0;      // when frame 0 was due
  int64_t lastHanded = -1;  // index of the last frame given to the reader
  uint64_t generation = 0;  // bumped by enable/disable, so a waiting reader notices
  std::vector<FrameSlot> slots;
};

struct HostMedia {
  std::mutex mutex;
  BoardInputs inputs;
  std::unique_ptr<FrameGenerator> generator = make_landscape();

  bool ispOpen = false;
  bool sensorAdded = false;
  bool sensorEnabled = false;
  bool tuning = false;
  bool systemUp = false;
  IMPSensorInfo sensor{};
  IMPISPRunningMode runningMode = IMPISP_RUNNING_MODE_DAY;
  unsigned char contrast = 128;
  unsigned char brightness = 128;
  int osdPoolSize = 0;

  AutoExposure ae;
  uint32_t evStart = 0;  // 0: cold start
  int64_t aeFrame = -1;  // the last frame index of the streaming channel the AE stepped on
  int aeChannel = -1;

  std::array<Channel, IMP_FS_MAX_CHANNELS> channels;
};

HostMedia& media();

// The chip's sensor, ISP and encoder work beside the camera's processor; on a host the library
// computes them. A HardwareWork on the stack marks the computing of one frame (drawing the
// scene, compositing the display regions, coding it) as such work, and so do the threads
// started meanwhile (the encoder's own): the simulated board's clock charges none of it to
// the camera's time, and it runs on the host's time. Without the board it does nothing.
class HardwareWork {
 public:
  HardwareWork();
  ~HardwareWork();
  HardwareWork(const HardwareWork&) = delete;
  HardwareWork& operator=(const HardwareWork&) = delete;
};

// Microseconds on the monotonic clock (the board's, inside the sandbox).
int64_t now_us();
// Sleeps until the monotonic time `dueUs`.
void sleep_until_us(int64_t dueUs);

// The view of the scene as the sensor sees it now. Call with the mutex held.
View current_view(HostMedia& m);
// What the auto exposure aims at for `view`.
double target_amount(HostMedia& m, const View& view);
// Steps the auto exposure over every frame the streaming channel has made up to `nowUs`.
// Call with the mutex held.
void advance_exposure(HostMedia& m, int64_t nowUs);
// The scenario asked OPERATION to fail now. Call with the mutex held.
bool injected_failure(HostMedia& m, std::string_view operation);
// The same, taking the mutex: for the modules that keep their own state beside HostMedia.
inline bool injected(std::string_view operation) {
  HostMedia& m = media();
  std::lock_guard lock(m.mutex);
  return injected_failure(m, operation);
}
// A failed call: sets errno and returns -1, as the media library's calls do.
inline int fail(int error) {
  errno = error;
  return -1;
}
// Writes the ISP status text to the board's sensor folder; returns its path.
std::string write_isp_status(HostMedia& m);
// Tells the board what the pipeline did (bring-up and teardown steps, injected faults): one
// line appended to the sensor folder's "activity" file.
void note_activity(HostMedia& m, const std::string& text);

}  // namespace imp_host
