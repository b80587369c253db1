// The simulated ISP: its device, the os02g10 sensor on I2C, tuning, auto exposure, white
// balance and the status text the driver keeps.
#include <errno.h>
#include <fcntl.h>
#include <stdio.h>
#include <string.h>
#include <unistd.h>

#include <algorithm>

#include "platform/imp/host/host_media.h"
#include "platform/imp/host/imp_host.h"
#include "platform/imp/imp_isp.h"

namespace imp_host {

namespace {

// The only sensor on the board's I2C bus.
constexpr char kSensorName[] = "os02g10";
constexpr int kSensorAddress = 0x3C;
constexpr int kSensorAdapter = 0;

}  // namespace

HostMedia& media() {
  static HostMedia* instance = new HostMedia();  // lives for the process
  return *instance;
}

int64_t now_us() {
  timespec now{};
  clock_gettime(CLOCK_MONOTONIC, &now);
  return int64_t{now.tv_sec} * 1000000 + now.tv_nsec / 1000;
}

void sleep_until_us(int64_t dueUs) {
  timespec due{static_cast<time_t>(dueUs / 1000000), static_cast<long>(dueUs % 1000000) * 1000};
  while (clock_nanosleep(CLOCK_MONOTONIC, TIMER_ABSTIME, &due, nullptr) == EINTR) {
  }
}

View current_view(HostMedia& m) {
  const SceneSetting& scene = m.inputs.scene();
  View view;
  view.night = scene.light == Light::kNight;
  view.crossing = scene.crossing;
  view.crossingSeconds = scene.crossingSeconds;
  view.irLeds = m.inputs.ir_leds_on();
  view.irCutIn = m.inputs.ir_cut() == IrCut::kDay;
  view.monochrome = m.runningMode == IMPISP_RUNNING_MODE_NIGHT;
  return view;
}

double target_amount(HostMedia& m, const View& view) {
  return kDayAmount / m.generator->radiance(view);
}

void advance_exposure(HostMedia& m, int64_t nowUs) {
  if (!m.sensorEnabled) {
    return;
  }
  for (int index = 0; index < IMP_FS_MAX_CHANNELS; ++index) {
    Channel& channel = m.channels[index];
    if (!channel.enabled || nowUs < channel.startUs) {
      continue;
    }
    const int64_t frame = (nowUs - channel.startUs) / channel.periodUs;
    if (m.aeChannel != index || m.aeFrame > frame) {
      m.aeChannel = index;
      m.aeFrame = frame - 1;
    }
    if (frame == m.aeFrame) {
      return;
    }
    const View view = current_view(m);
    const double target = target_amount(m, view);
    const bool unstable = m.inputs.faults().exposureUnstable;
    // Long gaps (nobody asked for a while) settle the same way after a few hundred frames.
    const int64_t steps = std::min<int64_t>(frame - m.aeFrame, 400);
    for (int64_t i = 0; i < steps; ++i) {
      m.ae.step(target, static_cast<double>(channel.periodUs), unstable);
    }
    m.aeFrame = frame;
    return;
  }
}

bool injected_failure(HostMedia& m, std::string_view operation) {
  if (!m.inputs.fails(operation)) {
    return false;
  }
  note_activity(m, std::string(operation) + " fails (injected)");
  return true;
}

void note_activity(HostMedia& m, const std::string& text) {
  const std::string line = text + "\n";
  int fd = open((m.inputs.sensor_dir() + "/activity").c_str(),
                O_WRONLY | O_APPEND | O_CREAT | O_CLOEXEC, 0644);
  if (fd >= 0) {
    (void)!write(fd, line.data(), line.size());
    close(fd);
  }
}

namespace {

// The last exposure read, for the board to show with each snapshot.
void note_exposure(HostMedia& m, const IMPISPEVAttr& attr) {
  char text[128];
  const int length = snprintf(text, sizeof(text), "ev %u expr_us %u again %u dgain %u stable %d\n",
                              attr.ev, attr.expr_us, attr.again, attr.dgain, m.ae.stable() ? 1 : 0);
  const std::string path = m.inputs.sensor_dir() + "/exposure";
  int fd = open(path.c_str(), O_WRONLY | O_CREAT | O_CLOEXEC, 0644);
  if (fd >= 0) {
    // Same length every time is not guaranteed: cut what an earlier, longer line left.
    (void)!pwrite(fd, text, static_cast<size_t>(length), 0);
    (void)!ftruncate(fd, length);
    close(fd);
  }
}

}  // namespace

std::string write_isp_status(HostMedia& m) {
  const IMPISPEVAttr attr = m.ae.attributes();
  const Channel* streaming = nullptr;
  for (const Channel& channel : m.channels) {
    if (channel.enabled) {
      streaming = &channel;
      break;
    }
  }
  char text[1024];
  int length = snprintf(
      text, sizeof(text),
      "****************** ISP INFO **********************\n"
      "SENSOR NAME : %s\n"
      "SENSOR OUTPUT WIDTH : %d\n"
      "SENSOR OUTPUT HEIGHT : %d\n"
      "ISP RUNNING MODE : %s\n"
      "ISP AE STABLE : %d\n"
      "ISP EV value : %u\n"
      "ISP EV value us: %u\n"
      "SENSOR analog gain : %u\n"
      "MAX SENSOR analog gain : %u\n"
      "ISP digital gain : %u\n"
      "MAX ISP digital gain : %u\n"
      "ISP contrast : %u\n"
      "ISP brightness : %u\n",
      m.sensorAdded ? m.sensor.name : "none", streaming ? streaming->width : 0,
      streaming ? streaming->height : 0,
      m.runningMode == IMPISP_RUNNING_MODE_NIGHT ? "night" : "day", m.ae.stable() ? 1 : 0, attr.ev,
      attr.expr_us, attr.again, static_cast<unsigned>(kMaxAnalogGain * kGainOne), attr.dgain,
      static_cast<unsigned>(kMaxDigitalGain * kGainOne), m.contrast, m.brightness);
  const std::string path = m.inputs.sensor_dir() + "/isp-m0";
  const std::string temporary = path + ".new";
  int fd = open(temporary.c_str(), O_WRONLY | O_CREAT | O_TRUNC | O_CLOEXEC, 0644);
  if (fd >= 0) {
    bool written = write(fd, text, static_cast<size_t>(length)) == length;
    close(fd);
    if (written) {
      rename(temporary.c_str(), path.c_str());
    }
  }
  return path;
}

void set_paths(const std::string& sensorDir, const std::string& gpioDir) {
  HostMedia& m = media();
  std::lock_guard lock(m.mutex);
  m.inputs.set_paths(sensorDir, gpioDir);
}

}  // namespace imp_host

using imp_host::fail;
using imp_host::HostMedia;
using imp_host::media;

int IMP_ISP_Open(void) {
  HostMedia& m = media();
  std::lock_guard lock(m.mutex);
  if (injected_failure(m, "IMP_ISP_Open")) {
    return fail(EIO);
  }
  if (m.ispOpen) {
    return fail(EBUSY);
  }
  m.ispOpen = true;
  return 0;
}

int IMP_ISP_Close(void) {
  HostMedia& m = media();
  std::lock_guard lock(m.mutex);
  if (injected_failure(m, "IMP_ISP_Close")) {
    return fail(EIO);
  }
  // The sensor goes first.
  if (!m.ispOpen || m.sensorAdded) {
    return fail(EBUSY);
  }
  m.ispOpen = false;
  m.tuning = false;
  return 0;
}

int IMP_ISP_AddSensor(IMPSensorInfo* sensor) {
  HostMedia& m = media();
  std::lock_guard lock(m.mutex);
  if (injected_failure(m, "IMP_ISP_AddSensor")) {
    return fail(EIO);
  }
  if (sensor == nullptr || !m.ispOpen || m.sensorAdded) {
    return fail(EINVAL);
  }
  // Nothing else answers on the bus.
  if (strncmp(sensor->name, imp_host::kSensorName, sizeof(sensor->name)) != 0 ||
      sensor->cbus_type != TX_SENSOR_CONTROL_INTERFACE_I2C ||
      strncmp(sensor->i2c.type, imp_host::kSensorName, sizeof(sensor->i2c.type)) != 0 ||
      sensor->i2c.addr != imp_host::kSensorAddress ||
      sensor->i2c.i2c_adapter_id != imp_host::kSensorAdapter) {
    return fail(ENODEV);
  }
  m.sensor = *sensor;
  m.sensorAdded = true;
  return 0;
}

int IMP_ISP_DelSensor(IMPSensorInfo* sensor) {
  HostMedia& m = media();
  std::lock_guard lock(m.mutex);
  if (injected_failure(m, "IMP_ISP_DelSensor")) {
    return fail(EIO);
  }
  if (sensor == nullptr || !m.sensorAdded || m.sensorEnabled ||
      strncmp(sensor->name, m.sensor.name, sizeof(sensor->name)) != 0) {
    return fail(EINVAL);
  }
  m.sensorAdded = false;
  return 0;
}

int IMP_ISP_EnableSensor(void) {
  HostMedia& m = media();
  std::lock_guard lock(m.mutex);
  if (injected_failure(m, "IMP_ISP_EnableSensor")) {
    return fail(EIO);
  }
  if (!m.sensorAdded || m.sensorEnabled) {
    return fail(EINVAL);
  }
  // An unpowered sensor does not answer on I2C.
  if (!m.inputs.sensor_powered()) {
    return fail(EIO);
  }
  m.sensorEnabled = true;
  // The application's EV start, else what the boot firmware programmed, else a cold start.
  m.ae.start(m.evStart != 0 ? m.evStart : m.inputs.boot_ev_start());
  m.aeChannel = -1;
  imp_host::note_activity(m, "sensor " + std::string(m.sensor.name) +
                                 " started, exposure from ev " +
                                 std::to_string(m.ae.attributes().ev));
  return 0;
}

int IMP_ISP_DisableSensor(void) {
  HostMedia& m = media();
  std::lock_guard lock(m.mutex);
  if (injected_failure(m, "IMP_ISP_DisableSensor")) {
    return fail(EIO);
  }
  if (!m.sensorEnabled) {
    return fail(EINVAL);
  }
  m.sensorEnabled = false;
  // The ISP forgets the EV start with the sensor: the next start needs a new one, or begins
  // where the boot firmware put it.
  m.evStart = 0;
  imp_host::note_activity(m, "sensor stopped");
  return 0;
}

int IMP_ISP_EnableTuning(void) {
  HostMedia& m = media();
  std::lock_guard lock(m.mutex);
  if (injected_failure(m, "IMP_ISP_EnableTuning")) {
    return fail(EIO);
  }
  if (!m.sensorEnabled) {
    return fail(EINVAL);
  }
  m.tuning = true;
  return 0;
}

int IMP_ISP_DisableTuning(void) {
  HostMedia& m = media();
  std::lock_guard lock(m.mutex);
  if (injected_failure(m, "IMP_ISP_DisableTuning")) {
    return fail(EIO);
  }
  if (!m.tuning) {
    return fail(EINVAL);
  }
  m.tuning = false;
  return 0;
}

namespace {

// Common entry of the tuning operations: the fault, then tuning must be on.
bool tuning_refused(HostMedia& m, std::string_view operation) {
  if (injected_failure(m, operation)) {
    errno = EIO;
    return true;
  }
  if (!m.tuning) {
    errno = EINVAL;
    return true;
  }
  return false;
}

}  // namespace

int IMP_ISP_Tuning_SetContrast(unsigned char contrast) {
  HostMedia& m = media();
  std::lock_guard lock(m.mutex);
  if (tuning_refused(m, "IMP_ISP_Tuning_SetContrast")) {
    return -1;
  }
  m.contrast = contrast;
  return 0;
}

int IMP_ISP_Tuning_SetBrightness(unsigned char brightness) {
  HostMedia& m = media();
  std::lock_guard lock(m.mutex);
  if (tuning_refused(m, "IMP_ISP_Tuning_SetBrightness")) {
    return -1;
  }
  m.brightness = brightness;
  return 0;
}

int IMP_ISP_Tuning_SetISPRunningMode(IMPISPRunningMode mode) {
  HostMedia& m = media();
  std::lock_guard lock(m.mutex);
  if (tuning_refused(m, "IMP_ISP_Tuning_SetISPRunningMode")) {
    return -1;
  }
  if (mode != IMPISP_RUNNING_MODE_DAY && mode != IMPISP_RUNNING_MODE_NIGHT) {
    return fail(EINVAL);
  }
  m.runningMode = mode;
  return 0;
}

int IMP_ISP_Tuning_GetISPRunningMode(IMPISPRunningMode* ret_mode) {
  HostMedia& m = media();
  std::lock_guard lock(m.mutex);
  if (ret_mode == nullptr || tuning_refused(m, "IMP_ISP_Tuning_GetISPRunningMode")) {
    return -1;
  }
  *ret_mode = m.runningMode;
  return 0;
}

int IMP_ISP_Tuning_GetEVAttr(IMPISPEVAttr* attr) {
  HostMedia& m = media();
  std::lock_guard lock(m.mutex);
  if (attr == nullptr || tuning_refused(m, "IMP_ISP_Tuning_GetEVAttr")) {
    return -1;
  }
  advance_exposure(m, imp_host::now_us());
  *attr = m.ae.attributes();
  imp_host::note_exposure(m, *attr);
  return 0;
}

int IMP_ISP_Tuning_GetAeState(IMPISPAEState* state) {
  HostMedia& m = media();
  std::lock_guard lock(m.mutex);
  if (state == nullptr || tuning_refused(m, "IMP_ISP_Tuning_GetAeState")) {
    return -1;
  }
  advance_exposure(m, imp_host::now_us());
  const imp_host::View view = current_view(m);
  const double brightness = m.ae.brightness(target_amount(m, view));
  *state = IMPISPAEState{};
  state->stable = m.ae.stable() ? 1 : 0;
  state->target_luma = 110;
  state->scene_luma = static_cast<uint32_t>(std::min(255.0, 110.0 * brightness));
  return 0;
}

int IMP_ISP_Tuning_GetWB(IMPISPWB* wb) {
  HostMedia& m = media();
  std::lock_guard lock(m.mutex);
  if (wb == nullptr || tuning_refused(m, "IMP_ISP_Tuning_GetWB")) {
    return -1;
  }
  // The ISP balances white by itself; gains apply to the manual mode only.
  *wb = IMPISPWB{ISP_CORE_WB_MODE_AUTO, 256, 256};
  return 0;
}

int IMP_ISP_Tuning_SetEvStart(const uint32_t* ev) {
  HostMedia& m = media();
  std::lock_guard lock(m.mutex);
  if (ev == nullptr || injected_failure(m, "IMP_ISP_Tuning_SetEvStart")) {
    return fail(EINVAL);
  }
  // Kept for the next start of the sensor (until it stops), and applied now when it runs.
  m.evStart = *ev;
  if (m.sensorEnabled) {
    m.ae.start(*ev);
    m.aeChannel = -1;
  }
  return 0;
}
