// mount for the simulated board. Listing the mounts (no arguments, or -l) shows what the
// camera's kernel shows: the configuration partition /config as the flash block device
// /dev/mtdblock6 with a JFFS2 file system, whatever the sandbox mounted there. Every other use
// is handed to the next mount program on PATH.
#include <limits.h>
#include <stdlib.h>
#include <unistd.h>

#include <cstdio>
#include <cstring>
#include <fstream>
#include <sstream>
#include <string>

namespace {

constexpr char kConfigMountPoint[] = "/config";

int list_mounts() {
  std::ifstream mounts("/proc/mounts");
  if (!mounts) {
    perror("mount: /proc/mounts");
    return 1;
  }
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
    }
    printf("%s on %s type %s (%s)\n", device.c_str(), point.c_str(), type.c_str(), options.c_str());
  }
  return 0;
}

// The first mount program on PATH that is not this one.
std::string next_mount() {
  char self[PATH_MAX];
  if (realpath("/proc/self/exe", self) == nullptr) {
    self[0] = '\0';
  }
  const char* path = getenv("PATH");
  std::istringstream folders(path != nullptr ? path : "/usr/bin:/bin");
  for (std::string folder; std::getline(folders, folder, ':');) {
    std::string candidate = (folder.empty() ? "." : folder) + "/mount";
    char resolved[PATH_MAX];
    if (access(candidate.c_str(), X_OK) == 0 && realpath(candidate.c_str(), resolved) != nullptr &&
        strcmp(resolved, self) != 0) {
      return candidate;
    }
  }
  return "";
}

}  // namespace

int main(int argc, char** argv) {
  if (argc == 1 || (argc == 2 && strcmp(argv[1], "-l") == 0)) {
    return list_mounts();
  }
  std::string real = next_mount();
  if (real.empty()) {
    fprintf(stderr, "mount: no system mount program found on PATH\n");
    return 1;
  }
  execv(real.c_str(), argv);
  perror("mount");
  return 1;
}
