// mount and umount of the simulated board (one program, named by how it is called).
//
// The card's partitions are FAT32 volumes mounted through fusefat (the kernel's vfat driver
// cannot be mounted from the sandbox's user namespace). The tool adds what the kernel's vfat
// driver would do around it: it refuses a partition that holds no FAT32 volume, mounts a
// write-protected partition read-only, sets the volume's dirty bit while it is mounted
// read-write and clears it after a clean unmount, and says in the kernel messages that a volume
// was not properly unmounted. As the kernel's driver does, it leaves alone a dirty bit that was
// set when the volume was mounted: a clean unmount does not mend a volume only fsck checked. The
// listing shows the card's mounts as the kernel lists vfat mounts, and the configuration partition
// as the flash block device with JFFS2.
//
// Everything else (other devices and folders) is handed to the system's own mount or umount.
#include <fcntl.h>
#include <limits.h>
#include <signal.h>
#include <stdlib.h>
#include <sys/file.h>
#include <sys/mount.h>
#include <sys/stat.h>
#include <sys/wait.h>
#include <unistd.h>

#include <cerrno>
#include <cstdio>
#include <cstring>
#include <fstream>
#include <sstream>
#include <string>
#include <string_view>
#include <vector>

#include "sim/card/card_layout.h"
#include "sim/card/card_mounts.h"

namespace {

using sim::card::CardMount;

constexpr char kConfigMountPoint[] = "/config";
// What the kernel lists for a vfat mount with the camera's options.
constexpr char kVfatOptions[] =
    "noatime,fmask=0022,dmask=0022,codepage=437,iocharset=iso8859-1,shortname=mixed,"
    "errors=remount-ro";
constexpr int kMountFailed = 32;  // util-linux's status for a failed mount
// Where the board puts the card's tools inside the sandbox.
constexpr char kDriverFixes[] = "/run/board/cardbin/libfusefat_fix.so";

// The first program called `name` on PATH that is not this one (hard links included).
std::string next_program(const std::string& name) {
  struct stat self {};
  stat("/proc/self/exe", &self);
  const char* path = getenv("PATH");
  std::istringstream folders(path != nullptr ? path : "/usr/bin:/bin");
  for (std::string folder; std::getline(folders, folder, ':');) {
    std::string candidate = (folder.empty() ? "." : folder) + "/" + name;
    struct stat found {};
    if (access(candidate.c_str(), X_OK) == 0 && stat(candidate.c_str(), &found) == 0 &&
        (found.st_dev != self.st_dev || found.st_ino != self.st_ino)) {
      return candidate;
    }
  }
  return "";
}

int hand_over(const std::string& name, char** argv) {
  const std::string real = next_program(name);
  if (real.empty()) {
    fprintf(stderr, "%s: no system %s program found on PATH\n", name.c_str(), name.c_str());
    return 1;
  }
  execv(real.c_str(), argv);
  perror(name.c_str());
  return 1;
}

int list_mounts() {
  std::ifstream mounts("/proc/mounts");
  if (!mounts) {
    perror("mount: /proc/mounts");
    return 1;
  }
  const std::vector<CardMount> card = sim::card::read_card_mounts();
  for (std::string line; std::getline(mounts, line);) {
    std::istringstream fields(line);
    std::string device, point, type, options;
    if (!(fields >> device >> point >> type >> options)) {
      continue;
    }
    if (point == kConfigMountPoint) {
      device = "/dev/mtdblock6";
      type = "jffs2";
      options = "rw,relatime";
    } else if (point.rfind(sim::card::kBoardRunDir, 0) == 0) {
      continue;  // the board's own machinery is not the camera's
    }
    for (const CardMount& mount : card) {
      if (mount.point == point) {
        type = "vfat";
        options = mount.mode + "," + kVfatOptions;
      }
    }
    printf("%s on %s type %s (%s)\n", device.c_str(), point.c_str(), type.c_str(), options.c_str());
  }
  return 0;
}

bool is_card_partition(std::string_view device) {
  return device.rfind("/dev/mmcblk0p", 0) == 0;
}

bool mounted_in_kernel(const std::string& point) {
  std::ifstream mounts("/proc/self/mounts");
  for (std::string line; std::getline(mounts, line);) {
    std::istringstream fields(line);
    std::string device, where;
    if (fields >> device >> where && where == point) {
      return true;
    }
  }
  return false;
}

int fail(const std::string& text) {
  fprintf(stderr, "mount: %s\n", text.c_str());
  return kMountFailed;
}

int mount_partition(const std::string& device, const std::string& point, bool readOnly) {
  const std::string partition = device.substr(5);  // "mmcblk0p1"
  struct stat st {};
  if (stat(device.c_str(), &st) != 0) {
    return fail(point + ": special device " + device + " does not exist.");
  }
  if (stat(point.c_str(), &st) != 0 || !S_ISDIR(st.st_mode)) {
    return fail(point + ": mount point does not exist.");
  }
  for (const CardMount& mount : sim::card::read_card_mounts()) {
    if ((mount.point == point || mount.device == device) && mounted_in_kernel(mount.point)) {
      return fail(point + ": " + mount.device + " already mounted on " + mount.point + ".");
    }
  }
  int fd = readOnly ? -1 : open(device.c_str(), O_RDWR | O_CLOEXEC);
  if (fd < 0) {
    if (!readOnly) {
      fprintf(stderr, "mount: %s: WARNING: source write-protected, mounted read-only.\n",
              point.c_str());
    }
    readOnly = true;
    fd = open(device.c_str(), O_RDONLY | O_CLOEXEC);
  }
  sim::card::FatVolume volume;
  if (fd < 0 || sim::card::read_fat_volume(fd, 0, &volume) != 0) {
    if (fd >= 0) {
      close(fd);
      sim::card::kernel_line("FAT-fs (" + partition + "): Can't find a valid FAT filesystem");
    }
    return fail(point + ": wrong fs type, bad option, bad superblock on " + device +
                ", missing codepage or helper program, or other error.");
  }
  const bool dirtyBefore = sim::card::fat_dirty(fd, volume) == 1;
  if (dirtyBefore) {
    sim::card::kernel_line("FAT-fs (" + partition +
                           "): Volume was not properly unmounted. Some data may be corrupt. "
                           "Please run fsck.");
  }
  if (!readOnly) {
    sim::card::set_fat_dirty(fd, volume, true);
    fdatasync(fd);
  }

  const std::string options =
      "fsname=" + device + ",subtype=vfat,noatime,atomic_o_trunc" + (readOnly ? ",ro" : "");
  const pid_t server = fork();
  if (server == 0) {
    setsid();
    const int null = open("/dev/null", O_RDWR);
    dup2(null, STDIN_FILENO);
    dup2(null, STDOUT_FILENO);
    dup2(null, STDERR_FILENO);
    // One thread: fusefat's cluster allocation is not safe against concurrent writers (two
    // files written at once came out sharing free-marked clusters).
    std::vector<const char*> args = {"fusefat", "-f", "-s", "-o", options.c_str()};
    if (!readOnly) {
      args.insert(args.end(), {"-o", "rw+"});
    }
    args.insert(args.end(), {device.c_str(), point.c_str(), nullptr});
    // The driver's fixes (see fusefat_fix.cc), after what is preloaded already.
    if (access(kDriverFixes, R_OK) == 0) {
      const char* preload = getenv("LD_PRELOAD");
      const std::string all = preload != nullptr && *preload != '\0'
                                  ? std::string(preload) + ":" + kDriverFixes
                                  : std::string(kDriverFixes);
      setenv("LD_PRELOAD", all.c_str(), 1);
    }
    execvp("fusefat", const_cast<char**>(args.data()));
    _exit(127);
  }
  // The server is up once the mount is in the kernel's table; it gives up if it exits first.
  bool up = false;
  for (int tries = 0; server > 0 && tries < 500 && !up; ++tries) {
    int status = 0;
    if (waitpid(server, &status, WNOHANG) == server) {
      break;
    }
    up = mounted_in_kernel(point);
    if (!up) {
      usleep(10 * 1000);
    }
  }
  if (!up) {
    if (server > 0) {
      kill(server, SIGKILL);
      waitpid(server, nullptr, 0);
    }
    if (!readOnly) {
      sim::card::set_fat_dirty(fd, volume, dirtyBefore);
    }
    close(fd);
    return fail(point + ": wrong fs type, bad option, bad superblock on " + device +
                ", missing codepage or helper program, or other error.");
  }
  close(fd);
  sim::card::add_card_mount({device, point, readOnly ? "ro" : "rw", server, dirtyBefore});
  return 0;
}

int mount_main(int argc, char** argv) {
  std::string type;
  bool readOnly = false;
  std::vector<std::string> positional;
  for (int i = 1; i < argc; ++i) {
    const std::string_view arg = argv[i];
    if ((arg == "-t" || arg == "-o") && i + 1 < argc) {
      const std::string value = argv[++i];
      if (arg == "-t") {
        type = value;
      } else {
        std::istringstream options(value);
        for (std::string option; std::getline(options, option, ',');) {
          readOnly = option == "ro" ? true : (option == "rw" ? false : readOnly);
        }
      }
    } else if (arg == "-r") {
      readOnly = true;
    } else if (arg == "-w") {
      readOnly = false;
    } else if (arg == "-l" && argc == 2) {
      return list_mounts();
    } else if (!arg.empty() && arg[0] != '-') {
      positional.emplace_back(arg);
    }
  }
  if (argc == 1) {
    return list_mounts();
  }
  if (positional.size() != 2 || !is_card_partition(positional[0])) {
    return hand_over("mount", argv);
  }
  if (!type.empty() && type != "vfat" && type != "auto") {
    return fail(positional[1] + ": unknown filesystem type '" + type + "'.");
  }
  return mount_partition(positional[0], positional[1], readOnly);
}

int umount_main(int argc, char** argv) {
  std::string target;
  bool lazy = false;
  for (int i = 1; i < argc; ++i) {
    const std::string_view arg = argv[i];
    if (arg == "-l") {
      lazy = true;
    } else if (!arg.empty() && arg[0] != '-') {
      target = arg;
    }
  }
  CardMount mount;
  if (target.empty() || !sim::card::find_card_mount(target, &mount)) {
    if (!target.empty() && !mounted_in_kernel(target) && is_card_partition(target)) {
      fprintf(stderr, "umount: %s: not mounted.\n", target.c_str());
      return kMountFailed;
    }
    return hand_over("umount", argv);
  }
  if (umount2(mount.point.c_str(), lazy ? MNT_DETACH : 0) != 0) {
    if (errno == EBUSY) {
      fprintf(stderr, "umount: %s: target is busy.\n", mount.point.c_str());
      return kMountFailed;
    }
    if (errno != EINVAL) {
      fprintf(stderr, "umount: %s: %s\n", mount.point.c_str(), strerror(errno));
      return kMountFailed;
    }
    // The server died (the card was pulled): only the board's row is left.
  }
  // The volume is clean once its server has written everything and gone.
  for (int tries = 0; tries < 1000 && kill(mount.server, 0) == 0; ++tries) {
    usleep(10 * 1000);
  }
  if (mount.mode == "rw" && !mount.dirtyBefore) {
    const int fd = open(mount.device.c_str(), O_RDWR | O_CLOEXEC);
    sim::card::FatVolume volume;
    if (fd >= 0 && sim::card::read_fat_volume(fd, 0, &volume) == 0) {
      sim::card::set_fat_dirty(fd, volume, false);
      fdatasync(fd);
    }
    if (fd >= 0) {
      close(fd);
    }
  }
  sim::card::remove_card_mount(mount.point);
  return 0;
}

}  // namespace

int main(int argc, char** argv) {
  const char* slash = strrchr(argv[0], '/');
  const std::string_view name = slash != nullptr ? slash + 1 : argv[0];
  return name == "umount" ? umount_main(argc, argv) : mount_main(argc, argv);
}
