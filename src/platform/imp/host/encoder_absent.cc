// The encoder of a build without libx265 (the camera's cross build has none): bindings work,
// but no encoder group or channel can be made, so a video capture fails at its bring-up with
// the encoder's own error instead of recording nothing.
#include <errno.h>
#include <string.h>

#include "platform/imp/host/encoder_host.h"
#include "platform/imp/imp_encoder.h"

namespace {

int unavailable() {
  errno = ENOSYS;
  return -1;
}

}  // namespace

namespace imp_host {

void set_stream_buffer_size(size_t) {}
void reset_encoder() {
  reset_bindings();
}

}  // namespace imp_host

int IMP_Encoder_CreateGroup(int) {
  return unavailable();
}
int IMP_Encoder_DestroyGroup(int) {
  return unavailable();
}
int IMP_Encoder_SetDefaultParam(IMPEncoderChnAttr* chnAttr, IMPEncoderProfile, IMPEncoderRcMode,
                                uint16_t, uint16_t, uint32_t, uint32_t, uint32_t, int, int,
                                uint32_t) {
  if (chnAttr != nullptr) {
    memset(chnAttr, 0, sizeof(*chnAttr));
  }
  return unavailable();
}
int IMP_Encoder_CreateChn(int, const IMPEncoderChnAttr*) {
  return unavailable();
}
int IMP_Encoder_DestroyChn(int) {
  return unavailable();
}
int IMP_Encoder_RegisterChn(int, int) {
  return unavailable();
}
int IMP_Encoder_UnRegisterChn(int) {
  return unavailable();
}
int IMP_Encoder_Query(int, IMPEncoderChnStat* stat) {
  if (stat == nullptr) {
    return unavailable();
  }
  memset(stat, 0, sizeof(*stat));  // never registered
  return 0;
}
int IMP_Encoder_StartRecvPic(int) {
  return unavailable();
}
int IMP_Encoder_StopRecvPic(int) {
  return unavailable();
}
int IMP_Encoder_PollingStream(int, uint32_t) {
  return unavailable();
}
int IMP_Encoder_GetStream(int, IMPEncoderStream*, int) {
  return unavailable();
}
int IMP_Encoder_ReleaseStream(int, IMPEncoderStream*) {
  return unavailable();
}
