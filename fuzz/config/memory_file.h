// A fuzz input as a file without touching the host's file system: an anonymous memory file,
// reached through /proc/self/fd.
#pragma once

#include <sys/mman.h>
#include <unistd.h>

#include <cstddef>
#include <cstdint>
#include <cstdlib>
#include <string>

namespace fuzz_support {

class MemoryFile {
 public:
  MemoryFile(const uint8_t* data, std::size_t size) : fd_(memfd_create("fuzz-input", 0)) {
    if (fd_ < 0 || write(fd_, data, size) != static_cast<ssize_t>(size)) {
      abort();
    }
    path_ = "/proc/self/fd/" + std::to_string(fd_);
  }
  ~MemoryFile() { close(fd_); }
  MemoryFile(const MemoryFile&) = delete;
  MemoryFile& operator=(const MemoryFile&) = delete;

  const char* path() const { return path_.c_str(); }

 private:
  int fd_;
  std::string path_;
};

}  // namespace fuzz_support
