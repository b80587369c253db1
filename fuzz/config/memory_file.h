// A fuzz input as a file without touching the host's file system: an anonymous memory file,
// reached through /proc/self/fd.
//
// The memory files are made once and rewritten for every input: making and dropping one per
// input cost an inode and its pages each time, a third of a run's time in the kernel.
#pragma once

#include <sys/mman.h>
#include <unistd.h>

#include <array>
#include <cstddef>
#include <cstdint>
#include <cstdlib>
#include <string>

namespace fuzz_support {

class MemoryFile {
 public:
  MemoryFile(const uint8_t* data, std::size_t size) : slot_(take_slot()) {
    const int fd = slots()[slot_].fd;
    if (ftruncate(fd, 0) != 0 || pwrite(fd, data, size, 0) != static_cast<ssize_t>(size)) {
      abort();
    }
  }
  ~MemoryFile() { slots()[slot_].taken = false; }
  MemoryFile(const MemoryFile&) = delete;
  MemoryFile& operator=(const MemoryFile&) = delete;

  const char* path() const { return slots()[slot_].path.c_str(); }

 private:
  struct Slot {
    int fd = -1;
    bool taken = false;
    std::string path;
  };

  // As many files as a target holds at once.
  static std::array<Slot, 4>& slots() {
    static std::array<Slot, 4> files;
    return files;
  }

  static std::size_t take_slot() {
    for (std::size_t i = 0; i < slots().size(); ++i) {
      Slot& slot = slots()[i];
      if (!slot.taken) {
        if (slot.fd < 0) {
          slot.fd = memfd_create("fuzz-input", MFD_CLOEXEC);
          if (slot.fd < 0) {
            abort();
          }
          slot.path = "/proc/self/fd/" + std::to_string(slot.fd);
        }
        slot.taken = true;
        return i;
      }
    }
    abort();
  }

  std::size_t slot_;
};

}  // namespace fuzz_support
