#include "sim/card/card_mounts.h"

#include <fcntl.h>
#include <sys/file.h>
#include <time.h>
#include <unistd.h>

#include <cstdio>
#include <fstream>
#include <sstream>

namespace sim::card {

namespace {

// Holds an exclusive lock on the table file while the table is rewritten.
class TableLock {
 public:
  TableLock()
      : fd_(open((card_mounts_path() + ".lock").c_str(), O_CREAT | O_RDWR | O_CLOEXEC, 0644)) {
    if (fd_ >= 0) {
      flock(fd_, LOCK_EX);
    }
  }
  ~TableLock() {
    if (fd_ >= 0) {
      close(fd_);
    }
  }
  TableLock(const TableLock&) = delete;
  TableLock& operator=(const TableLock&) = delete;

 private:
  int fd_;
};

void write_card_mounts(const std::vector<CardMount>& mounts) {
  const std::string path = card_mounts_path();
  const std::string next = path + ".new";
  {
    std::ofstream file(next, std::ios::trunc);
    for (const CardMount& mount : mounts) {
      file << mount.device << ' ' << mount.point << ' ' << mount.mode << ' ' << mount.server << ' '
           << (mount.dirtyBefore ? 1 : 0) << '\n';
    }
  }
  rename(next.c_str(), path.c_str());
}

}  // namespace

std::string card_mounts_path(const std::string& stateDir) {
  return stateDir + "/mounts";
}

std::vector<CardMount> read_card_mounts(const std::string& stateDir) {
  std::vector<CardMount> mounts;
  std::ifstream file(card_mounts_path(stateDir));
  for (std::string line; std::getline(file, line);) {
    std::istringstream fields(line);
    CardMount mount;
    int dirtyBefore = 0;
    if (fields >> mount.device >> mount.point >> mount.mode >> mount.server >> dirtyBefore) {
      mount.dirtyBefore = dirtyBefore != 0;
      mounts.push_back(mount);
    }
  }
  return mounts;
}

void add_card_mount(const CardMount& mount) {
  TableLock lock;
  std::vector<CardMount> mounts = read_card_mounts();
  mounts.push_back(mount);
  write_card_mounts(mounts);
}

void remove_card_mount(const std::string& point) {
  TableLock lock;
  std::vector<CardMount> mounts = read_card_mounts();
  std::erase_if(mounts, [&](const CardMount& mount) { return mount.point == point; });
  write_card_mounts(mounts);
}

bool find_card_mount(const std::string& target, CardMount* ret_mount) {
  for (const CardMount& mount : read_card_mounts()) {
    if (mount.point == target || mount.device == target) {
      *ret_mount = mount;
      return true;
    }
  }
  return false;
}

void kernel_line(const std::string& text) {
  timespec now{};
  clock_gettime(CLOCK_MONOTONIC, &now);
  FILE* kmsg = fopen((std::string(kCardStateDir) + "/kmsg").c_str(), "ae");
  if (kmsg != nullptr) {
    fprintf(kmsg, "[%5ld.%06ld] %s\n", static_cast<long>(now.tv_sec % 100000),
            static_cast<long>(now.tv_nsec / 1000), text.c_str());
    fclose(kmsg);
  }
}

}  // namespace sim::card
