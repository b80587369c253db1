// The video encoder module: encoder groups fed by a binding, channels that turn the group's
// frames into an H.265 stream, and the stream records through which the application reads
// the coded data straight out of the encoder's circular stream buffer.
#pragma once

#include <stdint.h>

#include "platform/imp/imp_common.h"

#ifdef __cplusplus
extern "C" {
#endif

// Payload types, as the upper byte of a profile and the upper half of a stream selector.
typedef enum {
  IMP_ENC_TYPE_AVC = 0,
  IMP_ENC_TYPE_HEVC = 1,
  IMP_ENC_TYPE_JPEG = 4,
} IMPEncoderEncType;

typedef enum {
  IMP_ENC_PROFILE_AVC_MAIN = (IMP_ENC_TYPE_AVC << 24) | 77,
  IMP_ENC_PROFILE_HEVC_MAIN = (IMP_ENC_TYPE_HEVC << 24) | 1,
} IMPEncoderProfile;

typedef enum {
  IMP_ENC_RC_MODE_FIXQP = 0,
  IMP_ENC_RC_MODE_CBR = 1,
  IMP_ENC_RC_MODE_VBR = 2,
} IMPEncoderRcMode;

// H.265 NAL unit types a pack can carry.
typedef enum {
  IMP_H265_NAL_SLICE_TRAIL_R = 1,
  IMP_H265_NAL_SLICE_IDR_W_RADL = 19,
  IMP_H265_NAL_SLICE_IDR_N_LP = 20,
  IMP_H265_NAL_VPS = 32,
  IMP_H265_NAL_SPS = 33,
  IMP_H265_NAL_PPS = 34,
  IMP_H265_NAL_SEI_PREFIX = 39,
} IMPEncoderH265NalType;

typedef enum {
  IMP_ENC_SLICE_P = 0,
  IMP_ENC_SLICE_B = 1,
  IMP_ENC_SLICE_I = 2,
} IMPEncoderSliceType;

typedef struct {
  IMPEncoderProfile eProfile;
  uint16_t uWidth;
  uint16_t uHeight;
} IMPEncoderEncAttr;

typedef struct {
  uint32_t frmRateNum;
  uint32_t frmRateDen;
} IMPEncoderFrmRate;

typedef struct {
  IMPEncoderRcMode rcMode;
  uint32_t uTargetBitRate;  // kbit/s
  int iInitialQP;           // -1: the library's choice
} IMPEncoderRcAttr;

typedef struct {
  uint32_t uGopLength;  // frames from one key frame to the next
  uint32_t uMaxSameSenceCnt;
} IMPEncoderGopAttr;

typedef struct {
  IMPEncoderEncAttr encAttr;
  IMPEncoderFrmRate outFrmRate;
  IMPEncoderRcAttr rcAttr;
  IMPEncoderGopAttr gopAttr;
} IMPEncoderChnAttr;

// One NAL unit of a coded frame in the circular stream buffer (32 bytes). The unit may wrap:
// when offset + length passes the buffer's end, the rest continues at the buffer's start.
typedef struct {
  uint32_t offset;
  uint32_t length;
  int64_t timestamp;   // microseconds, on the frame source's monotonic clock
  uint32_t frameEnd;   // 1 on the last pack of a frame
  uint32_t nalType;    // IMPEncoderH265NalType
  uint32_t sliceType;  // IMPEncoderSliceType
  uint32_t reserved;
} IMPEncoderPack;

// One coded frame: its packs, and the circular buffer they point into.
typedef struct {
  uint32_t phyAddr;     // 0 on a host
  uintptr_t virAddr;    // start of the circular stream buffer
  uint32_t streamSize;  // bytes of the circular stream buffer
  IMPEncoderPack* pack;
  uint32_t packCount;
  uint32_t seq;  // frame number within the channel
  uint32_t reserved[4];
} IMPEncoderStream;

typedef struct {
  uint8_t registered;         // the channel is registered to a group
  uint32_t leftPics;          // frames waiting to be coded
  uint32_t leftStreamBytes;   // bytes of coded frames not released yet
  uint32_t leftStreamFrames;  // coded frames not released yet
  uint32_t curPacks;          // packs of the next coded frame
  uint32_t droppedFrames;     // frames of the source the channel could not take
} IMPEncoderChnStat;

// All return 0 on success and a negative value on failure.
int IMP_Encoder_CreateGroup(int encGroup);
int IMP_Encoder_DestroyGroup(int encGroup);
// Zeroes `chnAttr` and fills it for the given profile, rate control, size, rate and GOP.
int IMP_Encoder_SetDefaultParam(IMPEncoderChnAttr* chnAttr, IMPEncoderProfile profile,
                                IMPEncoderRcMode rcMode, uint16_t uWidth, uint16_t uHeight,
                                uint32_t frmRateNum, uint32_t frmRateDen, uint32_t uGopLength,
                                int uMaxSameSenceCnt, int iInitialQP, uint32_t uTargetBitRate);
int IMP_Encoder_CreateChn(int encChn, const IMPEncoderChnAttr* attr);
int IMP_Encoder_DestroyChn(int encChn);
int IMP_Encoder_RegisterChn(int encGroup, int encChn);
int IMP_Encoder_UnRegisterChn(int encChn);
int IMP_Encoder_Query(int encChn, IMPEncoderChnStat* stat);
// Starts and stops taking frames from the group; the first frame after a start is a key frame.
int IMP_Encoder_StartRecvPic(int encChn);
int IMP_Encoder_StopRecvPic(int encChn);
// Waits up to `timeoutMsec` for a coded frame.
int IMP_Encoder_PollingStream(int encChn, uint32_t timeoutMsec);
// Hands out the oldest coded frame not handed out yet; `blockFlag` waits for one.
int IMP_Encoder_GetStream(int encChn, IMPEncoderStream* stream, int blockFlag);
// Gives a frame's space in the stream buffer back; frames are released in the order got.
int IMP_Encoder_ReleaseStream(int encChn, IMPEncoderStream* stream);

#ifdef __cplusplus
}
#endif
