// The on-screen display module: regions (filled rectangles and BGRA pictures) drawn into the
// frames that pass a display group between the frame source and the encoder. The photo
// pipeline only sizes the module's memory pool at bring-up; the video pipeline places its
// information bar with the regions.
#pragma once

#include <stdint.h>

#include "platform/imp/imp_common.h"

#ifdef __cplusplus
extern "C" {
#endif

// Pixel format of picture regions: 32 bits a pixel, bytes blue, green, red, alpha.
#define PIX_FMT_BGRA 17

typedef int IMPRgnHandle;

typedef enum {
  OSD_REG_INV = 0,
  OSD_REG_COVER = 4,  // a rectangle filled with one colour
  OSD_REG_PIC = 5,    // a BGRA picture of the rectangle's size
} IMPOsdRgnType;

typedef struct {
  int x;
  int y;
} IMPPoint;

// Inclusive corners in the frame.
typedef struct {
  IMPPoint p0;
  IMPPoint p1;
} IMPRect;

// What a region shows: a picture's pixels, or a cover's colour (0xAARRGGBB).
typedef union {
  struct {
    void* pData;
  } picData;
  struct {
    uint32_t color;
  } coverData;
} IMPOSDRgnAttrData;

typedef struct {
  IMPOsdRgnType type;
  IMPRect rect;
  int fmt;  // PIX_FMT_BGRA for pictures
  IMPOSDRgnAttrData data;
} IMPOSDRgnAttr;

// How a group shows a registered region. Regions of a higher layer are drawn over lower ones.
// A cover is drawn with its colour's alpha scaled by fgAlhpa; a picture with its pixels' alpha,
// scaled by fgAlhpa when gAlphaEn is set.
typedef struct {
  int show;
  IMPPoint offPos;
  float scalex;
  float scaley;
  int gAlphaEn;
  int fgAlhpa;  // 0..255
  int bgAlhpa;
  int layer;
} IMPOSDGrpRgnAttr;

// Bytes of the memory pool the on-screen display takes its regions from. Call before
// IMP_System_Init. 0 on success.
int IMP_OSD_SetPoolSize(int size);

// A new region with `prAttr` (may be null: set later); its handle, or negative.
IMPRgnHandle IMP_OSD_CreateRgn(IMPOSDRgnAttr* prAttr);
// 0 on success; a region still registered in a group is refused.
int IMP_OSD_DestroyRgn(IMPRgnHandle handle);
// Type, rectangle, format and data of a region. The library keeps its own copy of a picture.
int IMP_OSD_SetRgnAttr(IMPRgnHandle handle, IMPOSDRgnAttr* prAttr);
int IMP_OSD_GetRgnAttr(IMPRgnHandle handle, IMPOSDRgnAttr* prAttr);
// New pixels (or colour) for a region while it is shown; frames drawn afterwards show them.
int IMP_OSD_UpdateRgnAttrData(IMPRgnHandle handle, IMPOSDRgnAttrData* prAttrData);

#ifdef __cplusplus
}
#endif
