#include "sim/tagstore/tag_store.h"

#include <fcntl.h>
#include <sys/file.h>
#include <sys/stat.h>
#include <unistd.h>

#include <algorithm>
#include <array>
#include <cerrno>
#include <cstring>
#include <sstream>

namespace sim::tagstore {
namespace {

constexpr char kMagic[4] = {'T', 'A', 'G', 'S'};
constexpr uint16_t kVersion = 1;
constexpr std::size_t kEraseBlock = 4096;
constexpr uint8_t kErased = 0xFF;

constexpr std::array<uint32_t, 256> make_crc_table() {
  std::array<uint32_t, 256> table{};
  for (uint32_t n = 0; n < 256; ++n) {
    uint32_t c = n;
    for (int bit = 0; bit < 8; ++bit) {
      c = (c & 1) != 0 ? 0xEDB88320u ^ (c >> 1) : c >> 1;
    }
    table[n] = c;
  }
  return table;
}
constexpr std::array<uint32_t, 256> kCrcTable = make_crc_table();

// The usual zlib CRC-32 (inverted at both ends).
uint32_t crc32(const uint8_t* data, std::size_t size) {
  uint32_t crc = 0xFFFFFFFFu;
  for (std::size_t i = 0; i < size; ++i) {
    crc = kCrcTable[(crc ^ data[i]) & 0xFF] ^ (crc >> 8);
  }
  return ~crc;
}

void put_u16(std::vector<uint8_t>& out, std::size_t at, uint16_t value) {
  out[at] = static_cast<uint8_t>(value);
  out[at + 1] = static_cast<uint8_t>(value >> 8);
}
void put_u32(std::vector<uint8_t>& out, std::size_t at, uint32_t value) {
  for (int i = 0; i < 4; ++i) {
    out[at + static_cast<std::size_t>(i)] = static_cast<uint8_t>(value >> (8 * i));
  }
}
uint32_t get_u32(const std::vector<uint8_t>& in, std::size_t at) {
  return static_cast<uint32_t>(in[at]) | static_cast<uint32_t>(in[at + 1]) << 8 |
         static_cast<uint32_t>(in[at + 2]) << 16 | static_cast<uint32_t>(in[at + 3]) << 24;
}

void fail(std::string* ret_error, const std::string& path, const std::string& what) {
  if (ret_error != nullptr) {
    *ret_error = path + ": " + what;
  }
}

std::string system_error() {
  return strerror(errno);
}

// An open store file, locked for the life of the object.
class LockedFile {
 public:
  LockedFile(const std::string& path, int flags)
      : fd_(open(path.c_str(), flags | O_CLOEXEC, 0644)) {
    if (fd_ >= 0 && flock(fd_, LOCK_EX) != 0) {
      close(fd_);
      fd_ = -1;
    }
  }
  ~LockedFile() {
    if (fd_ >= 0) {
      close(fd_);  // also releases the lock
    }
  }
  LockedFile(const LockedFile&) = delete;
  LockedFile& operator=(const LockedFile&) = delete;
  int fd() const { return fd_; }

  bool read_all(std::vector<uint8_t>& ret_bytes) const {
    struct stat info {};
    if (fstat(fd_, &info) != 0) {
      return false;
    }
    ret_bytes.assign(static_cast<std::size_t>(info.st_size), 0);
    std::size_t done = 0;
    while (done < ret_bytes.size()) {
      ssize_t got =
          pread(fd_, ret_bytes.data() + done, ret_bytes.size() - done, static_cast<off_t>(done));
      if (got < 0 && errno == EINTR) {
        continue;
      }
      if (got <= 0) {
        return false;
      }
      done += static_cast<std::size_t>(got);
    }
    return true;
  }

  bool write_at(std::size_t offset, const uint8_t* data, std::size_t size) const {
    std::size_t done = 0;
    while (done < size) {
      ssize_t put = pwrite(fd_, data + done, size - done, static_cast<off_t>(offset + done));
      if (put < 0 && errno == EINTR) {
        continue;
      }
      if (put <= 0) {
        return false;
      }
      done += static_cast<std::size_t>(put);
    }
    return fsync(fd_) == 0;
  }

 private:
  int fd_;
};

// The whole store content for `env` on a device of `device_size` bytes.
std::vector<uint8_t> device_image(const TagEnv& env, std::size_t device_size) {
  std::vector<uint8_t> image = encode_tag_env(env);
  image.resize(std::max(device_size, image.size()), kErased);
  return image;
}

}  // namespace

void TagEnv::set(std::string_view space, std::string_view key, long value) {
  for (Tag& tag : tags) {
    if (tag.space == space && tag.key == key) {
      tag.value = value;
      return;
    }
  }
  tags.push_back({std::string(space), std::string(key), value});
}

std::optional<long> TagEnv::get(std::string_view space, std::string_view key) const {
  for (const Tag& tag : tags) {
    if (tag.space == space && tag.key == key) {
      return tag.value;
    }
  }
  return std::nullopt;
}

bool valid_name(std::string_view name) {
  if (name.empty() || name.size() > 31) {
    return false;
  }
  for (char c : name) {
    bool ok =
        (c >= 'a' && c <= 'z') || (c >= 'A' && c <= 'Z') || (c >= '0' && c <= '9') || c == '_';
    if (!ok) {
      return false;
    }
  }
  return true;
}

TagEnv default_tag_env() {
  TagEnv env;
  env.set("dovu", "cap_mode", 0);
  env.set("dovu", "prev_ir_mode", 0);
  env.set("dovu", "last_ev_value", 0);
  env.set("dovu", "dovu_glow", 1);
  env.set("dovu", "multishot", 1);
  env.set("dovu", "time_format", 0);
  env.set("dovu", "orve_model", 0);
  env.set("dovu", "quality_mode", 0);
  return env;
}

std::vector<uint8_t> encode_tag_env(const TagEnv& env) {
  std::string payload;
  for (const Tag& tag : env.tags) {
    payload += tag.space + " " + tag.key + " " + std::to_string(tag.value) + "\n";
  }
  std::vector<uint8_t> bytes(kHeaderSize + payload.size(), 0);
  memcpy(bytes.data(), kMagic, sizeof kMagic);
  put_u16(bytes, 4, kVersion);
  bytes[8] = env.markers.tagbk;
  bytes[9] = env.markers.riscv_fw;
  bytes[10] = env.markers.sensor_setting_fw;
  put_u32(bytes, 12, static_cast<uint32_t>(payload.size()));
  memcpy(bytes.data() + kHeaderSize, payload.data(), payload.size());
  put_u32(bytes, 16, crc32(bytes.data() + kHeaderSize, payload.size()));
  return bytes;
}

std::optional<TagEnv> decode_tag_env(const std::vector<uint8_t>& bytes) {
  if (bytes.size() < kHeaderSize || memcmp(bytes.data(), kMagic, sizeof kMagic) != 0) {
    return std::nullopt;
  }
  uint32_t length = get_u32(bytes, 12);
  if (length > bytes.size() - kHeaderSize) {
    return std::nullopt;
  }
  if (crc32(bytes.data() + kHeaderSize, length) != get_u32(bytes, 16)) {
    return std::nullopt;
  }
  TagEnv env;
  env.markers = {bytes[8], bytes[9], bytes[10]};
  std::istringstream lines(
      std::string(reinterpret_cast<const char*>(bytes.data()) + kHeaderSize, length));
  for (std::string line; std::getline(lines, line);) {
    std::istringstream words(line);
    Tag tag;
    if (!(words >> tag.space >> tag.key >> tag.value) || !valid_name(tag.space) ||
        !valid_name(tag.key)) {
      return std::nullopt;
    }
    env.set(tag.space, tag.key, tag.value);
  }
  return env;
}

int create_store(const std::string& path, const TagEnv& env, std::string* ret_error) {
  LockedFile file(path, O_RDWR | O_CREAT | O_TRUNC);
  if (file.fd() < 0) {
    fail(ret_error, path, system_error());
    return -1;
  }
  std::vector<uint8_t> image = device_image(env, kStoreSize);
  if (!file.write_at(0, image.data(), image.size())) {
    fail(ret_error, path, system_error());
    return -1;
  }
  return 0;
}

int read_store(const std::string& path, std::vector<uint8_t>& ret_bytes, std::string* ret_error) {
  LockedFile file(path, O_RDONLY);
  if (file.fd() < 0 || !file.read_all(ret_bytes)) {
    fail(ret_error, path, system_error());
    return -1;
  }
  return 0;
}

std::optional<TagEnv> read_tag_env(const std::string& path, std::string* ret_error) {
  std::vector<uint8_t> bytes;
  if (read_store(path, bytes, ret_error) != 0) {
    return std::nullopt;
  }
  std::optional<TagEnv> env = decode_tag_env(bytes);
  if (!env) {
    fail(ret_error, path, "tag store is erased or damaged");
  }
  return env;
}

namespace {

// Reads, changes and writes back the environment under one lock.
template <typename Change>
int update_store(const std::string& path, std::string* ret_error, Change change) {
  LockedFile file(path, O_RDWR);
  std::vector<uint8_t> bytes;
  if (file.fd() < 0 || !file.read_all(bytes)) {
    fail(ret_error, path, system_error());
    return -1;
  }
  std::optional<TagEnv> env = decode_tag_env(bytes);
  if (!env) {
    fail(ret_error, path, "tag store is erased or damaged");
    return -1;
  }
  change(*env);
  std::vector<uint8_t> image = device_image(*env, bytes.size());
  if (image.size() > bytes.size()) {
    fail(ret_error, path, "tag store is full");
    return -1;
  }
  // Only the part that held or holds tags is rewritten; the erased tail stays as it is.
  std::size_t used = std::max(encode_tag_env(*env).size(), kHeaderSize + get_u32(bytes, 12));
  if (!file.write_at(0, image.data(), std::min(used, image.size()))) {
    fail(ret_error, path, system_error());
    return -1;
  }
  return 0;
}

}  // namespace

int set_tag(const std::string& path, std::string_view space, std::string_view key, long value,
            std::string* ret_error) {
  if (!valid_name(space) || !valid_name(key)) {
    fail(ret_error, path, "namespace and key must be letters, digits and _");
    return -1;
  }
  return update_store(path, ret_error, [&](TagEnv& env) { env.set(space, key, value); });
}

int set_markers(const std::string& path, const Markers& markers, std::string* ret_error) {
  return update_store(path, ret_error, [&](TagEnv& env) { env.markers = markers; });
}

int erase_store(const std::string& path, std::string* ret_error) {
  LockedFile file(path, O_RDWR);
  std::vector<uint8_t> bytes;
  if (file.fd() < 0 || !file.read_all(bytes)) {
    fail(ret_error, path, system_error());
    return -1;
  }
  std::vector<uint8_t> erased(bytes.size(), kErased);
  if (!file.write_at(0, erased.data(), erased.size())) {
    fail(ret_error, path, system_error());
    return -1;
  }
  return 0;
}

int flash_image(const std::string& image_path, const std::string& path, std::string* ret_error) {
  std::vector<uint8_t> image;
  if (read_store(image_path, image, ret_error) != 0) {
    return -1;
  }
  LockedFile file(path, O_RDWR);
  std::vector<uint8_t> device;
  if (file.fd() < 0 || !file.read_all(device)) {
    fail(ret_error, path, system_error());
    return -1;
  }
  if (image.size() > device.size()) {
    fail(ret_error, path, "image is larger than the device");
    return -1;
  }
  // Flash is written by erase blocks: the blocks the image touches are erased first.
  std::size_t blocks = (image.size() + kEraseBlock - 1) / kEraseBlock;
  std::vector<uint8_t> written(std::min(blocks * kEraseBlock, device.size()), kErased);
  std::copy(image.begin(), image.end(), written.begin());
  if (!file.write_at(0, written.data(), written.size())) {
    fail(ret_error, path, system_error());
    return -1;
  }
  std::vector<uint8_t> check;
  if (!file.read_all(check) || !std::equal(image.begin(), image.end(), check.begin())) {
    fail(ret_error, path, "verify failed");
    return -1;
  }
  return 0;
}

int damage_store(const std::string& path, std::string* ret_error) {
  LockedFile file(path, O_RDWR);
  std::vector<uint8_t> bytes;
  if (file.fd() < 0 || !file.read_all(bytes) || bytes.size() < kHeaderSize) {
    fail(ret_error, path, "cannot read the store");
    return -1;
  }
  // One bit of the stored checksum: the store no longer matches it, whatever it holds.
  constexpr std::size_t kCrcOffset = 16;
  uint8_t flipped = static_cast<uint8_t>(bytes[kCrcOffset] ^ 0x01);
  if (!file.write_at(kCrcOffset, &flipped, 1)) {
    fail(ret_error, path, system_error());
    return -1;
  }
  return 0;
}

}  // namespace sim::tagstore
