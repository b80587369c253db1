#include "sim/card/card_image.h"

#include <fcntl.h>
#include <sys/stat.h>
#include <unistd.h>

#include <algorithm>
#include <cerrno>
#include <charconv>
#include <cstring>
#include <filesystem>
#include <fstream>
#include <sstream>

#include "sim/card/card_install_paths.h"
#include "sim/host/host_program.h"

namespace sim::card {

namespace fs = std::filesystem;

namespace {

constexpr uint64_t kMiB = uint64_t{1} << 20;
constexpr uint64_t kGiB = uint64_t{1} << 30;
constexpr uint64_t kFirstSector = 2048;  // fdisk's and sfdisk's default alignment
constexpr uint64_t kThirdPartitionBytes = 256 * kMiB;
// The sandbox's own tools first, then Debian's.
constexpr char kSandboxPath[] =
    "/run/board/cardbin:/usr/local/sbin:/usr/local/bin:/usr/sbin:/usr/bin:/sbin:/bin";

int fail(std::string* ret_error, const std::string& text) {
  if (ret_error != nullptr) {
    *ret_error = text;
  }
  return -1;
}

std::string partition_name(int number) {
  return "mmcblk0p" + std::to_string(number);
}

// The sfdisk script of a layout: one line per partition, in the order of their numbers.
std::string layout_script(uint64_t bytes, int partitions) {
  const uint64_t sectors = bytes / kSectorBytes;
  const uint64_t secondary = kGiB / kSectorBytes;
  const uint64_t third = partitions == 3 ? kThirdPartitionBytes / kSectorBytes : 0;
  std::string script = "label: dos\n";
  if (partitions == 1) {
    return script + "start=" + std::to_string(kFirstSector) + ", type=c\n";
  }
  const uint64_t primaryStart = kFirstSector + secondary;
  const uint64_t primarySize = sectors - primaryStart - third;
  script += "start=" + std::to_string(primaryStart) + ", size=" + std::to_string(primarySize) +
            ", type=c\n";
  script += "start=" + std::to_string(kFirstSector) + ", size=" + std::to_string(secondary) +
            ", type=c\n";
  if (partitions == 3) {
    script += "start=" + std::to_string(primaryStart + primarySize) + ", type=c\n";
  }
  return script;
}

// Deeper than the camera's layout ever goes (DCIM/100DSCIM/...): a damaged card can hold a
// folder whose entries lead back to a parent, and the copy must end.
constexpr int kMaxCopyDepth = 8;

// Copies the folder `from` ("::/DCIM/") of the volume into `to`, folder by folder: the files of
// each folder in one mcopy (dates kept, never asking), the board's filler files left out.
void copy_folder(const std::string& volume, const std::string& from, const fs::path& to,
                 int depth) {
  std::string listing;
  run_program({"mdir", "-b", "-i", volume, from}, &listing);
  std::vector<std::string> files = {"mcopy", "-p", "-n", "-m", "-i", volume};
  const size_t fixedArgs = files.size();
  std::istringstream entries(listing);
  for (std::string entry; std::getline(entries, entry);) {
    if (entry.size() <= from.size() || entry.rfind(from, 0) != 0) {
      continue;
    }
    const std::string name = entry.substr(from.size());
    if (name.back() == '/') {
      std::error_code error;
      const fs::path folder = to / name.substr(0, name.size() - 1);
      if (depth < kMaxCopyDepth && fs::create_directories(folder, error)) {
        copy_folder(volume, entry, folder, depth + 1);
      }
    } else if (!is_filler(name)) {
      files.push_back(entry);
    }
  }
  if (files.size() > fixedArgs) {
    files.push_back(to.string());
    run_program(files);
  }
}

}  // namespace

bool is_filler(std::string_view name) {
  return name.size() == 12 && name.substr(0, 4) == "FILL" && name.substr(8) == ".BIN";
}

bool parse_card_size(std::string_view text, uint64_t* ret_bytes, std::string* ret_name) {
  uint64_t number = 0;
  const char* end = text.data() + text.size();
  const auto [unit, error] = std::from_chars(text.data(), end, number);
  if (error != std::errc() || unit + 1 != end || (*unit != 'G' && *unit != 'M') || number == 0) {
    return false;
  }
  const uint64_t nominal = number * (*unit == 'G' ? 1000000000ull : 1000000ull);
  if (nominal < 64 * 1000000ull || nominal > 2000 * 1000000000ull) {
    return false;
  }
  // Cards hold a few percent less than their label says; whole MiB.
  *ret_bytes = nominal / 100 * 97 / kMiB * kMiB;
  *ret_name = "SD" + std::string(text);
  return true;
}

int run_program(const std::vector<std::string>& argv, std::string* ret_output) {
  return run_host_program(argv, ret_output);
}

int make_blank_card(const std::string& image, uint64_t bytes, std::string* ret_error) {
  std::error_code error;
  fs::remove(image, error);
  const int fd = open(image.c_str(), O_CREAT | O_TRUNC | O_WRONLY | O_CLOEXEC, 0644);
  if (fd < 0 || ftruncate(fd, static_cast<off_t>(bytes)) != 0) {
    if (fd >= 0) {
      close(fd);
    }
    return fail(ret_error, "cannot make the card image " + image + ": " + strerror(errno));
  }
  close(fd);
  return 0;
}

int make_formatted_card(const std::string& image, uint64_t bytes, int partitions,
                        std::string* ret_error) {
  if (partitions < 1 || partitions > 3) {
    return fail(ret_error, "a formatted card has 1, 2 or 3 partitions");
  }
  if (bytes < 2 * kGiB + kThirdPartitionBytes) {
    return fail(ret_error, "a formatted card needs more than 2 GiB");
  }
  if (make_blank_card(image, bytes, ret_error) != 0) {
    return -1;
  }
  const std::string scriptPath = image + ".sfdisk";
  {
    std::ofstream script(scriptPath, std::ios::trunc);
    script << layout_script(bytes, partitions);
  }
  std::string output;
  const int status = run_program(
      {"sh", "-c", "sfdisk --no-reread --no-tell-kernel \"$0\" < \"$1\"", image, scriptPath},
      &output);
  fs::remove(scriptPath);
  if (status != 0) {
    return fail(ret_error, "sfdisk cannot write the table: " + output);
  }
  for (const Partition& partition : card_partitions(image)) {
    const std::vector<std::string> mkfs = {
        "mkfs.vfat", "-F32", "--offset=" + std::to_string(partition.start / kSectorBytes), image,
        std::to_string(partition.size / 1024)};
    if (run_program(mkfs, &output) != 0) {
      return fail(ret_error, "mkfs.vfat cannot make partition " + std::to_string(partition.number) +
                                 ": " + output);
    }
  }
  return 0;
}

std::vector<Partition> card_partitions(const std::string& image) {
  std::vector<Partition> partitions;
  const int fd = open(image.c_str(), O_RDONLY | O_CLOEXEC);
  if (fd >= 0) {
    read_partition_table(fd, &partitions);
    close(fd);
  }
  return partitions;
}

int check_card_image_file(const std::string& path, std::string* ret_error) {
  const int fd = open(path.c_str(), O_RDONLY | O_CLOEXEC | O_NONBLOCK | O_NOCTTY);
  if (fd < 0) {
    return fail(ret_error, path + " cannot be read: " + strerror(errno));
  }
  struct stat info {};
  std::vector<Partition> partitions;
  FatVolume volume;
  const char* why = nullptr;
  if (fstat(fd, &info) != 0 || !S_ISREG(info.st_mode)) {
    why = " is not a regular file";
  } else if (read_partition_table(fd, &partitions) != 0 ||
             (partitions.empty() && read_fat_volume(fd, 0, &volume) != 0)) {
    why = " is no card image: it starts with neither a partition table nor a FAT32 boot sector";
  }
  close(fd);
  return why == nullptr ? 0 : fail(ret_error, path + why);
}

int change_volume(const std::string& image, int number, VolumeChange change,
                  std::string* ret_error) {
  const std::vector<Partition> partitions = card_partitions(image);
  const auto found = std::find_if(partitions.begin(), partitions.end(),
                                  [&](const Partition& p) { return p.number == number; });
  if (found == partitions.end()) {
    return fail(ret_error, "the card has no partition " + std::to_string(number));
  }
  const int fd = open(image.c_str(), O_RDWR | O_CLOEXEC);
  FatVolume volume;
  if (fd < 0 || read_fat_volume(fd, found->start, &volume) != 0) {
    if (fd >= 0) {
      close(fd);
    }
    return fail(ret_error, "partition " + std::to_string(number) + " holds no FAT32 volume");
  }
  int status = -1;
  switch (change) {
    case VolumeChange::kDirty:
      status = set_fat_dirty(fd, volume, true);
      break;
    case VolumeChange::kFill:
      status = fill_fat_volume(fd, volume);
      break;
    case VolumeChange::kDamage:
      status = damage_fat(fd, volume, 16);
      break;
  }
  close(fd);
  return status == 0 ? 0 : fail(ret_error, "cannot change partition " + std::to_string(number));
}

std::string card_tools_for(const std::string& image) {
  const fs::path kept = fs::path(image).parent_path() / kCardToolsFolder;
  std::error_code error;
  return fs::exists(kept / "card_blockd", error) ? kept.string() : SIM_CARD_BIN_DIR;
}

int run_in_card_sandbox(const std::string& image, const std::string& stateDir,
                        const std::string& script, std::string* ret_output) {
  std::error_code error;
  fs::create_directories(stateDir, error);
  // A new power-up: nothing mounted, no kernel lines yet.
  std::ofstream(stateDir + "/control", std::ios::trunc) << "slot=in\n";
  std::ofstream(stateDir + "/mounts", std::ios::trunc);
  std::ofstream(stateDir + "/kmsg", std::ios::trunc);
  return run_program(
      {SIM_CARD_SANDBOX_SCRIPT, "--ro-bind", card_tools_for(image), "/run/board/cardbin", "--bind",
       image, "/run/board/card.img", "--bind", stateDir, "/run/board/card", "--dev-bind",
       "/dev/fuse", "/dev/fuse", "--setenv", "LD_PRELOAD", "/run/board/cardbin/libcardmounts.so",
       // The preloaded shim comes before a sanitized tool's own runtime.
       "--setenv", "ASAN_OPTIONS", "verify_asan_link_order=0", "--setenv", "PATH", kSandboxPath,
       "--", "/run/board/cardbin/card_blockd", "/run/board/card.img", "--", "/bin/sh", "-c",
       script},
      ret_output);
}

std::vector<std::string> copy_card_files(const std::string& image, const std::string& dir) {
  std::vector<std::string> made;
  const int fd = open(image.c_str(), O_RDONLY | O_CLOEXEC);
  if (fd < 0) {
    return made;
  }
  for (const Partition& partition : card_partitions(image)) {
    FatVolume volume;
    if (read_fat_volume(fd, partition.start, &volume) != 0) {
      continue;
    }
    const std::string name = partition.number == 1   ? "primary"
                             : partition.number == 2 ? "secondary"
                                                     : "part" + std::to_string(partition.number);
    const std::string target = dir + "/" + name;
    std::error_code error;
    fs::remove_all(target, error);
    fs::create_directories(target, error);
    copy_folder(image + "@@" + std::to_string(partition.start), "::/", target, 0);
    made.push_back(target);
  }
  close(fd);
  return made;
}

bool check_card(const std::string& image, const std::string& stateDir, std::string* ret_report) {
  // One line per partition: its name, the checker's status and what it said after its banner.
  std::string script;
  for (const Partition& partition : card_partitions(image)) {
    const std::string name = partition_name(partition.number);
    script += "out=$(fsck.fat -n /dev/" + name + " 2>&1); echo \"" + name +
              " $? $(echo \"$out\" | tail -n +2 | tr '\\n' ' ')\"\n";
  }
  std::string output;
  if (script.empty() || run_in_card_sandbox(image, stateDir, script, &output) != 0) {
    *ret_report = script.empty() ? "the card has no partitions\n" : output;
    return false;
  }
  bool clean = true;
  std::string report;
  std::istringstream lines(output);
  for (std::string line; std::getline(lines, line);) {
    std::istringstream words(line);
    std::string name;
    int status = -1;
    words >> name >> status;
    std::string said;
    std::getline(words, said);
    clean = clean && status == 0;
    report += name + (status == 0 ? ": clean," : ": NOT CLEAN,") + said + "\n";
  }
  *ret_report = report;
  return clean;
}

}  // namespace sim::card
