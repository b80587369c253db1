// Simulated on-screen display: regions, their registration in display groups, and the drawing
// of the shown regions into each NV12 frame that passes a started group on its way to the
// encoder. Covers are filled rectangles, pictures BGRA bitmaps blended by their alpha. The
// regions may change while frames are drawn: one mutex guards them, and pictures are copied
// in, so the caller may reuse its buffer at once.
#include <errno.h>
#include <string.h>

#include <algorithm>
#include <array>
#include <mutex>
#include <string_view>
#include <vector>

#include "platform/imp/host/encoder_host.h"
#include "platform/imp/host/host_media.h"
#include "platform/imp/host/osd_host.h"
#include "platform/imp/imp_osd_group.h"

namespace imp_host {

namespace {

constexpr int kMaxRegions = 64;
constexpr int kMaxGroups = 4;

struct Region {
  bool created = false;
  IMPOSDRgnAttr attr{};
  std::vector<uint8_t> pixels;  // the picture, width * height * 4 bytes
  std::array<bool, kMaxGroups> registered{};
  std::array<IMPOSDGrpRgnAttr, kMaxGroups> group{};
};

struct Display {
  std::mutex mutex;
  std::array<Region, kMaxRegions> regions;
  std::array<bool, kMaxGroups> started{};
};

Display& display() {
  static Display* instance = new Display();  // lives for the process
  return *instance;
}

int width_of(const IMPRect& r) {
  return r.p1.x - r.p0.x + 1;
}
int height_of(const IMPRect& r) {
  return r.p1.y - r.p0.y + 1;
}

Region* region_at(Display& d, IMPRgnHandle handle) {
  if (handle < 0 || handle >= kMaxRegions || !d.regions[handle].created) {
    return nullptr;
  }
  return &d.regions[handle];
}

bool valid_group(int group) {
  return group >= 0 && group < kMaxGroups;
}

// Takes the region's data: a copy of a picture's pixels, or nothing for a cover.
void take_data(Region& region) {
  const IMPOSDRgnAttr& a = region.attr;
  if (a.type == OSD_REG_PIC && a.data.picData.pData != nullptr && width_of(a.rect) > 0 &&
      height_of(a.rect) > 0) {
    const size_t bytes = static_cast<size_t>(width_of(a.rect)) * height_of(a.rect) * 4;
    const auto* from = static_cast<const uint8_t*>(a.data.picData.pData);
    region.pixels.assign(from, from + bytes);
  } else {
    region.pixels.clear();
  }
}

int valid_attr(const IMPOSDRgnAttr& a) {
  const bool type = a.type == OSD_REG_COVER || (a.type == OSD_REG_PIC && a.fmt == PIX_FMT_BGRA);
  return type && a.rect.p0.x >= 0 && a.rect.p0.y >= 0 && a.rect.p1.x >= a.rect.p0.x &&
         a.rect.p1.y >= a.rect.p0.y;
}

struct Yuv {
  int y, u, v;
};

// Studio-range BT.601, as the encoder's frames are.
Yuv yuv_of(int r, int g, int b) {
  return {16 + ((66 * r + 129 * g + 25 * b + 128) >> 8),
          128 + ((-38 * r - 74 * g + 112 * b + 128) >> 8),
          128 + ((112 * r - 94 * g - 18 * b + 128) >> 8)};
}

uint8_t blend(int under, int over, int alpha) {
  return static_cast<uint8_t>((under * (255 - alpha) + over * alpha + 127) / 255);
}

// Draws one pixel of opacity `alpha` (0..255) at (x, y); chroma is taken from the top-left
// pixel of each 2x2 block.
void put(uint8_t* nv12, int width, int height, int x, int y, Yuv c, int alpha) {
  if (alpha <= 0) {
    return;
  }
  uint8_t& luma = nv12[static_cast<size_t>(y) * width + x];
  luma = blend(luma, c.y, alpha);
  if ((x & 1) == 0 && (y & 1) == 0) {
    uint8_t* uv =
        nv12 + static_cast<size_t>(width) * height + static_cast<size_t>(y / 2) * width + x;
    uv[0] = blend(uv[0], c.u, alpha);
    uv[1] = blend(uv[1], c.v, alpha);
  }
}

void draw_region(const Region& region, const IMPOSDGrpRgnAttr& g, uint8_t* nv12, int width,
                 int height) {
  const IMPRect& r = region.attr.rect;
  const int x0 = r.p0.x + g.offPos.x;
  const int y0 = r.p0.y + g.offPos.y;
  const int w = width_of(r);
  const int h = height_of(r);
  const int xEnd = std::min(x0 + w, width);
  const int yEnd = std::min(y0 + h, height);
  const int fg = std::clamp(g.fgAlhpa, 0, 255);
  if (region.attr.type == OSD_REG_COVER) {
    const uint32_t color = region.attr.data.coverData.color;
    const Yuv c = yuv_of((color >> 16) & 0xFF, (color >> 8) & 0xFF, color & 0xFF);
    const int alpha = static_cast<int>(color >> 24) * fg / 255;
    for (int y = std::max(y0, 0); y < yEnd; ++y) {
      for (int x = std::max(x0, 0); x < xEnd; ++x) {
        put(nv12, width, height, x, y, c, alpha);
      }
    }
    return;
  }
  if (region.pixels.empty()) {
    return;
  }
  for (int y = std::max(y0, 0); y < yEnd; ++y) {
    const uint8_t* row = region.pixels.data() + static_cast<size_t>(y - y0) * w * 4;
    for (int x = std::max(x0, 0); x < xEnd; ++x) {
      const uint8_t* p = row + static_cast<size_t>(x - x0) * 4;
      const int alpha = g.gAlphaEn ? p[3] * fg / 255 : p[3];
      if (alpha > 0) {
        put(nv12, width, height, x, y, yuv_of(p[2], p[1], p[0]), alpha);
      }
    }
  }
}

}  // namespace

void draw_display_regions(int encoderGroup, uint8_t* nv12, int width, int height) {
  IMPCell source{};
  if (!bound_source(IMPCell{DEV_ID_ENC, encoderGroup, 0}, &source) ||
      source.deviceID != DEV_ID_OSD || !valid_group(source.groupID)) {
    return;
  }
  const int group = source.groupID;
  Display& d = display();
  std::lock_guard lock(d.mutex);
  if (!d.started[group]) {
    return;
  }
  std::vector<const Region*> shown;
  for (const Region& region : d.regions) {
    if (region.created && region.registered[group] && region.group[group].show) {
      shown.push_back(&region);
    }
  }
  std::stable_sort(shown.begin(), shown.end(), [group](const Region* a, const Region* b) {
    return a->group[group].layer < b->group[group].layer;
  });
  for (const Region* region : shown) {
    draw_region(*region, region->group[group], nv12, width, height);
  }
}

void forget_display_group(int group) {
  if (!valid_group(group)) {
    return;
  }
  Display& d = display();
  std::lock_guard lock(d.mutex);
  d.started[group] = false;
  for (Region& region : d.regions) {
    region.registered[group] = false;
  }
}

void reset_display() {
  Display& d = display();
  std::lock_guard lock(d.mutex);
  d.regions = {};
  d.started = {};
}

}  // namespace imp_host

using imp_host::display;
using imp_host::fail;
using imp_host::injected;
using imp_host::Region;
using imp_host::region_at;
using imp_host::valid_group;

IMPRgnHandle IMP_OSD_CreateRgn(IMPOSDRgnAttr* prAttr) {
  if (injected("IMP_OSD_CreateRgn")) {
    return fail(EIO);
  }
  if (prAttr != nullptr && !imp_host::valid_attr(*prAttr)) {
    return fail(EINVAL);
  }
  imp_host::Display& d = display();
  std::lock_guard lock(d.mutex);
  for (int handle = 0; handle < imp_host::kMaxRegions; ++handle) {
    Region& region = d.regions[handle];
    if (!region.created) {
      region = Region{};
      region.created = true;
      if (prAttr != nullptr) {
        region.attr = *prAttr;
        imp_host::take_data(region);
      }
      return handle;
    }
  }
  return fail(ENOMEM);
}

int IMP_OSD_DestroyRgn(IMPRgnHandle handle) {
  if (injected("IMP_OSD_DestroyRgn")) {
    return fail(EIO);
  }
  imp_host::Display& d = display();
  std::lock_guard lock(d.mutex);
  Region* region = region_at(d, handle);
  if (region == nullptr) {
    return fail(EINVAL);
  }
  for (bool registered : region->registered) {
    if (registered) {
      return fail(EBUSY);
    }
  }
  *region = Region{};
  return 0;
}

int IMP_OSD_SetRgnAttr(IMPRgnHandle handle, IMPOSDRgnAttr* prAttr) {
  if (injected("IMP_OSD_SetRgnAttr")) {
    return fail(EIO);
  }
  if (prAttr == nullptr || !imp_host::valid_attr(*prAttr)) {
    return fail(EINVAL);
  }
  imp_host::Display& d = display();
  std::lock_guard lock(d.mutex);
  Region* region = region_at(d, handle);
  if (region == nullptr) {
    return fail(EINVAL);
  }
  region->attr = *prAttr;
  imp_host::take_data(*region);
  return 0;
}

int IMP_OSD_GetRgnAttr(IMPRgnHandle handle, IMPOSDRgnAttr* prAttr) {
  imp_host::Display& d = display();
  std::lock_guard lock(d.mutex);
  Region* region = region_at(d, handle);
  if (region == nullptr || prAttr == nullptr) {
    return fail(EINVAL);
  }
  *prAttr = region->attr;
  return 0;
}

int IMP_OSD_UpdateRgnAttrData(IMPRgnHandle handle, IMPOSDRgnAttrData* prAttrData) {
  if (injected("IMP_OSD_UpdateRgnAttrData")) {
    return fail(EIO);
  }
  imp_host::Display& d = display();
  std::lock_guard lock(d.mutex);
  Region* region = region_at(d, handle);
  if (region == nullptr || prAttrData == nullptr || region->attr.type == OSD_REG_INV) {
    return fail(EINVAL);
  }
  region->attr.data = *prAttrData;
  imp_host::take_data(*region);
  return 0;
}

int IMP_OSD_RegisterRgn(IMPRgnHandle handle, int grpNum, IMPOSDGrpRgnAttr* pgrAttr) {
  if (injected("IMP_OSD_RegisterRgn")) {
    return fail(EIO);
  }
  if (!valid_group(grpNum) || !imp_host::display_group_exists(grpNum)) {
    return fail(EINVAL);
  }
  imp_host::Display& d = display();
  std::lock_guard lock(d.mutex);
  Region* region = region_at(d, handle);
  if (region == nullptr || region->registered[grpNum]) {
    return fail(region == nullptr ? EINVAL : EBUSY);
  }
  region->registered[grpNum] = true;
  IMPOSDGrpRgnAttr attr{};
  attr.scalex = 1;
  attr.scaley = 1;
  attr.fgAlhpa = 255;
  region->group[grpNum] = pgrAttr != nullptr ? *pgrAttr : attr;
  region->group[grpNum].show = 0;
  return 0;
}

int IMP_OSD_UnRegisterRgn(IMPRgnHandle handle, int grpNum) {
  if (injected("IMP_OSD_UnRegisterRgn")) {
    return fail(EIO);
  }
  imp_host::Display& d = display();
  std::lock_guard lock(d.mutex);
  Region* region = region_at(d, handle);
  if (region == nullptr || !valid_group(grpNum) || !region->registered[grpNum]) {
    return fail(EINVAL);
  }
  region->registered[grpNum] = false;
  return 0;
}

namespace {

// The group attributes of a region registered in `grpNum`, or null. Call with the mutex held.
IMPOSDGrpRgnAttr* group_attr(imp_host::Display& d, IMPRgnHandle handle, int grpNum) {
  Region* region = region_at(d, handle);
  if (region == nullptr || !valid_group(grpNum) || !region->registered[grpNum]) {
    return nullptr;
  }
  return &region->group[grpNum];
}

}  // namespace

int IMP_OSD_GetGrpRgnAttr(IMPRgnHandle handle, int grpNum, IMPOSDGrpRgnAttr* pgrAttr) {
  if (injected("IMP_OSD_GetGrpRgnAttr")) {
    return fail(EIO);
  }
  imp_host::Display& d = display();
  std::lock_guard lock(d.mutex);
  IMPOSDGrpRgnAttr* attr = group_attr(d, handle, grpNum);
  if (attr == nullptr || pgrAttr == nullptr) {
    return fail(EINVAL);
  }
  *pgrAttr = *attr;
  return 0;
}

int IMP_OSD_SetGrpRgnAttr(IMPRgnHandle handle, int grpNum, IMPOSDGrpRgnAttr* pgrAttr) {
  if (injected("IMP_OSD_SetGrpRgnAttr")) {
    return fail(EIO);
  }
  imp_host::Display& d = display();
  std::lock_guard lock(d.mutex);
  IMPOSDGrpRgnAttr* attr = group_attr(d, handle, grpNum);
  if (attr == nullptr || pgrAttr == nullptr) {
    return fail(EINVAL);
  }
  *attr = *pgrAttr;
  return 0;
}

int IMP_OSD_ShowRgn(IMPRgnHandle handle, int grpNum, int showFlag) {
  if (injected("IMP_OSD_ShowRgn")) {
    return fail(EIO);
  }
  imp_host::Display& d = display();
  std::lock_guard lock(d.mutex);
  IMPOSDGrpRgnAttr* attr = group_attr(d, handle, grpNum);
  if (attr == nullptr) {
    return fail(EINVAL);
  }
  attr->show = showFlag != 0 ? 1 : 0;
  return 0;
}

int IMP_OSD_Start(int grpNum) {
  if (injected("IMP_OSD_Start")) {
    return fail(EIO);
  }
  if (!valid_group(grpNum) || !imp_host::display_group_exists(grpNum)) {
    return fail(EINVAL);
  }
  imp_host::Display& d = display();
  std::lock_guard lock(d.mutex);
  d.started[grpNum] = true;
  return 0;
}

int IMP_OSD_Stop(int grpNum) {
  if (!valid_group(grpNum)) {
    return fail(EINVAL);
  }
  imp_host::Display& d = display();
  std::lock_guard lock(d.mutex);
  d.started[grpNum] = false;
  return 0;
}
