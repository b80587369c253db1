// Preloaded into fusefat with fusefat_fix.cc: a cache of the card's blocks in fusefat's own
// memory, as the kernel's buffer cache holds them for its FAT driver.
//
// fusefat reads the card with lseek() and read() of 32 bytes at a time, and looks a name up by
// reading its whole folder so. A folder of a few hundred files (the camera's logs after weeks
// in the field) then costs hundreds of thousands of system calls per file created or looked
// up, where a camera's kernel reads each block of the folder once. Reads of the card's device
// are served here from 4 KiB blocks read once; writes go through to the card at once
// (write-through, nothing held back), so a power cut stops them where it falls, and update the
// blocks they touch. fusefat runs single-threaded (-s): nothing here is locked.
#include <dlfcn.h>
#include <errno.h>
#include <fcntl.h>
#include <stdarg.h>
#include <stdint.h>
#include <stdlib.h>
#include <string.h>
#include <sys/stat.h>
#include <unistd.h>

namespace {

constexpr off64_t kBlockBytes = 4096;
// Past this many blocks (64 MiB) the cache starts again empty.
constexpr size_t kMostBlocks = 16384;
constexpr char kCardDevices[] = "/dev/mmcblk";

using OpenAt = int (*)(int, const char*, int, ...);
using Lseek64 = off64_t (*)(int, off64_t, int);
using Read = ssize_t (*)(int, void*, size_t);
using Write = ssize_t (*)(int, const void*, size_t);
using Close = int (*)(int);

template <typename Function>
Function real(const char* name) {
  return reinterpret_cast<Function>(dlsym(RTLD_NEXT, name));
}

// The card device fusefat opened, its position and its cached blocks (by block number).
struct Device {
  int fd = -1;
  off64_t position = 0;
  off64_t size = 0;
  uint8_t** blocks = nullptr;
  size_t blockCount = 0;
  size_t cached = 0;
};
Device g_device;

void drop_blocks() {
  for (size_t i = 0; i < g_device.blockCount && g_device.cached > 0; ++i) {
    if (g_device.blocks[i] != nullptr) {
      free(g_device.blocks[i]);
      g_device.blocks[i] = nullptr;
      --g_device.cached;
    }
  }
  g_device.cached = 0;
}

void forget_device() {
  drop_blocks();
  free(g_device.blocks);
  g_device = Device{};
}

// The block `number`, read from the card when not cached; null when the card cannot give it
// whole (past its end, or gone from the slot).
const uint8_t* block(off64_t number) {
  const size_t index = static_cast<size_t>(number);
  if (index >= g_device.blockCount) {
    return nullptr;
  }
  if (g_device.blocks[index] != nullptr) {
    return g_device.blocks[index];
  }
  if (g_device.cached >= kMostBlocks) {
    drop_blocks();
  }
  auto* bytes = static_cast<uint8_t*>(malloc(kBlockBytes));
  if (bytes == nullptr) {
    return nullptr;
  }
  if (pread64(g_device.fd, bytes, kBlockBytes, number * kBlockBytes) != kBlockBytes) {
    free(bytes);
    return nullptr;
  }
  g_device.blocks[index] = bytes;
  ++g_device.cached;
  return bytes;
}

// Reads at the device's position from the cache; falls back to the card for what is not
// whole in it.
ssize_t cached_read(void* buffer, size_t size) {
  auto* out = static_cast<uint8_t*>(buffer);
  size_t done = 0;
  while (done < size) {
    const off64_t at = g_device.position + static_cast<off64_t>(done);
    const uint8_t* bytes = block(at / kBlockBytes);
    if (bytes == nullptr) {
      const ssize_t got = pread64(g_device.fd, out + done, size - done, at);
      if (got < 0) {
        return done > 0 ? static_cast<ssize_t>(done) : got;
      }
      done += static_cast<size_t>(got);
      break;
    }
    const off64_t within = at % kBlockBytes;
    const size_t chunk = static_cast<size_t>(kBlockBytes - within) < size - done
                             ? static_cast<size_t>(kBlockBytes - within)
                             : size - done;
    memcpy(out + done, bytes + within, chunk);
    done += chunk;
  }
  g_device.position += static_cast<off64_t>(done);
  return static_cast<ssize_t>(done);
}

// Writes through to the card at the device's position, then brings the cached blocks it
// touched up to date (or drops them, when the card took less than asked).
ssize_t write_through(const void* buffer, size_t size) {
  const off64_t from = g_device.position;
  const ssize_t put = pwrite64(g_device.fd, buffer, size, from);
  const size_t written = put > 0 ? static_cast<size_t>(put) : 0;
  const auto* in = static_cast<const uint8_t*>(buffer);
  for (off64_t number = from / kBlockBytes;
       number * kBlockBytes < from + static_cast<off64_t>(size == 0 ? 1 : size); ++number) {
    const size_t index = static_cast<size_t>(number);
    if (index >= g_device.blockCount || g_device.blocks[index] == nullptr) {
      continue;
    }
    const off64_t start = number * kBlockBytes > from ? number * kBlockBytes : from;
    const off64_t end = (number + 1) * kBlockBytes < from + static_cast<off64_t>(size)
                            ? (number + 1) * kBlockBytes
                            : from + static_cast<off64_t>(size);
    if (written < static_cast<size_t>(end - from)) {
      free(g_device.blocks[index]);
      g_device.blocks[index] = nullptr;
      --g_device.cached;
      continue;
    }
    memcpy(g_device.blocks[index] + (start - number * kBlockBytes), in + (start - from),
           static_cast<size_t>(end - start));
  }
  if (put > 0) {
    g_device.position += put;
  }
  return put;
}

// Takes the card's device just opened as `fd` under the cache (the first one fusefat opens).
void take_device(int fd) {
  struct stat st {};
  if (g_device.fd >= 0 || fstat(fd, &st) != 0 || st.st_size <= 0) {
    return;
  }
  const size_t count = static_cast<size_t>((st.st_size + kBlockBytes - 1) / kBlockBytes);
  auto** blocks = static_cast<uint8_t**>(calloc(count, sizeof(uint8_t*)));
  if (blocks == nullptr) {
    return;
  }
  g_device.fd = fd;
  g_device.size = st.st_size;
  g_device.blocks = blocks;
  g_device.blockCount = count;
}

// Opens through the C library's openat and takes the card's device under the cache.
int open_and_watch(int dir, const char* path, int flags, mode_t mode) {
  static const auto real_openat = real<OpenAt>("openat");
  const int fd = real_openat(dir, path, flags, mode);
  if (fd >= 0 && strncmp(path, kCardDevices, sizeof kCardDevices - 1) == 0) {
    take_device(fd);
  }
  return fd;
}

// Whether an open with `flags` passes a mode.
bool takes_mode(int flags) {
  return (flags & O_CREAT) != 0 || (flags & O_TMPFILE) == O_TMPFILE;
}

}  // namespace

extern "C" {

// Both open64 (fusefat's call) and openat are here: the board's mount-table shim, preloaded
// before this library, answers open64 itself and passes other paths on to the next openat.
// Named by hand: with 64-bit file offsets the C library's headers rename openat to openat64.
int card_openat(int dir, const char* path, int flags, ...) __asm__("openat");
__attribute__((visibility("default"))) int card_openat(int dir, const char* path, int flags, ...) {
  va_list args;
  va_start(args, flags);
  const mode_t mode = takes_mode(flags) ? static_cast<mode_t>(va_arg(args, int)) : 0;
  va_end(args);
  return open_and_watch(dir, path, flags, mode);
}

__attribute__((visibility("default"))) int open64(const char* path, int flags, ...) {
  va_list args;
  va_start(args, flags);
  const mode_t mode = takes_mode(flags) ? static_cast<mode_t>(va_arg(args, int)) : 0;
  va_end(args);
  return open_and_watch(AT_FDCWD, path, flags, mode);
}

__attribute__((visibility("default"))) off64_t lseek64(int fd, off64_t offset, int whence) {
  static const auto real_lseek = real<Lseek64>("lseek64");
  if (fd != g_device.fd || fd < 0) {
    return real_lseek(fd, offset, whence);
  }
  const off64_t base = whence == SEEK_SET   ? 0
                       : whence == SEEK_CUR ? g_device.position
                       : whence == SEEK_END ? g_device.size
                                            : -1;
  if (base < 0 || base + offset < 0) {
    errno = EINVAL;
    return -1;
  }
  g_device.position = base + offset;
  return g_device.position;
}

__attribute__((visibility("default"))) ssize_t read(int fd, void* buffer, size_t size) {
  static const auto real_read = real<Read>("read");
  return fd == g_device.fd && fd >= 0 ? cached_read(buffer, size) : real_read(fd, buffer, size);
}

__attribute__((visibility("default"))) ssize_t write(int fd, const void* buffer, size_t size) {
  static const auto real_write = real<Write>("write");
  return fd == g_device.fd && fd >= 0 ? write_through(buffer, size) : real_write(fd, buffer, size);
}

__attribute__((visibility("default"))) int close(int fd) {
  static const auto real_close = real<Close>("close");
  if (fd == g_device.fd && fd >= 0) {
    forget_device();
  }
  return real_close(fd);
}

}  // extern "C"
