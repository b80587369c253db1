#include "app/AV-Common.h"

#include <cstring>
#include <ctime>

#include "app/capture/capture_flags.h"
#include "app/capture/ir_control.h"
#include "app/records/boot_tags.h"
#include "app/records/log/app_log.h"
#include "app/system/core/shell.h"
#include "app/system/core/sys_info.h"
#include "app/system/core/wall_clock.h"
#include "app/system/os/os.h"

namespace {

constexpr int kOsdPoolSize = 524288;
constexpr unsigned char kContrast = 128;
constexpr unsigned char kBrightness = 128;
constexpr uint32_t kPollUs = 10 * 1000;
constexpr uint32_t kRunningModePauseUs = 10 * 1000;
constexpr uint32_t kPowerOffPauseUs = 10 * 1000;
constexpr uint32_t kPowerUpPauseUs = 100 * 1000;
// The release thread keeps the sensor running below these (dark scene or weak battery).
constexpr uint32_t kKeepBelowAdc = 237;
constexpr uint32_t kKeepBelowEv = 10;

IMPSensorInfo g_sensor;
uint8_t g_gpio17_exported = 0;
uint8_t g_ttff_skip_done = 0;

void build_sensor_description() {
  memset(&g_sensor, 0, sizeof g_sensor);
  snprintf(g_sensor.name, sizeof g_sensor.name, "%s", "os02g10");
  g_sensor.cbus_type = TX_SENSOR_CONTROL_INTERFACE_I2C;
  snprintf(g_sensor.i2c.type, sizeof g_sensor.i2c.type, "%s", "os02g10");
  g_sensor.i2c.addr = 0x3C;
  g_sensor.i2c.i2c_adapter_id = 0;
}

// The media system and the frame source of the channel definition: the first steps of both
// forms' bring-up.
int system_and_source_init() {
  if (T31_system_init(chn_defAV) != 0) {
    app_log(MOD_PHOTO_AV, LEVEL_ERR, "IMP_System_Init() failed");
    return -1;
  }
  if (framesource_init() != 0) {
    app_log(MOD_PHOTO_AV, LEVEL_ERR, "FrameSource init failed");
    return -1;
  }
  return 0;
}

int channel() {
  return static_cast<int>(chn_defVE->index);
}

// Asks the release thread to take the other form down without powering the sensor off, and
// waits for it.
void switch_form_away(std::atomic<uint8_t>& request) {
  {
    SemLock lock(&sysInfoLock);
    request = 1;
    captureFlags.modeSwitchInProgress = 1;
    captureFlags.sensorDeinitBusy = 1;
  }
  while (captureFlags.sensorDeinitBusy) {
    os_sleep_us(kPollUs);
  }
  set_locked(captureFlags.modeSwitchInProgress, 0);
}

void export_gpio17() {
  if (g_gpio17_exported) {
    return;
  }
  run_shell("echo 17 > /sys/class/gpio/export");
  run_shell("echo 'out' > /sys/class/gpio/gpio17/direction");
  g_gpio17_exported = 1;
}

bool keep_sensor_running() {
  return !((bootTags.adc >= kKeepBelowAdc && captureFlags.evValue >= kKeepBelowEv &&
            !captureFlags.sensorKept) ||
           captureFlags.modeSwitchInProgress);
}

// Takes one form down, or latches the decision to keep the sensor running. Returns true when
// there was a request to act on.
bool act_on_request(std::atomic<uint8_t>& request, std::atomic<uint8_t>& ready, int (*deinit)(int),
                    const char* form, const char* tag) {
  if (!request) {
    return false;
  }
  if (keep_sensor_running()) {
    app_log(MOD_PHOTO_AV, LEVEL_INFO, "No sensor deinit(%s). Reason: adc = %d, ev = %d", form,
            bootTags.adc.load(), static_cast<int>(captureFlags.evValue.load()));
    SemLock lock(&sysInfoLock);
    request = 0;
    captureFlags.sensorDeinitBusy = 0;
    captureFlags.sensorKept = 1;
    return true;
  }
  set_locked(captureFlags.sensorDeinitBusy, 1);
  const bool power_down = !captureFlags.modeSwitchInProgress;
  if (deinit(power_down ? 1 : 0) == -1) {
    // A half-done teardown still ends with the sensor off, so the next bring-up starts clean.
    if (power_down) {
      sensor_power_off(tag);
    }
    set_locked(ready, 0);
    run_shell("sync");
  }
  SemLock lock(&sysInfoLock);
  request = 0;
  captureFlags.sensorDeinitBusy = 0;
  return true;
}

}  // namespace

ChannelDefinition default_channel_definition() {
  ChannelDefinition definition;
  definition.fsChnAttr = {};
  definition.fsChnAttr.picWidth = 1920;
  definition.fsChnAttr.picHeight = 1080;
  definition.fsChnAttr.pixFmt = PIX_FMT_NV12;
  definition.fsChnAttr.crop = {0, 0, 0, 1920, 1080};
  definition.fsChnAttr.scaler = {0, 0, 0};
  definition.fsChnAttr.outFrmRateNum = 30;
  definition.fsChnAttr.outFrmRateDen = 1;
  definition.fsChnAttr.nrVBs = 2;
  definition.fsChnAttr.type = FS_PHY_CHANNEL;
  definition.fsChnAttr.fcrop = {};
  return definition;
}

ChannelDefinition channelDefinition = default_channel_definition();
ChannelDefinition* chn_defAV = &channelDefinition;
ChannelDefinition* chn_defVE = nullptr;
int pipelineMode = 0;
uint8_t yuvDown = 1;

int T31_system_init(ChannelDefinition* chn) {
  // The display's pool is sized before anything else; its result does not matter here.
  IMP_OSD_SetPoolSize(kOsdPoolSize);
  if (chn == nullptr) {
    app_log(MOD_VID_ENC, LEVEL_ERR, "Null pointer passed as arg : T31_system_init");
    return -1;
  }
  chn_defVE = chn;
  build_sensor_description();
  app_log(MOD_VID_ENC, LEVEL_DEBUG, "T31_system_init start");

  struct Step {
    int (*run)();
    const char* failure;
  };
  static constexpr Step kSteps[] = {
      {[] { return IMP_ISP_Open(); }, "failed to open ISP"},
      {[] { return IMP_ISP_AddSensor(&g_sensor); }, "failed to AddSensor"},
      {[] { return IMP_ISP_EnableSensor(); }, "failed to EnableSensor"},
      {[] { return IMP_System_Init(); }, "IMP_System_Init failed"},
      {[] { return IMP_ISP_EnableTuning(); }, "IMP_ISP_EnableTuning failed"},
      {[] { return IMP_ISP_Tuning_SetContrast(kContrast); }, "IMP_ISP_Tuning_SetContrast failed"},
      {[] { return IMP_ISP_Tuning_SetBrightness(kBrightness); },
       "IMP_ISP_Tuning_SetBrightness failed"},
      {[] { return switch_day_night(); }, "switch_day_night failed"},
  };
  for (const Step& step : kSteps) {
    if (step.run() != 0) {
      app_log(MOD_VID_ENC, LEVEL_ERR, "%s", step.failure);
      return -1;
    }
  }
  app_log(MOD_VID_ENC, LEVEL_DEBUG, "ImpSystemInit success");
  return 0;
}

int T31_system_exit() {
  app_log(MOD_VID_ENC, LEVEL_DEBUG, "T31_system_exit start");
  IMP_System_Exit();
  if (IMP_ISP_DisableSensor() < 0) {
    app_log(MOD_VID_ENC, LEVEL_ERR, "failed to DisableSensor");
    return -1;
  }
  if (IMP_ISP_DelSensor(&g_sensor) < 0) {
    app_log(MOD_VID_ENC, LEVEL_ERR, "failed to DelSensor");
    return -1;
  }
  if (IMP_ISP_DisableTuning() < 0) {
    app_log(MOD_VID_ENC, LEVEL_ERR, "IMP_ISP_DisableTuning failed");
    return -1;
  }
  if (IMP_ISP_Close() != 0) {
    app_log(MOD_VID_ENC, LEVEL_ERR, "failed to close ISP");
    return -1;
  }
  app_log(MOD_VID_ENC, LEVEL_DEBUG, " T31_system_exit success");
  return 0;
}

int switch_day_night() {
  const int32_t boot_reason = sysInfo->boot_reason;
  app_log(MOD_VID_ENC, LEVEL_INFO, "boot_reason value: %d", boot_reason);
  app_log(MOD_VID_ENC, LEVEL_INFO, "prev_ir_mode value: %d", sysInfo->prev_ir_mode.load());
  bool night;
  if (boot_reason == 1) {
    night = sysInfo->prev_ir_mode != 0;
  } else if (boot_reason == 0) {
    app_log(MOD_VID_ENC, LEVEL_INFO, "day_night_val value: %d", sysInfo->day_night_val.load());
    night = sysInfo->day_night_val != 0;
  } else {
    app_log(MOD_VID_ENC, LEVEL_ERR, "switch_day_night: invalid boot_reason");
    return -1;
  }
  // The mode is always set to the opposite first so that the ISP really reloads its tables.
  app_log(MOD_VID_ENC, LEVEL_INFO, night ? "Night-capture" : "Day-capture");
  const IMPISPRunningMode wanted = night ? IMPISP_RUNNING_MODE_NIGHT : IMPISP_RUNNING_MODE_DAY;
  const IMPISPRunningMode other = night ? IMPISP_RUNNING_MODE_DAY : IMPISP_RUNNING_MODE_NIGHT;
  IMP_ISP_Tuning_SetISPRunningMode(other);
  os_sleep_us(kRunningModePauseUs);
  const int result = IMP_ISP_Tuning_SetISPRunningMode(wanted);
  os_sleep_us(kRunningModePauseUs);
  if (result != 0) {
    // "mode1".."mode4": capture boot by day, by night, other boot by day, by night.
    static constexpr const char* kFailures[2][2] = {
        {"failed to set running mode3", "failed to set running mode4"},
        {"failed to set running mode1", "failed to set running mode2"},
    };
    app_log(MOD_VID_ENC, LEVEL_ERR, "%s", kFailures[boot_reason][night ? 1 : 0]);
    return -1;
  }
  return 0;
}

int set_resolution(int width) {
  IMPFSChnAttr& attr = chn_defAV->fsChnAttr;
  if (width == 1280) {
    attr.scaler = {1, 1280, 720};
    attr.picWidth = 1280;
    attr.picHeight = 720;
    return 0;
  }
  if (width == 1920) {
    attr.picWidth = 1920;
    attr.picHeight = 1080;
    attr.scaler.enable = 0;
    return 0;
  }
  app_log(MOD_PHOTO_AV, LEVEL_ERR, "Invalid Resolution!");
  return -1;
}

int framesource_init() {
  if (!chn_defVE->enable) {
    return 0;
  }
  if (IMP_FrameSource_CreateChn(channel(), &chn_defVE->fsChnAttr) != 0) {
    app_log(MOD_VID_ENC, LEVEL_ERR, "IMP_FrameSource_CreateChn(chn%d) error !", channel());
    return -1;
  }
  if (IMP_FrameSource_SetChnAttr(channel(), &chn_defVE->fsChnAttr) != 0) {
    app_log(MOD_VID_ENC, LEVEL_ERR, "IMP_FrameSource_SetChnAttr(chn%d) error !", channel());
    return -1;
  }
  return 0;
}

int framesource_exit() {
  if (!chn_defVE->enable) {
    return 0;
  }
  if (int result = IMP_FrameSource_DestroyChn(channel()); result < 0) {
    app_log(MOD_VID_ENC, LEVEL_ERR, "IMP_FrameSource_DestroyChn(%d) error: %d", channel(), result);
    return -1;
  }
  return 0;
}

int stream_on() {
  if (!chn_defVE->enable) {
    return 0;
  }
  if (int result = IMP_FrameSource_EnableChn(channel()); result < 0) {
    app_log(MOD_VID_ENC, LEVEL_ERR, "IMP_FrameSource_EnableChn(%d) error: %d", channel(), result);
    return -1;
  }
  return 0;
}

int stream_off() {
  if (!chn_defVE->enable) {
    return 0;
  }
  if (int result = IMP_FrameSource_DisableChn(channel()); result < 0) {
    app_log(MOD_VID_ENC, LEVEL_ERR, "IMP_FrameSource_DisableChn(%d) error: %d", channel(), result);
    return -1;
  }
  return 0;
}

int yuv_enc_init() {
  yuvDown = 0;
  set_locked(captureFlags.yuvReady, 0);
  if (pipelineMode == 1 && captureFlags.h265Ready) {
    switch_form_away(captureFlags.h265DeinitRequest);
  }
  pipelineMode = 0;
  chn_defAV = &channelDefinition;
  if (int result = set_resolution(1920); result != 0) {
    app_log(MOD_PHOTO_AV, LEVEL_ERR, "Set resolution fail!");
    return result;
  }
  if (system_and_source_init() != 0) {
    return -1;
  }
  const int index = static_cast<int>(chn_defAV->index);
  IMPFSChnAttr copy{};
  if (IMP_FrameSource_GetChnAttr(index, &copy) != 0) {
    app_log(MOD_PHOTO_AV, LEVEL_ERR, "IMP_FrameSource_GetChnAttr failed");
    return -1;
  }
  copy.pixFmt = PIX_FMT_NV12;
  if (IMP_FrameSource_SetChnAttr(index, &copy) != 0) {
    app_log(MOD_PHOTO_AV, LEVEL_ERR, "%s(%d):IMP_FrameSource_SetChnAttr failed", __func__,
            __LINE__);
    return -1;
  }
  if (chn_defAV->enable) {
    if (int result = IMP_FrameSource_EnableChn(index); result != 0) {
      app_log(MOD_PHOTO_AV, LEVEL_ERR, "IMP_FrameSource_EnableChn(%d) error: %d", index, result);
      return -1;
    }
  }
  // One frame stays queued for the reader.
  if (IMP_FrameSource_SetFrameDepth(index, 1) != 0) {
    app_log(MOD_PHOTO_AV, LEVEL_ERR, "%s(%d):IMP_FrameSource_SetFrameDepth failed", __func__,
            __LINE__);
    return -1;
  }
  set_locked(captureFlags.yuvReady, 1);
  return 0;
}

int yuv_enc_deinit(int powerDown) {
  yuvDown = 1;
  const int index = static_cast<int>(chn_defAV->index);
  if (IMP_FrameSource_SetFrameDepth(index, 0) != 0) {
    app_log(MOD_PHOTO_AV, LEVEL_ERR, "%s(%d):IMP_FrameSource_SetFrameDepth failed", __func__,
            __LINE__);
    return -1;
  }
  if (int result = IMP_FrameSource_DisableChn(index); result < 0) {
    IMP_LOG_ERR("AV-Common", "IMP_FrameSource_DisableChn(%d) error: %d", index, result);
    return -1;
  }
  if (framesource_exit() != 0) {
    app_log(MOD_PHOTO_AV, LEVEL_ERR, "FrameSource exit failed");
    return -1;
  }
  if (T31_system_exit() != 0) {
    app_log(MOD_PHOTO_AV, LEVEL_ERR, "T31_system_exit() failed");
    return -1;
  }
  if (powerDown) {
    sensor_power_off("P");
  }
  run_shell("sync");
  set_locked(captureFlags.yuvReady, 0);
  return 0;
}

namespace {

constexpr IMPEncoderRcMode kRateControl = IMP_ENC_RC_MODE_CBR;
constexpr int kMaxSameSceneCount = 1;
constexpr int kInitialQp = -1;  // the library's choice
constexpr uint32_t kTargetKbps = 1000;

// The encoder channel of the channel definition: created at its size and rate (CBR, GOP of one
// second) and registered to its group.
int encoder_init() {
  if (!chn_defVE->enable) {
    return 0;
  }
  const int index = static_cast<int>(chn_defVE->index);
  const IMPFSChnAttr& fs = chn_defVE->fsChnAttr;
  IMPEncoderChnAttr attr{};
  const uint32_t num = static_cast<uint32_t>(fs.outFrmRateNum);
  const uint32_t den = static_cast<uint32_t>(fs.outFrmRateDen);
  if (IMP_Encoder_SetDefaultParam(&attr, static_cast<IMPEncoderProfile>(chn_defVE->payloadType),
                                  kRateControl, static_cast<uint16_t>(fs.picWidth),
                                  static_cast<uint16_t>(fs.picHeight), num, den, num / den,
                                  kMaxSameSceneCount, kInitialQp, kTargetKbps) < 0) {
    app_log(MOD_VID_ENC, LEVEL_ERR, "IMP_Encoder_SetDefaultParam(%d) error !", index);
    return -1;
  }
  if (IMP_Encoder_CreateChn(index, &attr) < 0) {
    app_log(MOD_VID_ENC, LEVEL_ERR, "IMP_Encoder_CreateChn(%d) error !", index);
    return -1;
  }
  if (int result = IMP_Encoder_RegisterChn(index, index); result < 0) {
    app_log(MOD_VID_ENC, LEVEL_ERR, "IMP_Encoder_RegisterChn(%d, %d) error: %d", index, index,
            result);
    return -1;
  }
  return 0;
}

int encoder_exit() {
  if (!chn_defVE->enable) {
    return 0;
  }
  const int index = static_cast<int>(chn_defVE->index);
  IMPEncoderChnStat status{};
  if (int result = IMP_Encoder_Query(index, &status); result < 0) {
    app_log(MOD_VID_ENC, LEVEL_ERR, "IMP_Encoder_Query(%d) error: %d", index, result);
    return -1;
  }
  if (!status.registered) {
    return 0;
  }
  if (int result = IMP_Encoder_UnRegisterChn(index); result < 0) {
    app_log(MOD_VID_ENC, LEVEL_ERR, "IMP_Encoder_UnRegisterChn(%d) error: %d", index, result);
    return -1;
  }
  if (int result = IMP_Encoder_DestroyChn(index); result < 0) {
    app_log(MOD_VID_ENC, LEVEL_ERR, "IMP_Encoder_DestroyChn(%d) error: %d", index, result);
    return -1;
  }
  return 0;
}

// The video form's bring-up after the definition is prepared: the system, the frame source,
// the encoder group and channel.
int T31_init_h265() {
  if (chn_defAV == nullptr) {
    app_log(MOD_PHOTO_AV, LEVEL_ERR, "T31_init_h265: chn_defAV not initialized!");
    return -1;
  }
  if (system_and_source_init() != 0) {
    return -1;
  }
  if (chn_defAV->enable) {
    const int index = static_cast<int>(chn_defAV->index);
    if (IMP_Encoder_CreateGroup(index) != 0) {
      app_log(MOD_PHOTO_AV, LEVEL_ERR, "IMP_Encoder_CreateGroup(%d) error !", index);
      return -1;
    }
  }
  if (encoder_init() != 0) {
    app_log(MOD_PHOTO_AV, LEVEL_ERR, "Encoder init failed");
    return -1;
  }
  return 0;
}

}  // namespace

int h265_enc_init() {
  if (pipelineMode == 0 && captureFlags.yuvReady) {
    switch_form_away(captureFlags.yuvDeinitRequest);
  }
  chn_defAV = &channelDefinition;
  if (sysInfo->orve_model == 7) {
    if (ttff_frame_skip_1080p() != 0) {
      app_log(MOD_PHOTO_AV, LEVEL_ERR, "TTFF frame skip fail!: %s:%d", __func__, __LINE__);
      return -1;
    }
    IMPFSChnAttr& attr = chn_defAV->fsChnAttr;
    attr.scaler = {1, 1280, 720};
    attr.picWidth = 1280;
    attr.picHeight = 720;
  } else if (set_resolution(1920) != 0) {
    app_log(MOD_PHOTO_AV, LEVEL_ERR, "Set resolution(%d) fail!: %s:%d", 1920, __func__, __LINE__);
    return -1;
  }
  pipelineMode = 1;
  return T31_init_h265();
}

int h265_enc_deinit(int powerDown) {
  if (encoder_exit() != 0) {
    app_log(MOD_PHOTO_AV, LEVEL_ERR, "Encoder exit failed");
    return -1;
  }
  if (framesource_exit() != 0) {
    app_log(MOD_PHOTO_AV, LEVEL_ERR, "FrameSource exit failed");
    return -1;
  }
  if (T31_system_exit() != 0) {
    app_log(MOD_PHOTO_AV, LEVEL_ERR, "T31_system_exit() failed");
    return -1;
  }
  if (powerDown) {
    sensor_power_off("V");
  }
  set_locked(captureFlags.h265Ready, 0);
  return 0;
}

int ttff_frame_skip_1080p() {
  if (g_ttff_skip_done) {
    return 0;
  }
  if (yuv_enc_init() != 0) {
    app_log(MOD_PHOTO_AV, LEVEL_ERR, "yuv_enc_init failed: %s", __func__);
    return -1;
  }
  const int index = static_cast<int>(chn_defAV->index);
  for (int i = 0; i < chn_defAV->fsChnAttr.nrVBs; ++i) {
    IMPFrameInfo* frame = nullptr;
    if (IMP_FrameSource_GetFrame(index, &frame) != 0) {
      app_log(MOD_PHOTO_AV, LEVEL_ERR, "IMP_FrameSource_GetFrame failed: %s", __func__);
      return -1;
    }
    if (IMP_FrameSource_ReleaseFrame(index, frame) != 0) {
      app_log(MOD_PHOTO_AV, LEVEL_ERR, "IMP_FrameSource_ReleaseFrame failed: %s", __func__);
      return -1;
    }
  }
  IMPISPEVAttr exposure{};
  IMP_ISP_Tuning_GetEVAttr(&exposure);
  set_locked(captureFlags.evValue, exposure.ev);
  if (yuv_enc_deinit(0) != 0) {
    app_log(MOD_PHOTO_AV, LEVEL_ERR, "yuv_enc_deinit failed: %s", __func__);
    return -1;
  }
  app_log(MOD_PHOTO_AV, LEVEL_INFO, "TTFF Skipped successfully");
  g_ttff_skip_done = 1;
  return 0;
}

void libimp_init() {
  const timespec start = now_realtime();
  if (yuv_enc_init() != 0) {
    app_log(MOD_PHOTO_AV, LEVEL_ERR, "Failed to initialise libimp");
    set_locked(captureFlags.yuvDeinitRequest, 1);
  } else {
    app_log(MOD_PHOTO_AV, LEVEL_INFO, "libimp initialised successfully");
  }
  set_locked(captureFlags.impInitTimeUs, elapsed_us(start, now_realtime()));
  if (!captureFlags.yuvDeinitRequest) {
    set_locked(captureFlags.photoDone, 0);
  } else {
    ir_led_off_after_capture();
    set_locked(captureFlags.photoDone, 1);
  }
}

void sensor_power_off(const char* tag) {
  export_gpio17();
  run_shell("echo 0 > /sys/class/gpio/gpio17/value");
  app_log(MOD_PHOTO_AV, LEVEL_INFO, "Sensor_Power_Down_%s", tag);
  os_sleep_us(kPowerOffPauseUs);
}

void sensor_power_up() {
  run_shell("echo 1 > /sys/class/gpio/gpio17/value");
  app_log(MOD_PHOTO_AV, LEVEL_INFO, "Sensor_Power_Up");
  os_sleep_us(kPowerUpPauseUs);
}

void sensor_deinit_pass() {
  // A request answered by keeping the sensor is examined again at once: the other form's
  // request may be pending too.
  while (act_on_request(captureFlags.yuvDeinitRequest, captureFlags.yuvReady, yuv_enc_deinit, "YUV",
                        "P") ||
         act_on_request(captureFlags.h265DeinitRequest, captureFlags.h265Ready, h265_enc_deinit,
                        "H265", "V")) {
  }
}

void* sensor_deinit_thread(void*) {
  for (;;) {
    sensor_deinit_pass();
    os_sleep_us(kPollUs);
  }
}

void reset_media_session() {
  channelDefinition = default_channel_definition();
  chn_defAV = &channelDefinition;
  chn_defVE = nullptr;
  pipelineMode = 0;
  yuvDown = 1;
  g_gpio17_exported = 0;
  g_ttff_skip_done = 0;
}
