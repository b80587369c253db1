#include "app/postprocess/naming/media_names.h"

#include <dirent.h>
#include <pthread.h>
#include <sys/stat.h>

#include <cerrno>
#include <cstdio>
#include <cstdlib>
#include <cstring>
#include <string_view>

#include "app/config/camera_config.h"
#include "app/postprocess/naming/last_capture.h"
#include "app/records/log/app_log.h"
#include "app/storage/sd_card.h"
#include "app/system/core/shell.h"
#include "app/system/core/sys_info.h"
#include "app/system/os/os.h"

FileCounter fileCounter;
std::atomic<bool> counterRestored{false};

namespace {

constexpr int kFirstFolder = 100;
constexpr int kLastFolder = 999;
constexpr int kLastFile = 9999;
constexpr unsigned kPartitionSettleMs = 500;

pthread_mutex_t g_counter_lock = PTHREAD_MUTEX_INITIALIZER;

// The names of a folder in name order, without "." and "..", freed with the object.
class SortedEntries {
 public:
  explicit SortedEntries(const char* path) : count_(scandir(path, &entries_, nullptr, alphasort)) {}
  ~SortedEntries() {
    for (int i = 0; i < count_; ++i) {
      free(entries_[i]);
    }
    free(entries_);
  }
  SortedEntries(const SortedEntries&) = delete;
  SortedEntries& operator=(const SortedEntries&) = delete;

  bool scanned() const { return count_ >= 0; }
  int count() const { return count_ < 0 ? 0 : count_; }
  std::string_view name(int index) const { return entries_[index]->d_name; }
  static bool is_dot(std::string_view name) { return name == "." || name == ".."; }

 private:
  dirent** entries_ = nullptr;
  int count_;
};

struct MediaShape {
  std::string_view prefix;
  std::string_view suffix;
};

// PICTnnnn.JPG, VIDnnnn.MP4, HDnnnn.JPG: four characters between prefix and suffix.
constexpr MediaShape kCountedShapes[] = {
    {"PICT", ".JPG"},
    {"VID", ".MP4"},
    {"HD", ".JPG"},
};

bool has_counted_shape(std::string_view name) {
  for (const MediaShape& shape : kCountedShapes) {
    if (name.size() == shape.prefix.size() + 4 + shape.suffix.size() &&
        name.starts_with(shape.prefix) && name.ends_with(shape.suffix)) {
      return true;
    }
  }
  return false;
}

// The number read from the first digit of `name`, or -1 without a digit.
long number_from_first_digit(std::string_view name) {
  const std::size_t digit = name.find_first_of("0123456789");
  if (digit == std::string_view::npos) {
    return -1;
  }
  long value = 0;
  for (std::size_t i = digit; i < name.size() && name[i] >= '0' && name[i] <= '9'; ++i) {
    value = value * 10 + (name[i] - '0');
    if (value > kLastFile) {
      return -1;
    }
  }
  return value;
}

// nnn of a media folder "nnnDSCIM..." that really is a folder, else 0.
int media_folder_number(const char* dcim_path, std::string_view name) {
  if (name.size() < 8 || name.substr(3, 5) != "DSCIM") {
    return 0;
  }
  int number = 0;
  for (char c : name.substr(0, 3)) {
    if (c < '0' || c > '9') {
      return 0;
    }
    number = number * 10 + (c - '0');
  }
  if (number < kFirstFolder || number > kLastFolder) {
    return 0;
  }
  // A file that carries a folder's name cannot hold media.
  char path[512];
  snprintf(path, sizeof path, "%s/%.*s", dcim_path, static_cast<int>(name.size()), name.data());
  struct stat info;
  return stat(path, &info) == 0 && S_ISDIR(info.st_mode) ? number : 0;
}

// The DCIM folder of a mounted partition can be listed, or is not there at all (a card just
// formatted): either way the partition's numbers are known.
bool media_listable(const char* dcim_path) {
  struct stat info;
  return SortedEntries(dcim_path).scanned() || (stat(dcim_path, &info) != 0 && errno == ENOENT);
}

void remove_and_report(const char* command) {
  run_shell(command);
  app_log(MOD_POSTPROCESS, LEVEL_ERR, "remove_prev_cap: removed: %s", command);
}

}  // namespace

const char* media_root() {
  return sysInfo->storagePartition == 1 ? kSecondaryRoot : kPrimaryRoot;
}

int find_last_folder(const char* dcim_path) {
  SortedEntries entries(dcim_path);
  if (!entries.scanned()) {
    app_log(MOD_POSTPROCESS, LEVEL_ERR, "Could not read %s: %s", dcim_path, strerror(errno));
  }
  for (int i = entries.count() - 1; i >= 0; --i) {
    if (SortedEntries::is_dot(entries.name(i))) {
      continue;
    }
    if (int number = media_folder_number(dcim_path, entries.name(i)); number != 0) {
      return number;
    }
  }
  run_shellf("mkdir %s/100DSCIM", dcim_path);
  return kFirstFolder;
}

int find_last_file(const char* folder_path) {
  SortedEntries entries(folder_path);
  long highest = 0;
  for (int i = entries.count() - 1; i >= 0; --i) {
    const std::string_view name = entries.name(i);
    if (SortedEntries::is_dot(name) || !has_counted_shape(name)) {
      continue;
    }
    const long number = number_from_first_digit(name);
    if (number >= 1 && number <= kLastFile && number > highest) {
      highest = number;
    }
  }
  return static_cast<int>(highest);
}

int save_last_file_fldr_val() {
  // A partition that is lent, not mounted or cannot be listed says nothing about the numbers
  // on it: taking it for empty would start the counter again at 1 over the pictures it holds.
  // The primary must be readable; the secondary counts when it is mounted (a one-partition
  // card has none).
  if (sysInfo->primaryLent || !is_path_mounted(kPrimaryRoot) ||
      !media_listable("/sdcard/primary/DCIM")) {
    app_log(MOD_POSTPROCESS, LEVEL_ERR, "File counter unknown: /sdcard/primary is not readable");
    return -1;
  }
  const bool secondary_mounted = is_path_mounted(kSecondaryRoot) != 0;
  if (secondary_mounted && !media_listable("/sdcard/secondary/DCIM")) {
    app_log(MOD_POSTPROCESS, LEVEL_ERR, "File counter unknown: /sdcard/secondary is not readable");
    return -1;
  }
  const int primary = find_last_folder("/sdcard/primary/DCIM");
  const int secondary =
      secondary_mounted ? find_last_folder("/sdcard/secondary/DCIM") : kFirstFolder;
  char folder[64];
  int file = 0;
  int current = primary;
  if (secondary < primary) {
    if (secondary_mounted) {
      run_shellf("mkdir /sdcard/secondary/DCIM/%03dDSCIM", primary);
    }
    snprintf(folder, sizeof folder, "/sdcard/primary/DCIM/%03dDSCIM", primary);
    file = find_last_file(folder);
  } else if (secondary == primary) {
    snprintf(folder, sizeof folder, "/sdcard/primary/DCIM/%03dDSCIM", primary);
    file = find_last_file(folder);
    if (secondary_mounted) {
      snprintf(folder, sizeof folder, "/sdcard/secondary/DCIM/%03dDSCIM", primary);
      const int secondary_file = find_last_file(folder);
      file = secondary_file > file ? secondary_file : file;
    }
  } else {
    current = secondary;
    run_shellf("mkdir /sdcard/primary/DCIM/%03dDSCIM", secondary);
    snprintf(folder, sizeof folder, "/sdcard/secondary/DCIM/%03dDSCIM", secondary);
    file = find_last_file(folder);
  }
  fileCounter.folderNumber = current;
  fileCounter.fileNumber = file;
  app_log(MOD_POSTPROCESS, LEVEL_INFO, "Last folder name is %3dDSCIM & last file value is %04d",
          current, file);
  return 0;
}

bool restore_file_counter_once(Remount remount) {
  if (counterRestored) {
    return true;
  }
  int partitions = get_sd_partition_count();
  const bool late = partitions != 2;
  if (late) {
    os_sleep_ms(kPartitionSettleMs);
    partitions = get_sd_partition_count();
  }
  if (partitions == 2 && (late || remount == Remount::kAlways)) {
    run_shell("umount /sdcard/primary");
    run_shell("mount -o noatime -o usefree /dev/mmcblk0p1 /sdcard/primary");
    run_shell("umount /sdcard/secondary");
    run_shell("mount -o noatime -o usefree /dev/mmcblk0p2 /sdcard/secondary");
  }
  remove_broken_last_capture(kPrimaryRoot);
  remove_broken_last_capture(kSecondaryRoot);
  if (save_last_file_fldr_val() != 0) {
    return false;
  }
  counterRestored = true;
  return true;
}

int advance_file_number() {
  pthread_mutex_lock(&g_counter_lock);
  if (fileCounter.fileNumber >= kLastFile) {
    if (fileCounter.folderNumber >= kLastFolder) {
      pthread_mutex_unlock(&g_counter_lock);
      return -1;
    }
    const int folder = ++fileCounter.folderNumber;
    fileCounter.fileNumber = 0;
    if (!sysInfo->primaryLent) {
      run_shellf("mkdir -p /sdcard/primary/DCIM/%dDSCIM", folder);
    }
    run_shellf("mkdir -p /sdcard/secondary/DCIM/%dDSCIM", folder);
  }
  ++fileCounter.fileNumber;
  pthread_mutex_unlock(&g_counter_lock);
  return 0;
}

int remove_prev_cap(int kind) {
  const char* root = media_root();
  const int folder = fileCounter.folderNumber;
  const int file = fileCounter.fileNumber;
  const bool cellular = cameraConfig->cellular != 0;
  char command[256];
  if (kind == CAPTURE_KIND_PHOTO) {
    snprintf(command, sizeof command, "rm -f %s/DCIM/%dDSCIM/PICT%04d.JPG", root, folder, file);
    remove_and_report(command);
    if (cameraConfig->resolution == 1) {
      snprintf(command, sizeof command, "rm -f %s/DCIM/%dDSCIM/HD%04d.JPG", root, folder, file);
      remove_and_report(command);
    }
    if (cellular) {
      snprintf(command, sizeof command, "rm -f %s/TRANSMIT/PICT%04d.JPG", root, file);
      remove_and_report(command);
    }
  } else if (kind == CAPTURE_KIND_VIDEO) {
    snprintf(command, sizeof command, "rm -f  %s/DCIM/%dDSCIM/VID%04d.MP4", root, folder, file);
    remove_and_report(command);
    for (int preview = 1; cellular && preview <= 3; ++preview) {
      snprintf(command, sizeof command, "rm -f %s/TRANSMIT/VI%04d_%d.JPG", root, file, preview);
      remove_and_report(command);
    }
  }
  return 0;
}
