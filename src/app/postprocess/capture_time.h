// The capture's local date and time as the information bar and the EXIF data show it, and
// the moon phase of a date.
#pragma once

#include <ctime>

struct CaptureTime {
  int year = 0;
  int month = 0;
  int day = 0;
  int hour = 0;  // 1..12 with the 12-hour clock (configuration time_format 0), else 0..23
  int minute = 0;
  int second = 0;
  char ampm[4] = {};  // "AM" or "PM"
};

// Breaks `when` down in local time; with the 12-hour clock hours 13..23 become 1..11.
CaptureTime capture_time_of(std::time_t when, bool twelveHour);

// Where the local-time routine takes its time from.
enum class OsdTimeSource {
  kNow,           // a video: the bar and the capture time follow the clock
  kCaptureEpoch,  // a photo: the time of the capture (rtcEpoch) less the burst's shots still
                  // to come (they are one second apart), or now when it is unknown
};

// The local date and time from `source`, stored as the capture time of the EXIF data (under
// configLock) and returned.
CaptureTime get_osd_time(OsdTimeSource source);

// 0 new moon, 1 waxing crescent, 2 first quarter, 3 waxing gibbous, 4 full moon,
// 5 waning gibbous, 6 last quarter, 7 waning crescent.
int moon_phase(int year, int month, int day);

// The overlay picture of a phase; new moon for any value outside 0..7.
const char* moon_icon(int phase);

// The hour of a capture time on the 24-hour clock: with the 12-hour clock "PM" adds 12
// (except to 12) and "AM" 12 is 0.
int hour_24(int hour, const char* ampm, bool twelveHour);
