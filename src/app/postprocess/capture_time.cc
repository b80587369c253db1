#include "app/postprocess/capture_time.h"

#include <array>
#include <cmath>
#include <cstring>

#include "app/config/camera_config.h"
#include "app/postprocess/photo_pipeline.h"
#include "app/system/core/sys_info.h"

namespace {

constexpr std::array<const char*, 8> kMoonIcons = {
    "new_moon.png",  "waxing_crescent.png", "first_quarter.png", "waxing_gibbous.png",
    "full_moon.png", "waning_gibbous.png",  "last_quarter.png",  "waning_crescent.png",
};

}  // namespace

CaptureTime capture_time_of(std::time_t when, bool twelveHour) {
  std::tm local{};
  localtime_r(&when, &local);
  CaptureTime time;
  time.year = local.tm_year + 1900;
  time.month = local.tm_mon + 1;
  time.day = local.tm_mday;
  time.hour = local.tm_hour;
  time.minute = local.tm_min;
  time.second = local.tm_sec;
  std::strftime(time.ampm, sizeof time.ampm, "%p", &local);
  if (twelveHour && time.hour > 12) {
    time.hour -= 12;
  }
  return time;
}

CaptureTime get_osd_time(OsdTimeSource source) {
  const std::time_t captured =
      source == OsdTimeSource::kCaptureEpoch ? cameraConfig->rtcEpoch.load() : 0;
  const std::time_t when =
      captured > 0 ? captured - photoHandover.multishotRemaining.load() : std::time(nullptr);
  const CaptureTime time = capture_time_of(when, cameraConfig->time_format == 0);
  SemLock lock(&configLock);
  CaptureInfo& info = cameraConfig->captureInfo;
  info.year = time.year;
  info.month = time.month;
  info.day = time.day;
  info.hour = time.hour;
  info.minute = time.minute;
  info.second = time.second;
  std::memcpy(info.ampm, time.ampm, sizeof info.ampm);
  return time;
}

int moon_phase(int year, int month, int day) {
  double y = year;
  double m = month;
  if (m < 3) {
    y -= 1;
    m += 12;
  }
  m += 1;
  double jd = std::trunc(365.25 * y) + std::trunc(30.6 * m) + day - 694039.09;
  jd /= 29.53;
  const double fraction = jd - std::trunc(jd);
  return static_cast<int>(std::trunc(fraction * 8 + 0.5)) & 7;
}

const char* moon_icon(int phase) {
  return phase >= 0 && phase < static_cast<int>(kMoonIcons.size()) ? kMoonIcons[phase]
                                                                   : kMoonIcons[0];
}

int hour_24(int hour, const char* ampm, bool twelveHour) {
  if (!twelveHour) {
    return hour;
  }
  if (std::strcmp(ampm, "PM") == 0 && hour != 12) {
    return hour + 12;
  }
  if (std::strcmp(ampm, "AM") == 0 && hour == 12) {
    return 0;
  }
  return hour;
}
