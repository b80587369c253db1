#include "app/postprocess/exif_tag.h"

#include <array>
#include <cstdio>
#include <cstring>

#include "app/config/camera_config.h"
#include "app/postprocess/photo_pipeline.h"
#include "app/records/boot_tags.h"
#include "app/system/core/shell.h"
#include "app/system/core/sys_info.h"

namespace {

constexpr const char* kMaker = "KESTROVA Camera";
// Maker and model by orve_model; any model outside the table is an ORVE.
constexpr std::array<ExifIdentity, 10> kIdentities = {{
    {kMaker, "ORVE"},
    {kMaker, "ORVE-S"},
    {kMaker, "ORVE K-52"},
    {kMaker, "ORVE K-52C"},
    {kMaker, "ORVE N-52"},
    {kMaker, "ORVE-PLUS"},
    {"MIRALO Camera", "RLT"},
    {kMaker, "ORVE-M"},
    {kMaker, "ORVE"},
    {kMaker, "ORVE"},
}};

constexpr int kFNumber = 2;
constexpr int kFocalLengthTenths = 63;
constexpr int kFocalLength35mm = 44;

template <std::size_t N>
void copy_text(char (&field)[N], const char* text) {
  std::snprintf(field, N, "%s", text);
}

// Flash, infrared and the mode text by day or night, into the capture information block.
void set_lighting(CaptureInfo& info) {
  const bool night = is_night();
  info.flash = night ? 1 : 0;
  info.infrared = night ? 1 : 0;
  copy_text(info.infraredMode, night ? "Night" : "Day");
}

}  // namespace

ExifIdentity exif_identity(int orveModel) {
  return orveModel >= 0 && orveModel < static_cast<int>(kIdentities.size()) ? kIdentities[orveModel]
                                                                            : kIdentities[0];
}

Sequence burst_sequence(int count, int remaining) {
  if (count < 1 || count > 3) {
    return {1, 1};
  }
  return {count + 1 - remaining, count};
}

bool is_night() {
  return sysInfo->prev_ir_mode == 1 || sysInfo->day_night_val == 1;
}

std::string exif_photo_command(int height, int width, const char* path) {
  CaptureInfo& info = cameraConfig->captureInfo;
  {
    SemLock lock(&configLock);
    const ExifIdentity identity = exif_identity(sysInfo->orve_model);
    copy_text(info.make, identity.make);
    copy_text(info.model, identity.model);
    info.fNumber = kFNumber;
    set_lighting(info);
    info.focalLength = kFocalLengthTenths;
    info.focalLengthIn35mmFilm = kFocalLength35mm;
    info.exposureMode = bootTags.exp_reuse ? 1 : 0;
    const Sequence sequence =
        burst_sequence(sysInfo->multishotCount, photoHandover.multishotRemaining);
    info.sequenceIndex = static_cast<uint16_t>(sequence.index);
    info.sequenceCount = static_cast<uint16_t>(sequence.count);
  }
  const int hour = hour_24(info.hour, info.ampm, cameraConfig->time_format == 0);
  char command[kShellCommandSize];
  const int length = std::snprintf(
      command, sizeof command,
      "exiv2 -M\"set Exif.Image.Make %s\" -M\"set Exif.Image.Model %s\" -M\"set "
      "Exif.Photo.DateTimeOriginal %d:%02d:%02d %02d:%02d:%02d\" -M\"set Exif.Photo.ExposureTime "
      "%d/1000000\" -M\"set Exif.Photo.FNumber F%d\" -M\"set Exif.Photo.Flash %u\" -M\"set "
      "Exif.Photo.FocalLength %d/10\" -M\"set Exif.Photo.FocalLengthIn35mmFilm %d\" -M\"set "
      "Exif.Photo.ExposureMode %d\" -M\"set Exif.Photo.WhiteBalance %d\" -M\"set "
      "Exif.Image.ImageLength %d\" -M\"set Exif.Image.ImageWidth %d\" %s; exiv2 -M\"set "
      "Exif.Photo.UserComment "
      "{\\\"Infrared\\\":%d,\\\"InfraredMode\\\":\\\"%s\\\",\\\"Sequence\\\":\\\"%d/%d\\\"}\" %s",
      info.make, info.model, info.year.load(), info.month.load(), info.day.load(), hour,
      info.minute.load(), info.second.load(), info.exifExposureTime.load(), info.fNumber.load(),
      static_cast<unsigned>(info.flash), info.focalLength.load(), info.focalLengthIn35mmFilm.load(),
      info.exposureMode.load(), info.exifWhiteBalance.load(), height, width, path,
      info.infrared.load(), info.infraredMode, static_cast<int>(info.sequenceIndex),
      static_cast<int>(info.sequenceCount), path);
  if (length < 0 || static_cast<std::size_t>(length) >= sizeof command) {
    return std::string();
  }
  return command;
}

int exif_tag_photo(int height, int width, const char* path) {
  const std::string command = exif_photo_command(height, width, path);
  return command.empty() ? -1 : run_shell(command.c_str());
}

int exif_tag_preview(const char* path, const CaptureTime& firstFrames,
                     const CaptureTime& lastFrame) {
  CaptureInfo& info = cameraConfig->captureInfo;
  {
    SemLock lock(&configLock);
    set_lighting(info);
  }
  const bool early =
      std::strcmp(path, "/tmp/frame1.jpg") == 0 || std::strcmp(path, "/tmp/frame2.jpg") == 0;
  const CaptureTime& t = early ? firstFrames : lastFrame;
  const int hour = hour_24(t.hour, t.ampm, cameraConfig->time_format == 0);
  return run_shellf(
      "exiv2 -M\"set Exif.Photo.Flash %u\" -M\"set Exif.Photo.DateTimeOriginal "
      "%d:%02d:%02d %02d:%02d:%02d\" -M\"set Exif.Photo.UserComment "
      "{\\\"Infrared\\\":%d,\\\"InfraredMode\\\":\\\"%s\\\"}\" %s",
      static_cast<unsigned>(info.flash), t.year, t.month, t.day, hour, t.minute, t.second,
      info.infrared.load(), info.infraredMode, path);
}
