#include "app/storage/sd_monitor.h"

#include <dirent.h>
#include <sys/stat.h>
#include <sys/statfs.h>

#include <algorithm>
#include <cerrno>
#include <cstdio>
#include <cstring>
#include <string>

#include "app/config/camera_config.h"
#include "app/records/log/app_log.h"
#include "app/storage/sd_card.h"
#include "app/system/core/shell.h"
#include "app/system/core/sys_info.h"
#include "app/system/os/os.h"

std::atomic<bool> sdMonitorBusy{false};

namespace {

constexpr unsigned kMonitorPollMs = 100;
constexpr std::size_t kListingLineMax = 99;
constexpr int64_t kMiB = 1024 * 1024;
// "/DCIM/nnnDSCIM/" after the partition root.
constexpr std::size_t kMediaFolderSuffix = 15;

constexpr char kPhotoFormat[] = "%s/DCIM/%dDSCIM/PICT%04d.JPG";
constexpr char kVideoFormat[] = "%s/DCIM/%dDSCIM/VID%04d.MP4";

// A regular file of the camera's name for `file` (1..9999) in media folder `folder`.
bool regular_file(const char* format, const char* root, int folder, int file) {
  if (file < 1) {
    return false;
  }
  char path[256];
#pragma GCC diagnostic push
#pragma GCC diagnostic ignored "-Wformat-nonliteral"
  snprintf(path, sizeof path, format, root, folder, file);
#pragma GCC diagnostic pop
  struct stat info;
  return stat(path, &info) == 0 && S_ISREG(info.st_mode);
}

bool file_exists(const char* format, const char* root, int folder, int file) {
  char path[256];
#pragma GCC diagnostic push
#pragma GCC diagnostic ignored "-Wformat-nonliteral"
  if (folder < 0) {
    snprintf(path, sizeof path, format, root, file);
  } else {
    snprintf(path, sizeof path, format, root, folder, file);
  }
#pragma GCC diagnostic pop
  struct stat info;
  return stat(path, &info) == 0;
}

void delete_photo(const char* root, int folder, int file) {
  if (run_shellf("rm -f %s/DCIM/%dDSCIM/PICT%04d.JPG", root, folder, file) == 0) {
    app_log(MOD_SD_CONF, LEVEL_INFO, "File removed successfully : %s/DCIM/%dDSCIM/PICT%04d.JPG",
            root, folder, file);
  }
  if (file_exists("%s/DCIM/%dDSCIM/HD%04d.JPG", root, folder, file) &&
      run_shellf("rm -f %s/DCIM/%dDSCIM/HD%04d.JPG", root, folder, file) == 0) {
    app_log(MOD_SD_CONF, LEVEL_INFO, "File removed successfully : %s/DCIM/%dDSCIM/HD%04d.JPG", root,
            folder, file);
  }
  if (file_exists("%s/TRANSMIT/PICT%04d.JPG", root, -1, file) &&
      run_shellf("rm -f %s/TRANSMIT/PICT%04d.JPG", root, file) == 0) {
    app_log(MOD_SD_CONF, LEVEL_INFO, "File removed successfully : %s/TRANSMIT/PICT%04d.JPG", root,
            file);
  }
  run_shell("sync");
}

void delete_video(const char* root, int folder, int file) {
  if (run_shellf("rm  -f %s/DCIM/%dDSCIM/VID%04d.MP4", root, folder, file) == 0) {
    app_log(MOD_SD_CONF, LEVEL_INFO, "File removed successfully : %s/DCIM/%dDSCIM/VID%04d.MP4",
            root, folder, file);
  }
  if (file_exists("%s/TRANSMIT/VI%04d_1.JPG", root, -1, file) &&
      run_shellf("rm -f %s/TRANSMIT/VI%04d_*", root, file) == 0) {
    for (int preview = 1; preview <= 3; ++preview) {
      app_log(MOD_SD_CONF, LEVEL_INFO, "File removed successfully : %s/TRANSMIT/VI%04d_%d.JPG",
              root, file, preview);
    }
  }
  run_shell("sync");
}

// The first line of a listing, as a line of at most 99 characters would hold it.
std::string first_line(const std::string& output) {
  return output.substr(0, std::min({output.find('\n'), kListingLineMax}));
}

int first_listing(std::size_t prefix_length, const char* format, const char* root, int folder = 0) {
  char command[512];
#pragma GCC diagnostic push
#pragma GCC diagnostic ignored "-Wformat-nonliteral"
  snprintf(command, sizeof command, format, root, folder);
#pragma GCC diagnostic pop
  return parse_listing_line(first_line(read_shell_output(command)), prefix_length);
}

// What a media folder holds of the camera's own: its oldest photo and video (0 when none), and
// whether anything else is in it (a name the camera does not write, a folder).
struct MediaFolder {
  int oldestPhoto = 0;
  int oldestVideo = 0;
  bool foreign = false;
};

// The number of a camera name PREFIXnnnnSUFFIX (1..9999), or 0.
int camera_number(std::string_view name, std::string_view prefix, std::string_view suffix) {
  if (name.size() != prefix.size() + 4 + suffix.size() || !name.starts_with(prefix) ||
      !name.ends_with(suffix)) {
    return 0;
  }
  int number = 0;
  for (char c : name.substr(prefix.size(), 4)) {
    if (c < '0' || c > '9') {
      return 0;
    }
    number = number * 10 + (c - '0');
  }
  return number;
}

MediaFolder look_into(const std::string& folder) {
  MediaFolder found;
  DIR* entries = opendir(folder.c_str());
  if (entries == nullptr) {
    found.foreign = true;
    return found;
  }
  auto keep_oldest = [](int* oldest, int number) {
    if (number != 0 && (*oldest == 0 || number < *oldest)) {
      *oldest = number;
    }
  };
  while (const dirent* entry = readdir(entries)) {
    const std::string_view name = entry->d_name;
    if (name == "." || name == "..") {
      continue;
    }
    struct stat info;
    const bool file =
        stat((folder + "/" + entry->d_name).c_str(), &info) == 0 && S_ISREG(info.st_mode);
    const int photo = file ? camera_number(name, "PICT", ".JPG") : 0;
    const int video = file ? camera_number(name, "VID", ".MP4") : 0;
    keep_oldest(&found.oldestPhoto, photo);
    keep_oldest(&found.oldestVideo, video);
    if (photo == 0 && video == 0 && (!file || camera_number(name, "HD", ".JPG") == 0)) {
      found.foreign = true;
    }
  }
  closedir(entries);
  return found;
}

bool stop_deleting(const char* root, int64_t min_free_mb) {
  return get_free_space_mb(root) >= min_free_mb || formatOngoing;
}

void set_monitor_busy(bool busy) {
  SemLock lock(&sysInfoLock);
  sdMonitorBusy = busy;
}

// True when the folder holds an entry whose name does not start with ".". A folder that cannot
// be read counts as holding media, so that nothing is taken for empty by mistake.
bool holds_visible_entry(DIR* folder) {
  while (const dirent* entry = readdir(folder)) {
    if (entry->d_name[0] != '.') {
      return true;
    }
  }
  return false;
}

}  // namespace

int parse_listing_line(std::string_view line, std::size_t prefix_length) {
  auto digits = [](std::string_view text) {
    int value = 0;
    for (char c : text) {
      if (c < '0' || c > '9') {
        return -1;
      }
      value = value * 10 + (c - '0');
    }
    return value;
  };
  if (line.size() >= 8 && line.substr(3, 5) == "DSCIM") {
    const int folder = line.size() == 8 ? digits(line.substr(0, 3)) : -1;
    return folder >= 100 && folder <= 999 ? folder : 0;
  }
  if (line.size() < prefix_length) {
    return 0;
  }
  const std::string_view name = line.substr(prefix_length);
  int file = -1;
  if (name.size() == 12 && name.starts_with("PICT") && name.ends_with(".JPG")) {
    file = digits(name.substr(4, 4));
  } else if (name.size() == 11 && name.starts_with("VID") && name.ends_with(".MP4")) {
    file = digits(name.substr(3, 4));
  }
  return file >= 1 && file <= 9999 ? file : 0;
}

int parse_first_listing(const char* command) {
  return parse_listing_line(first_line(read_shell_output(command)),
                            std::strlen(kPrimaryRoot) + kMediaFolderSuffix);
}

int64_t get_free_space_mb(const char* path) {
  DIR* folder = opendir(path);
  if (folder == nullptr) {
    return -1;
  }
  closedir(folder);
  struct statfs stats;
  if (statfs(path, &stats) != 0) {
    return -1;
  }
  const int64_t block = static_cast<int64_t>(stats.f_bsize);
  const int64_t free_mb = static_cast<int64_t>(stats.f_bfree) * block / kMiB;
  const int64_t used_mb = static_cast<int64_t>(stats.f_blocks - stats.f_bfree) * block / kMiB;
  if (std::strcmp(path, kPrimaryRoot) == 0) {
    app_log(MOD_SD_CONF, LEVEL_INFO, "Primary : used = %lld , free = %lld",
            static_cast<long long>(used_mb), static_cast<long long>(free_mb));
    SemLock lock(&configLock);
    cameraConfig->primaryFreeMb = free_mb;
  } else if (std::strcmp(path, kSecondaryRoot) == 0) {
    app_log(MOD_SD_CONF, LEVEL_INFO, "Secondary : used = %lld , free = %lld",
            static_cast<long long>(used_mb), static_cast<long long>(free_mb));
    SemLock lock(&configLock);
    cameraConfig->secondaryFreeMb = free_mb;
  }
  return free_mb;
}

void remove_oldest_media(const char* root, int64_t min_free_mb) {
  if (stop_deleting(root, min_free_mb)) {
    return;
  }
  const std::size_t prefix = std::strlen(root) + kMediaFolderSuffix;
  int last_folder = -1, last_photo = -1, last_video = -1;
  for (;;) {
    const int folder = first_listing(prefix, "ls -v %s/DCIM/ | /system/head -n 1", root);
    if (folder < 100 || folder > 999) {
      app_log(MOD_SD_CONF, LEVEL_ERR, "ERROR : No media found to remove.");
      return;
    }
    char folder_path[256];
    snprintf(folder_path, sizeof folder_path, "%s/DCIM/%dDSCIM", root, folder);
    struct stat info;
    if (stat(folder_path, &info) != 0 || !S_ISDIR(info.st_mode)) {
      // A file the owner put there under a folder's name.
      app_log(MOD_SD_CONF, LEVEL_ERR, "ERROR : No media found to remove.");
      return;
    }
    int photo = first_listing(prefix, "ls -v %s/DCIM/%dDSCIM/PICT* 2>/dev/NULL | /system/head -n 1",
                              root, folder);
    int video = first_listing(prefix, "ls -v %s/DCIM/%dDSCIM/VID* 2>/dev/NULL | /system/head -n 1",
                              root, folder);
    // The listing's first entry may be a name the camera does not write (PICT0000.JPG,
    // PICT00001.JPG, a folder): where it names none of the camera's own files, the oldest come
    // from the folder itself, and a folder holding anything else is never removed whole.
    const MediaFolder content = look_into(folder_path);
    if (!regular_file(kPhotoFormat, root, folder, photo)) {
      photo = content.oldestPhoto;
    }
    if (!regular_file(kVideoFormat, root, folder, video)) {
      video = content.oldestVideo;
    }
    if (video == 0 && photo == 0 && content.foreign) {
      app_log(MOD_SD_CONF, LEVEL_ERR, "%s holds files the camera did not write: left as it is",
              folder_path);
      app_log(MOD_SD_CONF, LEVEL_ERR, "ERROR : No media found to remove.");
      return;
    }
    // The same oldest media twice means the last removal failed (a folder where a file should
    // be, a name the listing cannot show): trying again would hold power-down for ever.
    if (folder == last_folder && photo == last_photo && video == last_video) {
      app_log(MOD_SD_CONF, LEVEL_ERR, "Oldest media of %dDSCIM could not be removed", folder);
      return;
    }
    last_folder = folder;
    last_photo = photo;
    last_video = video;
    if (video == 0 && photo == 0) {
      run_shellf("rm -rf %s/DCIM/%dDSCIM", root, folder);
      run_shell("sync");
    } else if (video == 0 || (photo != 0 && photo < video)) {
      delete_photo(root, folder, photo);
    } else if (photo == 0 || video < photo) {
      delete_video(root, folder, video);
    } else {
      app_log(MOD_SD_CONF, LEVEL_ERR, "ERROR : No media found to remove.");
      return;
    }
    if (stop_deleting(root, min_free_mb)) {
      return;
    }
  }
}

void serve_sd_check_request() {
  while (sysInfo->sdCheckRequest) {
    set_monitor_busy(true);
    if (!sysInfo->primaryLent && run_shell("mount | grep -nri mmcblk0p1 > /dev/null") == 0) {
      app_log(MOD_SD_CONF, LEVEL_INFO, "SD monitor thread started");
      remove_oldest_media(kPrimaryRoot, cameraConfig->min_free_space_sdcard);
    }
    {
      SemLock lock(&sysInfoLock);
      sdMonitorBusy = false;
      sysInfo->sdCheckRequest = 0;
    }
    app_log(MOD_SD_CONF, LEVEL_INFO, "SD Monitoring completed");
  }
}

void* sd_monitor_thread(void*) {
  for (;;) {
    serve_sd_check_request();
    os_sleep_ms(kMonitorPollMs);
  }
}

int secondary_has_media() {
  const std::string dcim = std::string(kSecondaryRoot) + "/DCIM";
  DIR* folders = opendir(dcim.c_str());
  if (folders == nullptr) {
    app_log(MOD_SD_CONF, LEVEL_ERR, "Could not open DCIM PATH file (%s): %s", dcim.c_str(),
            strerror(errno));
    return 1;
  }
  bool media = false;
  while (const dirent* entry = readdir(folders)) {
    if (entry->d_name[0] == '.') {
      continue;
    }
    const std::string path = dcim + "/" + entry->d_name;
    if (DIR* folder = opendir(path.c_str())) {
      media = holds_visible_entry(folder);
      closedir(folder);
      if (media) {
        break;
      }
    }
  }
  closedir(folders);
  if (media) {
    return 1;
  }
  const std::string transmit = std::string(kSecondaryRoot) + "/TRANSMIT";
  DIR* uploads = opendir(transmit.c_str());
  if (uploads == nullptr) {
    app_log(MOD_SD_CONF, LEVEL_ERR, "Could not open TRANSMIT file (%s): %s", transmit.c_str(),
            strerror(errno));
    return 1;
  }
  media = holds_visible_entry(uploads);
  closedir(uploads);
  return media ? 1 : 0;
}
