#include "fuzz/links/memory_port.h"

#include <fcntl.h>
#include <sys/types.h>
#include <unistd.h>

#include <cstdlib>
#include <cstring>

namespace {

struct Port {
  int fd = -1;
  const uint8_t* data = nullptr;
  std::size_t size = 0;
  std::size_t next = 0;
};

Port port;

}  // namespace

extern "C" ssize_t __real_read(int fd, void* buffer, size_t count);

extern "C" ssize_t __wrap_read(int fd, void* buffer, size_t count) {
  if (fd != port.fd || fd < 0) {
    return __real_read(fd, buffer, count);
  }
  const std::size_t left = port.size - port.next;
  const std::size_t taken = count < left ? count : left;
  if (taken > 0) {
    memcpy(buffer, port.data + port.next, taken);
    port.next += taken;
  }
  return static_cast<ssize_t>(taken);
}

namespace fuzz_links {

int load_port(const uint8_t* data, std::size_t size) {
  if (port.fd < 0) {
    // A descriptor of its own, so that no file the run opens can share its number.
    port.fd = open("/dev/null", O_RDONLY | O_CLOEXEC);
    if (port.fd < 0) {
      abort();
    }
  }
  port.data = data;
  port.size = size;
  port.next = 0;
  return port.fd;
}

}  // namespace fuzz_links
