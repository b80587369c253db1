// The information bar along the bottom of every photo and video preview frame: date, time,
// temperature, moon phase and logos, drawn by ffmpeg from a command built per camera model.
#pragma once

#include <string>

#include "app/postprocess/capture_time.h"

inline constexpr const char* kOverlayDir = "/system/opt/overlay";
inline constexpr const char* kTitleFont = "/system/opt/fonts/oswald.bold.ttf";
inline constexpr const char* kTextFont = "/system/opt/fonts/liberation-sans.regular.ttf";
inline constexpr std::size_t kOverlayCommandSize = 1200;

// Photo: /tmp/snap.yuv (1920x1080 NV12) becomes /tmp/out_420p.yuv (planar 4:2:0).
// Preview: one frame of a stream file in /tmp becomes a 640x360 JPEG in /tmp.
enum class BarForm { kPhoto, kPreview };

// What the bar shows, with the settings that place it.
struct BarContent {
  int model = 0;            // orve_model
  bool twelveHour = false;  // configuration time_format 0: AM/PM item
  bool dayFirst = false;    // configuration date_format 1
  bool celsius = false;     // second brand: configuration temperatureUnit nonzero
  bool night = false;       // second brand: the night logo
  CaptureTime time;
  const char* moonIcon = "new_moon.png";
  int fahrenheit = 0;
  int celsiusValue = 0;
};

// The ffmpeg command drawing the bar; `input` and `output` are the file names in /tmp of
// the preview form (unused by the photo form). Empty when the command would not fit the
// command buffer.
std::string overlay_command(BarForm form, const BarContent& content, const char* input = "",
                            const char* output = "");

// The second brand's logo by the wake-up reason and the IR mode: night when the previous run
// (on a PIR wake-up) or the current day/night reading (otherwise) says night.
bool miralo_night_logo(int bootReason, int prevIrMode, int nightNow);

// Draws the bar on the photo frame with the current configuration, model and temperature.
// Returns the shell runner's result.
int photo_overlay(const CaptureTime& time, const char* moonIcon);

// Draws the bar on one frame of /tmp/`input` into /tmp/`output`, with the temperatures
// recorded with the video.
int preview_overlay(const CaptureTime& time, const char* moonIcon, int fahrenheit, int celsius,
                    const char* input, const char* output);
