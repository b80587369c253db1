// Preloaded into fusefat by the board's mount tool: makes the FUSE FAT driver answer as the
// kernel's vfat driver does where the two differ.
//
// - A volume with no free cluster refuses a write with ENOSPC ("No space left on device");
//   with fusefat the writer gets EIO or EPERM.
// - Truncation on open: the kernel opens the file and then truncates it, but fusefat's open
//   file keeps the clusters it had, so the rewrite lands in freed clusters (the FAT no longer
//   owns the file's data). The mount asks for O_TRUNC to come with the open instead, and the
//   file is truncated before fusefat opens it.
// - A write past the end of a file leaves the gap without clusters; the gap is written with
//   zeros first, as it reads on any FAT.
// - Dates: fusefat writes the month of a directory entry as the C library's 0-based month and
//   reads it back the same way, so every date on the card is a month early for any other FAT
//   reader (mtools, a PC, the Modem). Its gmtime_r gets the real 1-based month, and its mktime
//   gets the stored month back as 0-based.
#define FUSE_USE_VERSION 26

#include <dlfcn.h>
#include <errno.h>
#include <fcntl.h>
#include <fuse.h>
#include <string.h>
#include <sys/statvfs.h>
#include <time.h>

namespace {

fuse_operations g_fat{};  // fusefat's own operations

bool volume_full() {
  struct statvfs st {};
  return g_fat.statfs != nullptr && g_fat.statfs("/", &st) == 0 && st.f_bfree == 0;
}

// fusefat fails an allocation on a full volume with EPERM or EIO.
int no_space_if_full(int result) {
  return (result == -EIO || result == -EPERM) && volume_full() ? -ENOSPC : result;
}

// Writes zeros from the end of the file up to `offset`.
int fill_gap(const char* path, off_t offset, fuse_file_info* fi) {
  struct stat st {};
  const int found =
      g_fat.fgetattr != nullptr ? g_fat.fgetattr(path, &st, fi) : g_fat.getattr(path, &st);
  if (found != 0) {
    return found;
  }
  static const char zeros[4096] = {};
  for (off_t at = st.st_size; at < offset;) {
    const size_t chunk = static_cast<size_t>(offset - at < 4096 ? offset - at : 4096);
    const int written = g_fat.write(path, zeros, chunk, at, fi);
    if (written <= 0) {
      return written < 0 ? written : -EIO;
    }
    at += written;
  }
  return 0;
}

// A write it cannot place may also come back short, which the kernel turns into EIO.
int fixed_write(const char* path, const char* buffer, size_t size, off_t offset,
                fuse_file_info* fi) {
  const int gap = fill_gap(path, offset, fi);
  if (gap != 0) {
    return no_space_if_full(gap);
  }
  const int written = g_fat.write(path, buffer, size, offset, fi);
  if (written >= 0 && static_cast<size_t>(written) < size && volume_full()) {
    return -ENOSPC;
  }
  return no_space_if_full(written);
}
int fixed_open(const char* path, fuse_file_info* fi) {
  if ((fi->flags & O_TRUNC) != 0 && g_fat.truncate != nullptr) {
    const int truncated = g_fat.truncate(path, 0);
    if (truncated != 0) {
      return truncated;
    }
  }
  return g_fat.open(path, fi);
}
int fixed_create(const char* path, mode_t mode, fuse_file_info* fi) {
  return no_space_if_full(g_fat.create(path, mode, fi));
}
int fixed_mknod(const char* path, mode_t mode, dev_t dev) {
  return no_space_if_full(g_fat.mknod(path, mode, dev));
}
// A folder needs a cluster of its own: on a full volume fusefat would make the entry anyway,
// with cluster 0, which FAT32 reads as the root (a folder that holds itself).
int fixed_mkdir(const char* path, mode_t mode) {
  if (volume_full()) {
    return -ENOSPC;
  }
  return no_space_if_full(g_fat.mkdir(path, mode));
}
int fixed_truncate(const char* path, off_t size) {
  return no_space_if_full(g_fat.truncate(path, size));
}

}  // namespace

extern "C" {

__attribute__((visibility("default"))) int fuse_main_real(int argc, char* argv[],
                                                          const fuse_operations* op, size_t op_size,
                                                          void* user_data) {
  using Main = int (*)(int, char**, const fuse_operations*, size_t, void*);
  auto real = reinterpret_cast<Main>(dlsym(RTLD_NEXT, "fuse_main_real"));
  if (real == nullptr) {
    return 1;
  }
  g_fat = *op;
  fuse_operations fixed = *op;
  fixed.write = g_fat.write != nullptr ? fixed_write : nullptr;
  fixed.open = g_fat.open != nullptr ? fixed_open : nullptr;
  fixed.create = g_fat.create != nullptr ? fixed_create : nullptr;
  fixed.mknod = g_fat.mknod != nullptr ? fixed_mknod : nullptr;
  fixed.mkdir = g_fat.mkdir != nullptr ? fixed_mkdir : nullptr;
  fixed.truncate = g_fat.truncate != nullptr ? fixed_truncate : nullptr;
  return real(argc, argv, &fixed, op_size < sizeof fixed ? op_size : sizeof fixed, user_data);
}

__attribute__((visibility("default"))) tm* gmtime_r(const time_t* when, tm* result) {
  using Gmtime = tm* (*)(const time_t*, tm*);
  static auto real = reinterpret_cast<Gmtime>(dlsym(RTLD_NEXT, "gmtime_r"));
  tm* got = real != nullptr ? real(when, result) : nullptr;
  if (got != nullptr) {
    got->tm_mon += 1;
  }
  return got;
}

__attribute__((visibility("default"))) time_t mktime(tm* broken) {
  using Mktime = time_t (*)(tm*);
  static auto real = reinterpret_cast<Mktime>(dlsym(RTLD_NEXT, "mktime"));
  if (real == nullptr) {
    return static_cast<time_t>(-1);
  }
  broken->tm_mon -= 1;
  return real(broken);
}

}  // extern "C"
