// Records and constants shared by every module of the media library: pixel formats, the cell
// that names one end of a binding, and the frame record a frame source hands out.
//
// This is the project's own declaration of the library's interface. On the camera the vendor
// library provides the functions; on a host the simulated sensor and ISP do
// (CAMERA_MEDIA_BACKEND).
#pragma once

#include <stdint.h>

#ifdef __cplusplus
extern "C" {
#endif

// Pixel formats of frames and channels (values as the library numbers them).
typedef enum {
  PIX_FMT_YUV420P = 0,
  PIX_FMT_NV12 = 10,
} IMPPixelFormat;

// The library's modules, as the device field of a cell.
typedef enum {
  DEV_ID_FS = 0,   // frame source
  DEV_ID_ENC = 1,  // encoder
  DEV_ID_OSD = 4,  // on-screen display
} IMPDeviceID;

// One end of a binding between modules: device, group, output.
typedef struct {
  IMPDeviceID deviceID;
  int groupID;
  int outputID;
} IMPCell;

// A frame handed out by IMP_FrameSource_GetFrame. The data is `size` bytes at `virAddr`,
// laid out as `pixfmt` says (NV12: the luma plane, then the interleaved chroma plane at half
// height). `timeStamp` is in microseconds on the monotonic clock.
typedef struct {
  int index;     // buffer index within the channel (0 .. nrVBs - 1)
  int pool_idx;  // the channel the buffer belongs to
  uint32_t width;
  uint32_t height;
  uint32_t pixfmt;    // IMPPixelFormat
  uint32_t size;      // bytes of picture data
  uint32_t phyAddr;   // physical address (0 on a host)
  uintptr_t virAddr;  // virtual address of the picture data
  int64_t timeStamp;  // microseconds
  uint32_t priv[4];   // the library's own bookkeeping
} IMPFrameInfo;

#ifdef __cplusplus
}
#endif
