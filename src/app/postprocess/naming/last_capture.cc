#include "app/postprocess/naming/last_capture.h"

#include <dirent.h>
#include <fcntl.h>
#include <sys/stat.h>
#include <unistd.h>

#include <array>
#include <cerrno>
#include <cstdint>
#include <cstdio>
#include <cstring>
#include <string_view>

#include "app/postprocess/naming/media_names.h"
#include "app/records/log/app_log.h"
#include "app/system/core/shell.h"

namespace {

constexpr std::string_view kEncryptedMagic = "Salted__";
// In the partition root: out of the DCIM and TRANSMIT folders that moves and uploads read.
constexpr char kMarkerName[] = ".capture";

// Reads `count` bytes at `offset`; false when the file is shorter.
bool read_at(int fd, uint64_t offset, void* buffer, std::size_t count) {
  return pread(fd, buffer, count, static_cast<off_t>(offset)) == static_cast<ssize_t>(count);
}

class OpenFile {
 public:
  explicit OpenFile(const std::string& path) : fd_(open(path.c_str(), O_RDONLY | O_CLOEXEC)) {
    struct stat info;
    size_ = fd_ >= 0 && fstat(fd_, &info) == 0 ? static_cast<uint64_t>(info.st_size) : 0;
  }
  ~OpenFile() {
    if (fd_ >= 0) {
      close(fd_);
    }
  }
  OpenFile(const OpenFile&) = delete;
  OpenFile& operator=(const OpenFile&) = delete;

  bool opened() const { return fd_ >= 0; }
  int fd() const { return fd_; }
  uint64_t size() const { return size_; }
  bool encrypted() const {
    std::array<char, kEncryptedMagic.size()> head;
    return read_at(fd_, 0, head.data(), head.size()) &&
           std::string_view(head.data(), head.size()) == kEncryptedMagic;
  }

 private:
  int fd_;
  uint64_t size_ = 0;
};

uint32_t big_endian32(const uint8_t* bytes) {
  return static_cast<uint32_t>(bytes[0]) << 24 | static_cast<uint32_t>(bytes[1]) << 16 |
         static_cast<uint32_t>(bytes[2]) << 8 | bytes[3];
}

bool four_digits(std::string_view text) {
  return text.size() == 4 && text.find_first_not_of("0123456789") == std::string_view::npos;
}

bool camera_name(std::string_view name) {
  auto shaped = [&](std::string_view prefix, std::string_view suffix) {
    return name.size() == prefix.size() + 4 + suffix.size() && name.starts_with(prefix) &&
           name.ends_with(suffix) && four_digits(name.substr(prefix.size(), 4));
  };
  return shaped("PICT", ".JPG") || shaped("HD", ".JPG") || shaped("VID", ".MP4") ||
         shaped("VI", "_1.JPG") || shaped("VI", "_2.JPG") || shaped("VI", "_3.JPG");
}

// What the encoder (".NAME.part") and the encryption ("_NAME") write beside a picture.
bool left_beside(std::string_view name) {
  if (name.starts_with(".") && name.ends_with(".part")) {
    return camera_name(name.substr(1, name.size() - 1 - std::strlen(".part")));
  }
  return name.starts_with("_") && camera_name(name.substr(1));
}

void remove_file(const std::string& path, const char* why) {
  run_shellf("rm -f %s", shell_quote(path).c_str());
  app_log(MOD_POSTPROCESS, LEVEL_ERR, "Removed %s: %s", path.c_str(), why);
}

void remove_left_beside(const std::string& folder) {
  DIR* entries = opendir(folder.c_str());
  if (entries == nullptr) {
    return;
  }
  while (const dirent* entry = readdir(entries)) {
    if (left_beside(entry->d_name)) {
      remove_file(folder + "/" + entry->d_name, "left over by a power loss");
    }
  }
  closedir(entries);
}

void remove_if_broken(const std::string& path, bool (*whole)(const std::string&)) {
  struct stat info;
  if (stat(path.c_str(), &info) == 0 && S_ISREG(info.st_mode) && !whole(path)) {
    remove_file(path, "cut short by a power loss");
  }
}

std::string printed(const char* format, const char* root, int first, int second = 0) {
  char path[256];
#pragma GCC diagnostic push
#pragma GCC diagnostic ignored "-Wformat-nonliteral"
  snprintf(path, sizeof path, format, root, first, second);
#pragma GCC diagnostic pop
  return path;
}

}  // namespace

bool jpeg_whole(const std::string& path) {
  const OpenFile file(path);
  if (!file.opened()) {
    return false;
  }
  if (file.encrypted()) {
    return true;
  }
  uint8_t start[2];
  uint8_t end[2];
  return file.size() >= 4 && read_at(file.fd(), 0, start, 2) && start[0] == 0xFF &&
         start[1] == 0xD8 && read_at(file.fd(), file.size() - 2, end, 2) && end[0] == 0xFF &&
         end[1] == 0xD9;
}

bool mp4_whole(const std::string& path) {
  const OpenFile file(path);
  if (!file.opened()) {
    return false;
  }
  if (file.encrypted()) {
    return true;
  }
  bool movie = false;
  uint64_t offset = 0;
  while (offset < file.size()) {
    uint8_t header[16];
    if (!read_at(file.fd(), offset, header, 8)) {
      return false;
    }
    uint64_t size = big_endian32(header);
    if (size == 1) {
      if (!read_at(file.fd(), offset + 8, header + 8, 8)) {
        return false;
      }
      size = static_cast<uint64_t>(big_endian32(header + 8)) << 32 | big_endian32(header + 12);
    } else if (size == 0) {
      size = file.size() - offset;  // a box that runs to the end of the file
    }
    if (size < 8 || size > file.size() - offset) {
      return false;
    }
    movie = movie || std::memcmp(header + 4, "moov", 4) == 0;
    offset += size;
  }
  return movie && offset == file.size();
}

CaptureMarker::CaptureMarker(const char* root, int folder, int file)
    : path_(std::string(root) + "/" + kMarkerName) {
  // Written through to the card before the first picture of the capture is.
  const int fd = open(path_.c_str(), O_WRONLY | O_CREAT | O_TRUNC | O_CLOEXEC, 0644);
  if (fd < 0) {
    app_log(MOD_POSTPROCESS, LEVEL_ERR, "Cannot write %s: %s", path_.c_str(), strerror(errno));
    return;
  }
  char text[32];
  const int length = snprintf(text, sizeof text, "%d %d\n", folder, file);
  if (write(fd, text, static_cast<std::size_t>(length)) != length || fsync(fd) != 0) {
    app_log(MOD_POSTPROCESS, LEVEL_ERR, "Cannot write %s: %s", path_.c_str(), strerror(errno));
  }
  close(fd);
}

CaptureMarker::~CaptureMarker() {
  unlink(path_.c_str());
}

void remove_broken_last_capture(const char* root) {
  const std::string marker = std::string(root) + "/" + kMarkerName;
  FILE* file = fopen(marker.c_str(), "r");
  if (file == nullptr) {
    return;
  }
  int folder = 0;
  int number = 0;
  const bool named = fscanf(file, "%d %d", &folder, &number) == 2 && folder >= 100 &&
                     folder <= 999 && number >= 1 && number <= 9999;
  fclose(file);
  if (named) {
    app_log(MOD_POSTPROCESS, LEVEL_ERR, "Capture %dDSCIM/%04d on %s was cut short", folder, number,
            root);
    remove_left_beside(printed("%s/DCIM/%dDSCIM", root, folder));
    remove_left_beside(std::string(root) + "/TRANSMIT");
    remove_if_broken(printed(kPhotoName, root, folder, number), jpeg_whole);
    remove_if_broken(printed(kHdPhotoName, root, folder, number), jpeg_whole);
    remove_if_broken(printed(kVideoName, root, folder, number), mp4_whole);
    remove_if_broken(printed(kUploadPhotoName, root, number), jpeg_whole);
    for (int preview = 1; preview <= 3; ++preview) {
      remove_if_broken(printed(kVideoPreviewName, root, number, preview), jpeg_whole);
    }
  }
  unlink(marker.c_str());
}
