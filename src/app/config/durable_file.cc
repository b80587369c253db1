#include "app/config/durable_file.h"

#include <fcntl.h>
#include <unistd.h>

#include <algorithm>
#include <atomic>
#include <cerrno>
#include <cstdio>
#include <string>
#include <vector>

namespace {

std::atomic<long> g_power_budget{-1};
std::atomic<long> g_units_used{0};

// Grants up to `wanted` units of work while the power lasts.
std::size_t take_units(std::size_t wanted) {
  long budget = g_power_budget.load();
  std::size_t granted = wanted;
  if (budget >= 0) {
    granted = std::min(static_cast<std::size_t>(budget), wanted);
    g_power_budget = budget - static_cast<long>(granted);
  }
  g_units_used += static_cast<long>(granted);
  return granted;
}

bool take_unit() {
  return take_units(1) == 1;
}

class Fd {
 public:
  explicit Fd(int fd) : fd_(fd) {}
  ~Fd() {
    if (fd_ >= 0) {
      close(fd_);
    }
  }
  Fd(const Fd&) = delete;
  Fd& operator=(const Fd&) = delete;
  int get() const { return fd_; }
  int release_and_close() {
    int result = close(fd_);
    fd_ = -1;
    return result;
  }

 private:
  int fd_;
};

bool write_all(int fd, const unsigned char* data, std::size_t size) {
  while (size > 0) {
    ssize_t written = write(fd, data, size);
    if (written < 0) {
      if (errno == EINTR) {
        continue;
      }
      return false;
    }
    data += written;
    size -= static_cast<std::size_t>(written);
  }
  return true;
}

std::string folder_of(const std::string& path) {
  std::size_t slash = path.rfind('/');
  if (slash == std::string::npos) {
    return ".";
  }
  return slash == 0 ? "/" : path.substr(0, slash);
}

// The rename lasts only once the folder that records it is on the medium.
bool flush_folder(const std::string& folder) {
  Fd fd(open(folder.c_str(), O_RDONLY | O_DIRECTORY | O_CLOEXEC));
  return fd.get() >= 0 && fsync(fd.get()) == 0;
}

}  // namespace

DurableWrite write_file_durably(const char* path, const void* data, std::size_t size) {
  const std::string temporary = std::string(path) + ".tmp";
  if (!take_unit()) {
    return DurableWrite::kOpenFailed;
  }
  Fd fd(open(temporary.c_str(), O_WRONLY | O_CREAT | O_TRUNC | O_CLOEXEC, 0644));
  if (fd.get() < 0) {
    return DurableWrite::kOpenFailed;
  }
  std::size_t granted = take_units(size);
  if (!write_all(fd.get(), static_cast<const unsigned char*>(data), granted) || granted < size) {
    return DurableWrite::kWriteFailed;
  }
  if (!take_unit() || fsync(fd.get()) != 0 || fd.release_and_close() != 0) {
    return DurableWrite::kWriteFailed;
  }
  if (!take_unit() || rename(temporary.c_str(), path) != 0) {
    return DurableWrite::kWriteFailed;
  }
  if (!take_unit() || !flush_folder(folder_of(path))) {
    return DurableWrite::kWriteFailed;
  }
  return DurableWrite::kDone;
}

int copy_file_durably(const char* source, const char* target) {
  Fd fd(open(source, O_RDONLY | O_CLOEXEC));
  if (fd.get() < 0) {
    return -1;
  }
  std::vector<unsigned char> content;
  unsigned char chunk[4096];
  for (;;) {
    ssize_t got = read(fd.get(), chunk, sizeof chunk);
    if (got < 0 && errno == EINTR) {
      continue;
    }
    if (got < 0) {
      return -1;
    }
    if (got == 0) {
      break;
    }
    content.insert(content.end(), chunk, chunk + got);
  }
  return write_file_durably(target, content.data(), content.size()) == DurableWrite::kDone ? 0 : -1;
}

void storage_cut_power_after(long units) {
  g_power_budget = units;
  g_units_used = 0;
}

long storage_units_used() {
  return g_units_used;
}
