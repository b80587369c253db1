// Frame-source channels: the sensor's pictures as frames of a chosen size and rate.
#pragma once

#include <stdint.h>

#include "platform/imp/imp_common.h"

#ifdef __cplusplus
extern "C" {
#endif

typedef struct {
  int enable;
  int left;
  int top;
  int width;
  int height;
} IMPFSChnCrop;

typedef struct {
  int enable;
  int outwidth;
  int outheight;
} IMPFSChnScaler;

typedef enum {
  FS_PHY_CHANNEL = 0,
  FS_EXT_CHANNEL = 1,
} IMPFSChnType;

// Channel attributes, in this order.
typedef struct {
  int picWidth;
  int picHeight;
  IMPPixelFormat pixFmt;
  IMPFSChnCrop crop;
  IMPFSChnScaler scaler;
  int outFrmRateNum;
  int outFrmRateDen;
  int nrVBs;  // video buffers of the channel: frames that can be out at once
  IMPFSChnType type;
  IMPFSChnCrop fcrop;
} IMPFSChnAttr;

// Number of frame-source channels.
enum { IMP_FS_MAX_CHANNELS = 3 };

// 0 on success; Enable/Disable/Destroy give a negative value on failure.
int IMP_FrameSource_CreateChn(int chn, IMPFSChnAttr* attr);
int IMP_FrameSource_DestroyChn(int chn);
int IMP_FrameSource_SetChnAttr(int chn, const IMPFSChnAttr* attr);
int IMP_FrameSource_GetChnAttr(int chn, IMPFSChnAttr* attr);
int IMP_FrameSource_EnableChn(int chn);
int IMP_FrameSource_DisableChn(int chn);
// How many of the newest frames the channel keeps for IMP_FrameSource_GetFrame (0: none, the
// channel only feeds bound modules).
int IMP_FrameSource_SetFrameDepth(int chn, int depth);
int IMP_FrameSource_GetFrameDepth(int chn, int* ret_depth);
// Waits for the next frame kept for the reader and hands it out; the buffer stays the
// reader's until IMP_FrameSource_ReleaseFrame. With every buffer of the channel out, fails.
int IMP_FrameSource_GetFrame(int chn, IMPFrameInfo** ret_frame);
int IMP_FrameSource_ReleaseFrame(int chn, IMPFrameInfo* frame);

#ifdef __cplusplus
}
#endif
