#include "app/postprocess/info_bar.h"

#include <array>
#include <cstdarg>
#include <cstdio>

#include "app/config/camera_config.h"
#include "app/postprocess/bar_temperature.h"
#include "app/records/log/app_log.h"
#include "app/system/core/shell.h"
#include "app/system/core/sys_info.h"

namespace {

struct Point {
  int x;
  int y;
};

// One layout of the first brand's bar. Pairs are (24-hour, 12-hour) positions; the AM/PM
// item exists only with the 12-hour clock.
struct BarLayout {
  const char* modelLogo;
  int barY, barWidth, textY, dateX, timeX, ampmX;
  int fahrenheitX[2], celsiusX[2];
  Point moon[2];
  Point brand;
  Point modelLogoAt;
  bool codeLogo;  // the K-52 family's fourth image
};

constexpr Point kCodeLogoAt = {1829, 1050};
constexpr int kBarHeight = 48;
constexpr int kFontSize = 48;

// clang-format off
constexpr BarLayout kOrve     = {"orve.png",       1032, 1920, 1032, 20, 358, 488, {568, 648}, {785, 865}, {{1010, 1036}, {1090, 1036}}, {1581, 1037}, {1811, 1056}, false};
constexpr BarLayout kOrveS    = {"ORVE-S.png",     1032, 1920, 1032, 20, 365, 495, {575, 652}, {767, 844}, {{942, 1036},  {1018, 1036}}, {1555, 1037}, {1811, 1056}, false};
constexpr BarLayout kK52      = {"ORVE-K52.png",   1032, 1920, 1032, 20, 358, 488, {568, 648}, {785, 865}, {{1010, 1036}, {1090, 1036}}, {1415, 1037}, {1663, 1047}, true};
constexpr BarLayout kOrvePlus = {"orve-plus.png",  1032, 1920, 1032, 20, 358, 488, {568, 648}, {785, 865}, {{1010, 1036}, {1090, 1036}}, {1415, 1037}, {1663, 1050}, false};
constexpr BarLayout kOrveM    = {"orve_m.png",     1032, 1920, 1032, 20, 358, 488, {568, 648}, {785, 865}, {{1010, 1036}, {1090, 1036}}, {1540, 1037}, {1768, 1056}, false};
constexpr BarLayout kOrveMPreview = {"orve_m.png", 672,  1280, 672,  20, 298, 428, {448, 528}, {605, 685}, {{760, 676},   {840, 676}},   {900, 677},   {1128, 696},  false};
constexpr BarLayout kOrveDark = {"orvedark.png",   1032, 1920, 1032, 20, 358, 488, {568, 648}, {785, 865}, {{1010, 1036}, {1090, 1036}}, {1400, 1037}, {1670, 1050}, false};
constexpr BarLayout kOrveSDark = {"orves_dark.png", 1032, 1920, 1032, 20, 358, 488, {568, 648}, {785, 865}, {{1010, 1036}, {1090, 1036}}, {1352, 1037}, {1610, 1050}, false};
// clang-format on

constexpr int kSecondBrandModel = 6;
constexpr int kOrveMModel = 7;

// The K-52 family's model-code logo by model.
constexpr std::array<const char*, 3> kCodeLogos = {"K-52.png", "K-52C.png", "N-52.png"};

// Layout by orve_model; any model outside the table uses the ORVE layout.
constexpr std::array<const BarLayout*, 10> kLayouts = {
    &kOrve, &kOrveS, &kK52, &kK52, &kK52, &kOrvePlus, &kOrve, &kOrveM, &kOrveDark, &kOrveSDark,
};

const BarLayout& layout_of(int model, BarForm form) {
  if (model == kOrveMModel && form == BarForm::kPreview) {
    return kOrveMPreview;
  }
  return model >= 0 && model < static_cast<int>(kLayouts.size()) ? *kLayouts[model] : kOrve;
}

// Appends printf-formatted text; remembers an overflow of the command buffer.
class CommandText {
 public:
  void add(const char* format, ...) __attribute__((format(printf, 2, 3))) {
    va_list args;
    va_start(args, format);
    const int room = static_cast<int>(buffer_.size() - length_);
    const int written = vsnprintf(buffer_.data() + length_, room, format, args);
    va_end(args);
    if (written < 0 || written >= room) {
      overflow_ = true;
      return;
    }
    length_ += static_cast<std::size_t>(written);
  }
  std::string text() const { return overflow_ ? std::string() : std::string(buffer_.data()); }

 private:
  std::array<char, kOverlayCommandSize> buffer_{};
  std::size_t length_ = 0;
  bool overflow_ = false;
};

constexpr const char* kGap = "\t\t\t\t\t";

void add_input(CommandText& command, BarForm form, const char* input) {
  command.add("ffmpeg -loglevel 1 -y ");
  if (form == BarForm::kPhoto) {
    // The snapshot is named raw video: ffmpeg otherwise guesses a file's format from its
    // content before its name, and a frame whose top rows are an even bright sky (luma
    // 0xd0-0xdf) reads as GSM audio, which loses the photo.
    command.add("-f rawvideo -s %dx%d -pix_fmt nv12 -i /tmp/snap.yuv", 1920, 1080);
  } else {
    command.add("-i /tmp/%s", input);
  }
}

void add_output(CommandText& command, BarForm form, const char* input, const char* output) {
  if (form == BarForm::kPhoto) {
    command.add("\"%s-pix_fmt yuv420p /tmp/out_420p.yuv && rm /tmp/snap.yuv", kGap);
  } else {
    command.add("\"%s-frames:v 1 -s 640x360 /tmp/%s && rm /tmp/%s", kGap, output, input);
  }
}

void add_text(CommandText& command, const char* font, int size, int x, int y, const char* format,
              ...) __attribute__((format(printf, 6, 7)));
void add_text(CommandText& command, const char* font, int size, int x, int y, const char* format,
              ...) {
  char text[64];
  va_list args;
  va_start(args, format);
  vsnprintf(text, sizeof text, format, args);
  va_end(args);
  command.add(",%sdrawtext=fontfile=%s:text='%s':fontcolor=white:fontsize=%d:x=%d:y=%d", kGap, font,
              text, size, x, y);
}

void add_date(CommandText& command, const BarContent& content, const char* font, int size, int x,
              int y) {
  const CaptureTime& t = content.time;
  const int first = content.dayFirst ? t.day : t.month;
  const int second = content.dayFirst ? t.month : t.day;
  add_text(command, font, size, x, y, "%02d/%02d/%d", first, second, t.year);
}

std::string first_brand_command(BarForm form, const BarContent& content, const char* input,
                                const char* output) {
  const BarLayout& layout = layout_of(content.model, form);
  const int clock = content.twelveHour ? 1 : 0;
  const CaptureTime& t = content.time;
  CommandText command;
  add_input(command, form, input);
  command.add(" -i %s/%s -i %s/kestrova.png -i %s/%s", kOverlayDir, content.moonIcon, kOverlayDir,
              kOverlayDir, layout.modelLogo);
  if (layout.codeLogo) {
    command.add(" -i %s/%s", kOverlayDir, kCodeLogos[(content.model - 2) % kCodeLogos.size()]);
  }
  command.add("%s-filter_complex \"drawbox=x=%d:y=%d:w=%d:h=%d:c=black:t=fill", kGap, 0,
              layout.barY, layout.barWidth, kBarHeight);
  add_date(command, content, kTitleFont, kFontSize, layout.dateX, layout.textY);
  add_text(command, kTitleFont, kFontSize, layout.timeX, layout.textY, "%02d\\:%02d", t.hour,
           t.minute);
  if (content.twelveHour) {
    add_text(command, kTitleFont, kFontSize, layout.ampmX, layout.textY, "%s", t.ampm);
  }
  add_text(command, kTitleFont, kFontSize, layout.fahrenheitX[clock], layout.textY, "%d\u00b0F",
           content.fahrenheit);
  add_text(command, kTitleFont, kFontSize, layout.celsiusX[clock], layout.textY, "%d\u00b0C",
           content.celsiusValue);
  const Point images[] = {layout.moon[clock], layout.brand, layout.modelLogoAt, kCodeLogoAt};
  for (int i = 0; i < (layout.codeLogo ? 4 : 3); ++i) {
    command.add(",%soverlay=x=%d:y=%d", kGap, images[i].x, images[i].y);
  }
  add_output(command, form, input, output);
  return command.text();
}

// The second brand's bar: translucent, time with seconds, one temperature, one logo.
std::string second_brand_command(BarForm form, const BarContent& content, const char* input,
                                 const char* output) {
  constexpr int kTextY = 1032;
  constexpr int kSize = 46;
  const CaptureTime& t = content.time;
  CommandText command;
  add_input(command, form, input);
  command.add(" -i %s/%s", kOverlayDir, content.night ? "miralo_night.png" : "miralo_day.png");
  command.add("%s-filter_complex \"drawbox=x=%d:y=%d:w=%d:h=%d:c=black@0.2:t=fill", kGap, 0, 1020,
              1920, 60);
  add_date(command, content, kTextFont, kSize, 10, kTextY);
  add_text(command, kTextFont, kSize, 272, kTextY, "%02d\\:%02d\\:%02d", t.hour, t.minute,
           t.second);
  if (content.twelveHour) {
    add_text(command, kTextFont, kSize, 466, kTextY, "%s", t.ampm);
  }
  const int x = content.twelveHour ? 563 : 482;
  if (content.celsius) {
    add_text(command, kTextFont, kSize, x, kTextY, "%d\u00b0C", content.celsiusValue);
  } else {
    add_text(command, kTextFont, kSize, x, kTextY, "%d\u00b0F", content.fahrenheit);
  }
  command.add(",%soverlay=x=%d:y=%d", kGap, 1640, 1022);
  add_output(command, form, input, output);
  return command.text();
}

BarContent content_from_settings(const CaptureTime& time, const char* moonIcon, int fahrenheit,
                                 int celsius) {
  BarContent content;
  content.model = sysInfo->orve_model;
  content.twelveHour = cameraConfig->time_format == 0;
  content.dayFirst = cameraConfig->date_format == 1;
  content.celsius = cameraConfig->temperatureUnit != 0;
  content.night =
      miralo_night_logo(sysInfo->boot_reason, sysInfo->prev_ir_mode, sysInfo->day_night_val);
  content.time = time;
  content.moonIcon = moonIcon;
  content.fahrenheit = fahrenheit;
  content.celsiusValue = celsius;
  return content;
}

int run_overlay(const std::string& command) {
  if (command.empty()) {
    app_log(MOD_POSTPROCESS, LEVEL_ERR, "overlay command too long, not run");
    return -1;
  }
  return run_shell(command.c_str());
}

}  // namespace

std::string overlay_command(BarForm form, const BarContent& content, const char* input,
                            const char* output) {
  return content.model == kSecondBrandModel ? second_brand_command(form, content, input, output)
                                            : first_brand_command(form, content, input, output);
}

bool miralo_night_logo(int bootReason, int prevIrMode, int nightNow) {
  switch (bootReason) {
    case 1:
      return prevIrMode != 0;
    case 0:
      return nightNow != 0;
    default:
      return true;
  }
}

int photo_overlay(const CaptureTime& time, const char* moonIcon) {
  int fahrenheit = 0;
  int celsius = 0;
  current_temperature(&celsius, &fahrenheit);
  const BarContent content = content_from_settings(time, moonIcon, fahrenheit, celsius);
  return run_overlay(overlay_command(BarForm::kPhoto, content));
}

int preview_overlay(const CaptureTime& time, const char* moonIcon, int fahrenheit, int celsius,
                    const char* input, const char* output) {
  const BarContent content = content_from_settings(time, moonIcon, fahrenheit, celsius);
  return run_overlay(overlay_command(BarForm::kPreview, content, input, output));
}
