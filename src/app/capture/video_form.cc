#include "app/capture/video_form.h"

#include "app/AV-Common.h"
#include "app/records/log/app_log.h"

namespace {

constexpr IMPEncoderRcMode kRateControl = IMP_ENC_RC_MODE_CBR;
constexpr int kMaxSameSceneCount = 1;
constexpr int kInitialQp = -1;  // the library's choice
constexpr uint32_t kTargetKbps = 1000;

}  // namespace

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

int T31_init_h265() {
  if (chn_defAV == nullptr) {
    app_log(MOD_PHOTO_AV, LEVEL_ERR, "T31_init_h265: chn_defAV not initialized!");
    return -1;
  }
  if (T31_system_init(chn_defAV) != 0) {
    app_log(MOD_PHOTO_AV, LEVEL_ERR, "IMP_System_Init() failed");
    return -1;
  }
  if (framesource_init() != 0) {
    app_log(MOD_PHOTO_AV, LEVEL_ERR, "FrameSource init failed");
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
