// The camera board's tag store: the flash partition /dev/mtd1 that survives reboots and that
// the boot loader turns into the kernel command line. On the simulated board it is a plain
// file of kStoreSize bytes.
//
// Layout (little-endian):
//   0  "TAGS"                      magic
//   4  u16 version (1), u16 0
//   8  u8 tagbk, u8 riscv_fw, u8 sensor_setting_fw, u8 0
//                                  the boot loader's checks of the partitions beside the tags
//  12  u32 payload length
//  16  u32 CRC-32 (zlib) of the payload
//  20  payload: one "namespace key value\n" line per tag
//  ..  0xFF (erased flash) up to kStoreSize
// An erased or damaged store (wrong magic, impossible length, CRC mismatch) holds no tags.
#pragma once

#include <cstddef>
#include <cstdint>
#include <optional>
#include <string>
#include <string_view>
#include <vector>

namespace sim::tagstore {

inline constexpr std::size_t kStoreSize = 64 * 1024;
inline constexpr std::size_t kHeaderSize = 20;
inline constexpr char kDevicePath[] = "/dev/mtd1";

struct Tag {
  std::string space;  // namespace: "dovu", "warn_led", ...
  std::string key;
  long value = 0;
};

// The boot loader's verdicts on the partitions beside the tags (0 good).
struct Markers {
  uint8_t tagbk = 0;
  uint8_t riscv_fw = 0;
  uint8_t sensor_setting_fw = 0;
};

struct TagEnv {
  std::vector<Tag> tags;  // in the order they were first set
  Markers markers;

  // Sets a tag, keeping its place when it exists.
  void set(std::string_view space, std::string_view key, long value);
  std::optional<long> get(std::string_view space, std::string_view key) const;
};

// Namespaces and keys are letters, digits and "_" (1..31 characters): they end up on the
// kernel command line, where nothing else may appear.
bool valid_name(std::string_view name);

// The tags of a fresh board: what /system/opt/tag/tag.bin holds.
TagEnv default_tag_env();

// Image bytes of an environment (header and payload, without the erased tail).
std::vector<uint8_t> encode_tag_env(const TagEnv& env);
// The environment in a store or image; nothing when it is erased or damaged.
std::optional<TagEnv> decode_tag_env(const std::vector<uint8_t>& bytes);

// File operations. Each takes an exclusive lock on the store file for its duration, so
// concurrent tag_env_info runs never lose each other's writes. They return 0 or -1 and put
// a reason into `ret_error` when one is given.
int create_store(const std::string& path, const TagEnv& env, std::string* ret_error = nullptr);
int read_store(const std::string& path, std::vector<uint8_t>& ret_bytes,
               std::string* ret_error = nullptr);
std::optional<TagEnv> read_tag_env(const std::string& path, std::string* ret_error = nullptr);
// Refused on an erased or damaged store: the tags cannot be found there.
int set_tag(const std::string& path, std::string_view space, std::string_view key, long value,
            std::string* ret_error = nullptr);
int set_markers(const std::string& path, const Markers& markers, std::string* ret_error = nullptr);
// Fills the whole store with 0xFF, as erasing flash does.
int erase_store(const std::string& path, std::string* ret_error = nullptr);
// Erases the blocks the image needs, writes it at offset 0 and reads it back to verify.
int flash_image(const std::string& image_path, const std::string& path,
                std::string* ret_error = nullptr);
// Flips one bit of the stored checksum, as a worn or interrupted flash write would.
int damage_store(const std::string& path, std::string* ret_error = nullptr);

}  // namespace sim::tagstore
