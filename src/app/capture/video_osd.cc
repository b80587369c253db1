#include "app/capture/video_osd.h"

#include <pthread.h>

#include <algorithm>
#include <cstdio>
#include <cstdlib>
#include <cstring>
#include <ctime>
#include <vector>

#include "app/capture/capture_flags.h"
#include "app/capture/osd_assets.h"
#include "app/capture/video_capture.h"
#include "app/config/camera_config.h"
#include "app/postprocess/bar_temperature.h"
#include "app/postprocess/capture_time.h"
#include "app/records/log/app_log.h"
#include "app/system/core/sys_info.h"
#include "app/system/os/os.h"

OsdClock osdClock;

namespace {

constexpr uint32_t kStepUs = 10 * 1000;
constexpr int kStepsPerSecond = 100;
// The pass that follows this key frame no longer waits for the recording (the last second
// of a default 15-second video).
constexpr int kLastPacedKeyFrame = 14;
constexpr uint32_t kBandColor = 0xFF000000;
constexpr int kTextLayer = 3;
constexpr int kLogoLayer = 2;

// The regions of the bar, in the order they are created and registered.
enum Role { kDate, kTime, kMeridiem, kFahrenheit, kCelsius, kCover, kLogo, kLogo1, kMoon, kLogo3 };
constexpr int kRoleCount = 10;

// How each step's messages name a region.
struct RoleNames {
  const char* create;
  const char* registered;
  const char* attr;
  const char* show;
  const char* close;
  const char* unregister;
};

constexpr RoleNames kNames[kRoleCount] = {
    {"Date", "Date", "Date", "Date", "date", "Date"},
    {"Time", "Time", "Time", "Time", "time", "Time"},
    {"Meridiem", "Meridiem", "Meridiem", "Meridiem", "meridiem", "Meridiem"},
    {"Farenheit", "Farenheit", "Farenheit", "Farenheit", "Farenheit", "Farenheit"},
    {"Celcius", "Celcius", "Celcius", "Celcius", "Celcius", "Celcius"},
    {"Cover", "Infobar", "Cover", "Infobar", "infobar", "Infobar"},
    {"Logo:KESTROVA", "logo", "Logo", "Logo", "logo", "Logo"},
    {"Logo1:ORVE", "logo1", "Logo1", "Logo1", "logo1", "Logo1"},
    {"Logo2:Moon symbol", "logo2", "Logo2", "Logo2", "moon", "Logo2"},
    {"Logo3:K-52 ", "logo3", "Logo3", "K-52", "k-52", "k-52"},
};

constexpr Role kAllRoles[] = {kDate,  kTime, kMeridiem, kFahrenheit, kCelsius,
                              kCover, kLogo, kLogo1,    kMoon,       kLogo3};
// Model 6: one temperature region, no family, moon or model-code logo.
constexpr Role kModel6Roles[] = {kDate, kTime, kMeridiem, kFahrenheit, kCover, kLogo};
constexpr Role kShowOrder[] = {kDate, kLogo,     kCover,      kLogo1,   kMoon,
                               kTime, kMeridiem, kFahrenheit, kCelsius, kLogo3};
constexpr Role kExitOrder[] = {kLogo3, kCelsius, kMeridiem, kFahrenheit, kDate,
                               kTime,  kCover,   kLogo,     kLogo1,      kMoon};

struct TextSize {
  int width, height;
};
// Buffers of the text regions by kind (date, time, meridiem, temperature).
constexpr TextSize kTextSizes[4] = {{320, 48}, {160, 48}, {68, 48}, {160, 48}};
constexpr TextSize kModel6TextSizes[4] = {{380, 46}, {342, 46}, {76, 46}, {190, 46}};

// What osd_init set up for the time thread and the teardown. One recording at a time.
struct OsdState {
  IMPRgnHandle* regions = nullptr;
  int group = 0;
  bool model6 = false;
  bool twelveHour = false;
  bool celsiusOnly = false;  // model 6 shows Celsius in its one temperature region
  std::vector<uint8_t> text[4];
};
OsdState g_osd;

int slot_of(Role role) {
  if (!g_osd.model6) {
    return role;
  }
  for (int i = 0; i < static_cast<int>(std::size(kModel6Roles)); ++i) {
    if (kModel6Roles[i] == role) {
      return i;
    }
  }
  return -1;
}

TextSize text_size(int kind) {
  return (g_osd.model6 ? kModel6TextSizes : kTextSizes)[kind - 1];
}

std::vector<uint8_t>& text_buffer(int kind) {
  return g_osd.text[kind - 1];
}

struct Placement {
  IMPOSDRgnAttr attr{};
  bool text = false;
};

Placement placement_of(Role role, const OsdModel& model) {
  const OsdLayout& l = *model.layout;
  const bool twelve = g_osd.twelveHour;
  Placement p;
  p.attr.type = OSD_REG_PIC;
  p.attr.fmt = PIX_FMT_BGRA;
  auto text = [&](IMPRect where, int kind) {
    p.attr.rect = where;
    p.attr.data.picData.pData = text_buffer(kind).data();
    p.text = true;
  };
  auto logo = [&](const OsdLogo& which) {
    p.attr.rect = which.rect;
    p.attr.data.picData.pData = const_cast<uint8_t*>(logo_bitmap(which));
  };
  switch (role) {
    case kDate:
      text(l.date, kTextDate);
      break;
    case kTime:
      text(l.time, kTextTime);
      break;
    case kMeridiem:
      text(l.meridiem, kTextMeridiem);
      break;
    case kFahrenheit:
      text(twelve ? l.fahrenheit12 : l.fahrenheit24, kTextTemperature);
      break;
    case kCelsius:
      text(twelve ? l.celsius12 : l.celsius24, kTextTemperature);
      break;
    case kCover:
      p.attr.type = OSD_REG_COVER;
      p.attr.rect = l.band;
      p.attr.data.coverData.color = kBandColor;
      break;
    case kLogo:
      logo(model.brand);
      break;
    case kLogo1:
      logo(model.family);
      break;
    case kMoon:
      p.attr.rect = twelve ? l.moon12 : l.moon24;
      p.attr.data.picData.pData = nullptr;  // the time thread draws the phase
      break;
    case kLogo3:
      logo(model.code);
      break;
  }
  return p;
}

void fill_group_attr(Role role, bool text, IMPOSDGrpRgnAttr* g) {
  g->show = 0;
  if (text) {
    g->layer = kTextLayer;
  } else if (role == kCover) {
    g->layer = kLogoLayer;
    g->gAlphaEn = g_osd.model6 ? 1 : 0;
    g->fgAlhpa = g_osd.model6 ? 63 : 127;
  } else {
    g->layer = kLogoLayer;
    g->gAlphaEn = 1;
    g->fgAlhpa = 255;
  }
}

bool night_logo() {
  return (sysInfo->boot_reason == 1 && sysInfo->prev_ir_mode != 0) ||
         (sysInfo->boot_reason == 0 && sysInfo->day_night_val != 0);
}

// A 10 ms step at a time, so the thread ends soon after the recording.
void pause_steps(int steps) {
  for (int i = 0; i < steps && !videoDone; ++i) {
    os_sleep_us(kStepUs);
  }
}

int update(Role role, void* data) {
  const int slot = slot_of(role);
  if (slot < 0) {
    return 0;
  }
  IMPOSDRgnAttrData d{};
  d.picData.pData = data;
  return IMP_OSD_UpdateRgnAttrData(g_osd.regions[slot], &d);
}

}  // namespace

void render_text(const char* text, uint8_t* buffer, int kind) {
  if (kind < kTextDate || kind > kTextTemperature || buffer == nullptr) {
    return;
  }
  const Font& font = osd_font(g_osd.model6);
  const TextSize size = text_size(kind);
  const int rows = std::min(font.rows, size.height);
  int x = 0;
  for (const char* c = text; *c != '\0'; ++c) {
    const auto code = static_cast<unsigned char>(*c);
    if (code < ' ' || code > '~' || font.glyphs[code].bitmap == nullptr) {
      continue;
    }
    const Glyph& glyph = font.glyphs[code];
    const int columns = std::min(glyph.width, size.width - x);
    if (columns <= 0) {
      break;
    }
    for (int row = 0; row < rows; ++row) {
      std::memcpy(buffer + (static_cast<size_t>(row) * size.width + x) * 4,
                  glyph.bitmap + static_cast<size_t>(row) * glyph.width * 4,
                  static_cast<size_t>(columns) * 4);
    }
    x += glyph.width;
  }
}

IMPRgnHandle* osd_init(int group) {
  const int modelNumber = sysInfo->orve_model;
  g_osd.model6 = modelNumber == 6;
  g_osd.twelveHour = cameraConfig->time_format == 0;
  g_osd.celsiusOnly = g_osd.model6 && cameraConfig->temperatureUnit != 0;
  g_osd.group = group;
  const Role* roles = g_osd.model6 ? kModel6Roles : kAllRoles;
  const int count = g_osd.model6 ? static_cast<int>(std::size(kModel6Roles)) : kRoleCount;

  auto* regions = static_cast<IMPRgnHandle*>(malloc(sizeof(IMPRgnHandle) * count));
  if (regions == nullptr) {
    app_log(MOD_VID_ENC, LEVEL_ERR, "malloc() error !");
    return nullptr;
  }
  for (int kind = kTextDate; kind <= kTextTemperature; ++kind) {
    const TextSize size = text_size(kind);
    text_buffer(kind).assign(static_cast<size_t>(size.width) * size.height * 4, 0);
  }

  const OsdModel model = osd_model(modelNumber, g_osd.model6 && night_logo());
  for (const OsdLogo* logo : {&model.brand, &model.family, &model.code}) {
    if (logo->logLine != nullptr) {
      app_log(MOD_VID_ENC, LEVEL_INFO, "%s", logo->logLine);
    }
  }

  auto give_up = [&]() -> IMPRgnHandle* {
    free(regions);
    return nullptr;
  };
  for (int i = 0; i < count; ++i) {
    regions[i] = IMP_OSD_CreateRgn(nullptr);
    if (regions[i] < 0) {
      app_log(MOD_VID_ENC, LEVEL_ERR, "IMP_OSD_CreateRgn %s error !", kNames[roles[i]].create);
      return give_up();
    }
  }
  for (int i = 0; i < count; ++i) {
    if (IMP_OSD_RegisterRgn(regions[i], group, nullptr) != 0) {
      app_log(MOD_VID_ENC, LEVEL_ERR, "IVS IMP_OSD_RegisterRgn %s failed",
              kNames[roles[i]].registered);
      return give_up();
    }
  }
  for (int i = 0; i < count; ++i) {
    const Role role = roles[i];
    Placement p = placement_of(role, model);
    const char* name = kNames[role].attr;
    if (IMP_OSD_SetRgnAttr(regions[i], &p.attr) != 0) {
      app_log(MOD_VID_ENC, LEVEL_ERR, "IMP_OSD_SetRgnAttr %s error !", name);
      return give_up();
    }
    IMPOSDGrpRgnAttr g{};
    if (IMP_OSD_GetGrpRgnAttr(regions[i], group, &g) != 0) {
      app_log(MOD_VID_ENC, LEVEL_ERR, "IMP_OSD_GetGrpRgnAttr %s error !", name);
      return give_up();
    }
    fill_group_attr(role, p.text, &g);
    if (IMP_OSD_SetGrpRgnAttr(regions[i], group, &g) != 0) {
      app_log(MOD_VID_ENC, LEVEL_ERR, "IMP_OSD_SetGrpRgnAttr %s error !", name);
      return give_up();
    }
  }
  if (IMP_OSD_Start(group) != 0) {
    app_log(MOD_VID_ENC, LEVEL_ERR, "IMP_OSD_Start TimeStamp, Logo, Cover and Rect error !");
    return give_up();
  }
  g_osd.regions = regions;
  return regions;
}

int osd_exit(IMPRgnHandle* regions, int group) {
  if (regions != nullptr) {
    for (Role role : kExitOrder) {
      const int slot = slot_of(role);
      if (slot < 0) {
        continue;
      }
      const RoleNames& names = kNames[role];
      if (IMP_OSD_ShowRgn(regions[slot], group, 0) != 0) {
        app_log(MOD_VID_ENC, LEVEL_ERR, "IMP_OSD_ShowRgn close %s data error", names.close);
        return -1;
      }
      if (IMP_OSD_UnRegisterRgn(regions[slot], group) != 0) {
        app_log(MOD_VID_ENC, LEVEL_ERR, "IMP_OSD_UnRegisterRgn %s error", names.unregister);
        return -1;
      }
      if (IMP_OSD_DestroyRgn(regions[slot]) != 0) {
        app_log(MOD_VID_ENC, LEVEL_ERR, "IMP_OSD_DestroyRgn %s error", names.unregister);
        return -1;
      }
    }
  }
  if (IMP_OSD_DestroyGroup(group) != 0) {
    app_log(MOD_VID_ENC, LEVEL_ERR, "IMP_OSD_DestroyGroup(%d) error !", group);
    return -1;
  }
  if (g_osd.regions == regions) {
    g_osd.regions = nullptr;
  }
  free(regions);
  return 0;
}

void* time_update_thread(void*) {
  IMPRgnHandle* regions = g_osd.regions;
  if (regions == nullptr) {
    return nullptr;
  }
  for (Role role : kShowOrder) {
    const int slot = slot_of(role);
    if (slot >= 0 && IMP_OSD_ShowRgn(regions[slot], g_osd.group, 1) != 0) {
      app_log(MOD_VID_ENC, LEVEL_ERR, "IMP_OSD_ShowRgn() %s error", kNames[role].show);
      return nullptr;
    }
  }
  if (int err = pthread_setcancelstate(PTHREAD_CANCEL_ENABLE, nullptr); err != 0) {
    app_log(MOD_VID_ENC, LEVEL_ERR, "pthread_setcancelstate failed : errno :%d", err);
  }
  if (int err = pthread_setcanceltype(PTHREAD_CANCEL_DEFERRED, nullptr); err != 0) {
    app_log(MOD_VID_ENC, LEVEL_ERR, "pthread_setcanceltype failed : errno :%d", err);
  }

  char meridiem[4] = {};
  for (int pass = 1; !videoDone; ++pass) {
    for (std::vector<uint8_t>& buffer : g_osd.text) {
      std::fill(buffer.begin(), buffer.end(), 0);
    }
    std::memset(meridiem, 0, sizeof meridiem);

    CaptureTime t;
    {
      SemLock lock(&sysInfoLock);
      t = get_osd_time(OsdTimeSource::kNow);
      osdClock.hour = t.hour;
      osdClock.minute = t.minute;
      osdClock.second = t.second;
      osdClock.year = t.year;
      osdClock.month = t.month;
      osdClock.day = t.day;
      std::memcpy(osdClock.ampm, t.ampm, sizeof osdClock.ampm);
      std::memcpy(meridiem, t.ampm, sizeof meridiem);
    }

    char date[16];
    char time[16];
    char fahrenheit[16];
    char celsius[16];
    const bool monthFirst = cameraConfig->date_format == 0;
    snprintf(date, sizeof date, "%02d/%02d/%04d", monthFirst ? t.month : t.day,
             monthFirst ? t.day : t.month, t.year);
    if (g_osd.model6) {
      snprintf(time, sizeof time, "%02d:%02d:%02d", t.hour, t.minute, t.second);
    } else {
      snprintf(time, sizeof time, "%02d:%02d", t.hour, t.minute);
    }
    int c = 0;
    int f = 0;
    current_temperature(&c, &f);
    snprintf(fahrenheit, sizeof fahrenheit, "%d~F", f);
    snprintf(celsius, sizeof celsius, "%d~C", c);

    render_text(time, text_buffer(kTextTime).data(), kTextTime);
    render_text(date, text_buffer(kTextDate).data(), kTextDate);
    if (g_osd.twelveHour) {
      render_text(meridiem, text_buffer(kTextMeridiem).data(), kTextMeridiem);
    }
    // Model 6 draws its one temperature region from the configured unit; the others draw
    // Celsius into a buffer of their own at update time.
    render_text(g_osd.celsiusOnly ? celsius : fahrenheit, text_buffer(kTextTemperature).data(),
                kTextTemperature);

    const uint8_t* moon = nullptr;
    if (!g_osd.model6) {
      const int phase = moon_phase(t.year, t.month, t.day);
      moonPhase = static_cast<uint32_t>(phase);
      moon = moon_bitmap(phase);
    }

    if (sysInfo->rtcValid) {
      update(kDate, text_buffer(kTextDate).data());
      if (moon != nullptr) {
        update(kMoon, const_cast<uint8_t*>(moon));
      }
      update(kTime, text_buffer(kTextTime).data());
      if (g_osd.twelveHour) {
        update(kMeridiem, text_buffer(kTextMeridiem).data());
      }
      update(kFahrenheit, text_buffer(kTextTemperature).data());
      if (!g_osd.model6) {
        // The library copies the region's pixels, so the buffer takes Celsius next.
        std::vector<uint8_t>& buffer = text_buffer(kTextTemperature);
        std::fill(buffer.begin(), buffer.end(), 0);
        render_text(celsius, buffer.data(), kTextTemperature);
        update(kCelsius, buffer.data());
      }
    } else {
      for (PreviewStamp& stamp : videoShared.previews) {
        stamp.stored = 0;
      }
      os_sleep_us(kStepUs);
    }

    // One pass per second of video: wait for the recording's key frames to catch up, except
    // before the first and after the last the recording paces.
    const int keyFrames = videoShared.gopIndex;
    if (keyFrames == 0 || keyFrames > kLastPacedKeyFrame) {
      pause_steps(kStepsPerSecond);
    } else {
      while (videoShared.gopIndex < pass && !videoDone) {
        os_sleep_us(kStepUs);
      }
    }
  }
  return nullptr;
}
