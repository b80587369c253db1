// Preloaded into the processes of the camera's sandbox beside the board clock: the kernel's
// mount table as the camera's kernel would show it. The card's partitions are served by
// fusefat, which the kernel lists as "fuse.vfat" with FUSE's options; a camera lists them as
// "vfat" with the vfat driver's options. The board's own mounts under /run/board are not the
// camera's and are left out. Every other line is the kernel's own.
//
// Opens of /proc/mounts, /proc/self/mounts and /etc/mtab get a private copy of the table with
// those changes (a memory file, read like the real one).
#include <dlfcn.h>
#include <fcntl.h>
#include <stdarg.h>
#include <stdio.h>
#include <string.h>
#include <sys/mman.h>
#include <unistd.h>

namespace {

// What the kernel lists for a vfat mount with the camera's options, after "rw" or "ro".
constexpr char kVfatOptions[] =
    ",noatime,fmask=0022,dmask=0022,codepage=437,iocharset=iso8859-1,shortname=mixed,"
    "errors=remount-ro";
constexpr char kBoardDir[] = "/run/board/";
constexpr size_t kTableBytes = 64 * 1024;

using OpenAt = int (*)(int, const char*, int, ...);

bool is_mount_table(const char* path) {
  return path != nullptr &&
         (strcmp(path, "/proc/mounts") == 0 || strcmp(path, "/proc/self/mounts") == 0 ||
          strcmp(path, "/etc/mtab") == 0);
}

// Appends `text` (of `size` bytes) to `out` if it fits.
void put(char* out, size_t* used, const char* text, size_t size) {
  if (*used + size < kTableBytes) {
    memcpy(out + *used, text, size);
    *used += size;
  }
}

// One line of the kernel's table, changed as the camera's kernel would show it.
void put_line(char* out, size_t* used, const char* line, size_t size) {
  const char* fields[4];
  size_t lengths[4];
  const char* at = line;
  const char* end = line + size;
  for (int i = 0; i < 4; ++i) {
    const char* blank = static_cast<const char*>(memchr(at, ' ', static_cast<size_t>(end - at)));
    if (blank == nullptr) {
      put(out, used, line, size);  // not a table line: as it is
      return;
    }
    fields[i] = at;
    lengths[i] = static_cast<size_t>(blank - at);
    at = blank + 1;
  }
  if (lengths[1] >= sizeof kBoardDir - 1 &&
      memcmp(fields[1], kBoardDir, sizeof kBoardDir - 1) == 0) {
    return;
  }
  if (lengths[2] != 9 || memcmp(fields[2], "fuse.vfat", 9) != 0) {
    put(out, used, line, size);
    return;
  }
  put(out, used, fields[0], lengths[0] + 1 + lengths[1] + 1);  // device and mount point
  put(out, used, "vfat ", 5);
  put(out, used, fields[3], 2);  // "rw" or "ro"
  put(out, used, kVfatOptions, sizeof kVfatOptions - 1);
  put(out, used, fields[3] + lengths[3], static_cast<size_t>(end - (fields[3] + lengths[3])));
}

// A memory file holding the camera's view of the table, at its start; -1 on failure.
int camera_mount_table() {
  static OpenAt real_openat = reinterpret_cast<OpenAt>(dlsym(RTLD_NEXT, "openat"));
  if (real_openat == nullptr) {
    return -1;
  }
  const int kernel = real_openat(AT_FDCWD, "/proc/self/mounts", O_RDONLY | O_CLOEXEC);
  if (kernel < 0) {
    return -1;
  }
  // Two buffers of their own per call: any thread of any program may open the table.
  void* pages =
      mmap(nullptr, 2 * kTableBytes, PROT_READ | PROT_WRITE, MAP_PRIVATE | MAP_ANONYMOUS, -1, 0);
  if (pages == MAP_FAILED) {
    close(kernel);
    return -1;
  }
  char* table = static_cast<char*>(pages);
  char* shown = table + kTableBytes;
  size_t size = 0;
  for (ssize_t got;
       size < kTableBytes - 1 && (got = read(kernel, table + size, kTableBytes - 1 - size)) > 0;) {
    size += static_cast<size_t>(got);
  }
  close(kernel);
  size_t used = 0;
  for (size_t start = 0; start < size;) {
    const char* newline = static_cast<const char*>(memchr(table + start, '\n', size - start));
    const size_t stop = newline != nullptr ? static_cast<size_t>(newline - table) + 1 : size;
    put_line(shown, &used, table + start, stop - start);
    start = stop;
  }
  int memory = memfd_create("mounts", MFD_CLOEXEC);
  if (memory >= 0 && (write(memory, shown, used) != static_cast<ssize_t>(used) ||
                      lseek(memory, 0, SEEK_SET) != 0)) {
    close(memory);
    memory = -1;
  }
  munmap(pages, 2 * kTableBytes);
  return memory;
}

int mode_argument(int flags, va_list args) {
  return (flags & O_CREAT) != 0 || (flags & O_TMPFILE) == O_TMPFILE ? va_arg(args, int) : 0;
}

int open_at(int dir, const char* path, int flags, int mode) {
  if (is_mount_table(path) && (flags & O_ACCMODE) == O_RDONLY) {
    const int table = camera_mount_table();
    if (table >= 0) {
      return table;
    }
  }
  static OpenAt real_openat = reinterpret_cast<OpenAt>(dlsym(RTLD_NEXT, "openat"));
  return real_openat != nullptr ? real_openat(dir, path, flags, mode) : -1;
}

}  // namespace

extern "C" {

__attribute__((visibility("default"))) int open(const char* path, int flags, ...) {
  va_list args;
  va_start(args, flags);
  const int mode = mode_argument(flags, args);
  va_end(args);
  return open_at(AT_FDCWD, path, flags, mode);
}

__attribute__((visibility("default"))) int open64(const char* path, int flags, ...) {
  va_list args;
  va_start(args, flags);
  const int mode = mode_argument(flags, args);
  va_end(args);
  return open_at(AT_FDCWD, path, flags, mode);
}

__attribute__((visibility("default"))) int openat(int dir, const char* path, int flags, ...) {
  va_list args;
  va_start(args, flags);
  const int mode = mode_argument(flags, args);
  va_end(args);
  return open_at(dir, path, flags, mode);
}

__attribute__((visibility("default"))) int openat64(int dir, const char* path, int flags, ...) {
  va_list args;
  va_start(args, flags);
  const int mode = mode_argument(flags, args);
  va_end(args);
  return open_at(dir, path, flags, mode);
}

__attribute__((visibility("default"))) FILE* fopen(const char* path, const char* mode) {
  using Fopen = FILE* (*)(const char*, const char*);
  static Fopen real_fopen = reinterpret_cast<Fopen>(dlsym(RTLD_NEXT, "fopen"));
  if (is_mount_table(path) && mode != nullptr && mode[0] == 'r' && strchr(mode, '+') == nullptr) {
    const int table = camera_mount_table();
    if (table >= 0) {
      return fdopen(table, "r");
    }
  }
  return real_fopen != nullptr ? real_fopen(path, mode) : nullptr;
}

__attribute__((visibility("default"))) FILE* fopen64(const char* path, const char* mode) {
  return fopen(path, mode);
}

}  // extern "C"
