// A fuzz input as a file without touching the host's file system: an anonymous memory file,
// reached through /proc/self/fd.
//
// The memory file is made once and rewritten for every input: making and dropping one per
// input cost an inode and its pages each time, a third of a run's time in the kernel.
#pragma once

#include <sys/mman.h>
#include <unistd.h>

#include <cstddef>
#include <cstdlib>
#include <string>

namespace fuzz_support {

// Makes the memory file hold the `size` bytes at `data` and returns its path. There is one
// file: the path reads what the last call wrote.
inline const char* memory_file(const void* data, std::size_t size) {
  static const int fd = memfd_create("fuzz-input", MFD_CLOEXEC);
  static const std::string path = "/proc/self/fd/" + std::to_string(fd);
  if (fd < 0 || ftruncate(fd, 0) != 0 || pwrite(fd, data, size, 0) != static_cast<ssize_t>(size)) {
    abort();
  }
  return path.c_str();
}

}  // namespace fuzz_support
