// Not built yet: the simulated sensor and ISP. Until they land every operation fails, as a
// media library without a sensor would.
#include <errno.h>
#include <stdarg.h>

#include "platform/imp/imp.h"
#include "platform/imp/isp_status_file.h"

namespace {
int not_built_yet() {
  errno = ENOSYS;
  return -1;
}
}  // namespace

int IMP_System_Init(void) {
  return not_built_yet();
}

int IMP_System_Exit(void) {
  return not_built_yet();
}

int IMP_ISP_Open(void) {
  return not_built_yet();
}

int IMP_ISP_Close(void) {
  return not_built_yet();
}

int IMP_ISP_AddSensor(IMPSensorInfo*) {
  return not_built_yet();
}

int IMP_ISP_DelSensor(IMPSensorInfo*) {
  return not_built_yet();
}

int IMP_ISP_EnableSensor(void) {
  return not_built_yet();
}

int IMP_ISP_DisableSensor(void) {
  return not_built_yet();
}

int IMP_ISP_EnableTuning(void) {
  return not_built_yet();
}

int IMP_ISP_DisableTuning(void) {
  return not_built_yet();
}

int IMP_ISP_Tuning_SetContrast(unsigned char) {
  return not_built_yet();
}

int IMP_ISP_Tuning_SetBrightness(unsigned char) {
  return not_built_yet();
}

int IMP_ISP_Tuning_SetISPRunningMode(IMPISPRunningMode) {
  return not_built_yet();
}

int IMP_ISP_Tuning_GetISPRunningMode(IMPISPRunningMode*) {
  return not_built_yet();
}

int IMP_ISP_Tuning_GetEVAttr(IMPISPEVAttr*) {
  return not_built_yet();
}

int IMP_ISP_Tuning_GetAeState(IMPISPAEState*) {
  return not_built_yet();
}

int IMP_ISP_Tuning_GetWB(IMPISPWB*) {
  return not_built_yet();
}

int IMP_ISP_Tuning_SetEvStart(const uint32_t*) {
  return not_built_yet();
}

int IMP_FrameSource_CreateChn(int, IMPFSChnAttr*) {
  return not_built_yet();
}

int IMP_FrameSource_DestroyChn(int) {
  return not_built_yet();
}

int IMP_FrameSource_SetChnAttr(int, const IMPFSChnAttr*) {
  return not_built_yet();
}

int IMP_FrameSource_GetChnAttr(int, IMPFSChnAttr*) {
  return not_built_yet();
}

int IMP_FrameSource_EnableChn(int) {
  return not_built_yet();
}

int IMP_FrameSource_DisableChn(int) {
  return not_built_yet();
}

int IMP_FrameSource_SetFrameDepth(int, int) {
  return not_built_yet();
}

int IMP_FrameSource_GetFrameDepth(int, int*) {
  return not_built_yet();
}

int IMP_FrameSource_GetFrame(int, IMPFrameInfo**) {
  return not_built_yet();
}

int IMP_FrameSource_ReleaseFrame(int, IMPFrameInfo*) {
  return not_built_yet();
}

void IMP_Log_Print(IMPLogLevel, const char*, const char*, ...) {}

FILE* isp_status_fopen(const char*, const char*) {
  errno = ENOSYS;
  return nullptr;
}
