#include "sim/card/card_layout.h"

#include <unistd.h>

#include <algorithm>
#include <array>
#include <cstdio>
#include <cstring>

namespace sim::card {

namespace {

constexpr uint32_t kFatMask = 0x0fffffff;
constexpr uint32_t kEndOfChain = 0x0fffffff;
constexpr size_t kDirEntryBytes = 32;
// A FAT file holds at most 4 GiB - 1 bytes.
constexpr uint64_t kMaxFileBytes = 0xffffffffull;
// 2024-06-01 12:00:00 in FAT's packed date and time.
constexpr uint16_t kFillDate = ((2024 - 1980) << 9) | (6 << 5) | 1;
constexpr uint16_t kFillTime = 12 << 11;

uint16_t le16(const uint8_t* p) {
  return static_cast<uint16_t>(p[0] | p[1] << 8);
}
uint32_t le32(const uint8_t* p) {
  return static_cast<uint32_t>(p[0]) | static_cast<uint32_t>(p[1]) << 8 |
         static_cast<uint32_t>(p[2]) << 16 | static_cast<uint32_t>(p[3]) << 24;
}
void put16(uint8_t* p, uint16_t v) {
  p[0] = static_cast<uint8_t>(v);
  p[1] = static_cast<uint8_t>(v >> 8);
}
void put32(uint8_t* p, uint32_t v) {
  for (int i = 0; i < 4; ++i) {
    p[i] = static_cast<uint8_t>(v >> (8 * i));
  }
}

int read_all(int fd, void* buffer, size_t size, uint64_t offset) {
  auto* bytes = static_cast<uint8_t*>(buffer);
  while (size > 0) {
    const ssize_t got = pread(fd, bytes, size, static_cast<off_t>(offset));
    if (got <= 0) {
      return -1;
    }
    bytes += got;
    size -= static_cast<size_t>(got);
    offset += static_cast<uint64_t>(got);
  }
  return 0;
}

int write_all(int fd, const void* buffer, size_t size, uint64_t offset) {
  const auto* bytes = static_cast<const uint8_t*>(buffer);
  while (size > 0) {
    const ssize_t put = pwrite(fd, bytes, size, static_cast<off_t>(offset));
    if (put <= 0) {
      return -1;
    }
    bytes += put;
    size -= static_cast<size_t>(put);
    offset += static_cast<uint64_t>(put);
  }
  return 0;
}

// The first FAT as 32-bit entries.
int read_fat(int fd, const FatVolume& volume, std::vector<uint32_t>* ret_fat) {
  std::vector<uint8_t> bytes(volume.fatBytes);
  if (read_all(fd, bytes.data(), bytes.size(), volume.base + volume.fatOffset) != 0) {
    return -1;
  }
  ret_fat->resize(bytes.size() / 4);
  for (size_t i = 0; i < ret_fat->size(); ++i) {
    (*ret_fat)[i] = le32(&bytes[i * 4]);
  }
  return 0;
}

int write_fat(int fd, const FatVolume& volume, const std::vector<uint32_t>& fat, uint32_t copies) {
  std::vector<uint8_t> bytes(fat.size() * 4);
  for (size_t i = 0; i < fat.size(); ++i) {
    put32(&bytes[i * 4], fat[i]);
  }
  for (uint32_t copy = 0; copy < copies; ++copy) {
    const uint64_t at = volume.base + volume.fatOffset + copy * volume.fatBytes;
    if (write_all(fd, bytes.data(), bytes.size(), at) != 0) {
      return -1;
    }
  }
  return 0;
}

std::vector<uint32_t> free_clusters(const FatVolume& volume, const std::vector<uint32_t>& fat) {
  std::vector<uint32_t> found;
  const uint64_t last = std::min<uint64_t>(uint64_t{volume.clusterCount} + 2, fat.size());
  for (uint32_t cluster = 2; cluster < last; ++cluster) {
    if ((fat[cluster] & kFatMask) == 0) {
      found.push_back(cluster);
    }
  }
  return found;
}

// Links `clusters` into one chain, keeping each entry's reserved top bits.
void link_chain(std::vector<uint32_t>& fat, const uint32_t* clusters, size_t count) {
  for (size_t i = 0; i < count; ++i) {
    const uint32_t next = i + 1 < count ? clusters[i + 1] : kEndOfChain;
    fat[clusters[i]] = (fat[clusters[i]] & ~kFatMask) | next;
  }
}

// The FSInfo sector's free count, when the volume has a valid one.
int set_fsinfo_free(int fd, const FatVolume& volume, uint32_t freeClusters) {
  std::array<uint8_t, kSectorBytes> boot{};
  if (read_all(fd, boot.data(), boot.size(), volume.base) != 0) {
    return -1;
  }
  const uint64_t at = volume.base + uint64_t{le16(&boot[0x30])} * volume.bytesPerSector;
  std::array<uint8_t, kSectorBytes> info{};
  if (read_all(fd, info.data(), info.size(), at) != 0) {
    return -1;
  }
  if (le32(&info[0]) != 0x41615252 || le32(&info[484]) != 0x61417272) {
    return 0;
  }
  put32(&info[488], freeClusters);
  return write_all(fd, info.data(), info.size(), at);
}

// Byte offsets of the free entries of the root folder (it is not grown).
std::vector<uint64_t> free_root_entries(int fd, const FatVolume& volume,
                                        const std::vector<uint32_t>& fat, size_t wanted) {
  std::vector<uint64_t> found;
  std::vector<uint8_t> cluster(volume.clusterBytes);
  uint32_t current = volume.rootCluster;
  for (uint32_t hops = 0; current >= 2 && current < fat.size() && hops < volume.clusterCount;
       ++hops) {
    const uint64_t at =
        volume.base + volume.dataOffset + uint64_t{current - 2} * volume.clusterBytes;
    if (read_all(fd, cluster.data(), cluster.size(), at) != 0) {
      break;
    }
    for (size_t off = 0; off < cluster.size(); off += kDirEntryBytes) {
      if (cluster[off] == 0x00 || cluster[off] == 0xe5) {
        found.push_back(at + off);
        if (found.size() == wanted) {
          return found;
        }
      }
    }
    const uint32_t next = fat[current] & kFatMask;
    if (next >= 0x0ffffff8) {
      break;
    }
    current = next;
  }
  return found;
}

}  // namespace

int read_partition_table(int fd, std::vector<Partition>* ret_partitions) {
  std::array<uint8_t, kSectorBytes> mbr{};
  if (read_all(fd, mbr.data(), mbr.size(), 0) != 0) {
    return -1;
  }
  std::vector<Partition> partitions;
  // The boot-sector signature alone does not make a table: a FAT volume written on the whole
  // card has it too. Its slots would hold boot code, so every used slot must look sane.
  if (mbr[510] == 0x55 && mbr[511] == 0xaa) {
    for (int slot = 0; slot < 4; ++slot) {
      const uint8_t* entry = &mbr[446 + slot * 16];
      if (entry[0] != 0x00 && entry[0] != 0x80) {
        partitions.clear();
        break;
      }
      const uint32_t first = le32(&entry[8]);
      const uint32_t sectors = le32(&entry[12]);
      if (entry[4] == 0 || sectors == 0) {
        continue;
      }
      partitions.push_back(
          {slot + 1, entry[4], uint64_t{first} * kSectorBytes, uint64_t{sectors} * kSectorBytes});
    }
  }
  *ret_partitions = std::move(partitions);
  return 0;
}

int read_fat_volume(int fd, uint64_t base, FatVolume* ret_volume) {
  std::array<uint8_t, kSectorBytes> boot{};
  if (read_all(fd, boot.data(), boot.size(), base) != 0) {
    return -1;
  }
  const uint32_t bytesPerSector = le16(&boot[0x0b]);
  const uint32_t sectorsPerCluster = boot[0x0d];
  const uint32_t reserved = le16(&boot[0x0e]);
  const uint32_t fats = boot[0x10];
  const uint32_t totalSectors = le16(&boot[0x13]) != 0 ? le16(&boot[0x13]) : le32(&boot[0x20]);
  const uint32_t fatSectors = le32(&boot[0x24]);
  const bool sane = boot[510] == 0x55 && boot[511] == 0xaa &&
                    (bytesPerSector == 512 || bytesPerSector == 1024 || bytesPerSector == 2048 ||
                     bytesPerSector == 4096) &&
                    sectorsPerCluster != 0 && (sectorsPerCluster & (sectorsPerCluster - 1)) == 0 &&
                    reserved != 0 && fats != 0 && le16(&boot[0x11]) == 0 &&
                    le16(&boot[0x16]) == 0 && fatSectors != 0;
  const uint64_t metaSectors = uint64_t{reserved} + uint64_t{fats} * fatSectors;
  if (!sane || metaSectors >= totalSectors) {
    return -1;
  }
  FatVolume volume;
  volume.base = base;
  volume.bytesPerSector = bytesPerSector;
  volume.clusterBytes = bytesPerSector * sectorsPerCluster;
  volume.fatOffset = uint64_t{reserved} * bytesPerSector;
  volume.fatBytes = uint64_t{fatSectors} * bytesPerSector;
  volume.fatCount = fats;
  volume.dataOffset = metaSectors * bytesPerSector;
  volume.clusterCount = static_cast<uint32_t>((totalSectors - metaSectors) / sectorsPerCluster);
  volume.rootCluster = le32(&boot[0x2c]);
  // The FAT must have an entry for every cluster.
  if (volume.fatBytes / 4 < uint64_t{volume.clusterCount} + 2) {
    return -1;
  }
  *ret_volume = volume;
  return 0;
}

int fat_dirty(int fd, const FatVolume& volume) {
  uint8_t state = 0;
  if (read_all(fd, &state, 1, volume.base + 0x41) != 0) {
    return -1;
  }
  return (state & 0x01) != 0 ? 1 : 0;
}

int set_fat_dirty(int fd, const FatVolume& volume, bool dirty) {
  uint8_t state = 0;
  if (read_all(fd, &state, 1, volume.base + 0x41) != 0) {
    return -1;
  }
  state = dirty ? (state | 0x01) : (state & ~0x01);
  return write_all(fd, &state, 1, volume.base + 0x41);
}

int count_free_clusters(int fd, const FatVolume& volume, uint32_t* ret_free) {
  std::vector<uint32_t> fat;
  if (read_fat(fd, volume, &fat) != 0) {
    return -1;
  }
  *ret_free = static_cast<uint32_t>(free_clusters(volume, fat).size());
  return 0;
}

int fill_fat_volume(int fd, const FatVolume& volume) {
  std::vector<uint32_t> fat;
  if (read_fat(fd, volume, &fat) != 0) {
    return -1;
  }
  const std::vector<uint32_t> clusters = free_clusters(volume, fat);
  const size_t perFile = kMaxFileBytes / volume.clusterBytes;
  const size_t files = (clusters.size() + perFile - 1) / perFile;
  const std::vector<uint64_t> slots = free_root_entries(fd, volume, fat, files);
  if (slots.size() < files) {
    return -1;
  }
  for (size_t file = 0; file < files; ++file) {
    const size_t first = file * perFile;
    const size_t count = std::min(perFile, clusters.size() - first);
    link_chain(fat, &clusters[first], count);
    std::array<uint8_t, kDirEntryBytes> entry{};
    char name[16];
    snprintf(name, sizeof name, "FILL%04uBIN", static_cast<unsigned>(file % 10000));
    memcpy(entry.data(), name, 11);
    entry[0x0b] = 0x20;  // archive
    put16(&entry[0x0e], kFillTime);
    put16(&entry[0x10], kFillDate);
    put16(&entry[0x12], kFillDate);
    put16(&entry[0x14], static_cast<uint16_t>(clusters[first] >> 16));
    put16(&entry[0x16], kFillTime);
    put16(&entry[0x18], kFillDate);
    put16(&entry[0x1a], static_cast<uint16_t>(clusters[first]));
    put32(&entry[0x1c], static_cast<uint32_t>(uint64_t{count} * volume.clusterBytes));
    if (write_all(fd, entry.data(), entry.size(), slots[file]) != 0) {
      return -1;
    }
  }
  if (write_fat(fd, volume, fat, volume.fatCount) != 0) {
    return -1;
  }
  return set_fsinfo_free(fd, volume, 0);
}

int damage_fat(int fd, const FatVolume& volume, uint32_t clusters) {
  std::vector<uint32_t> fat;
  if (read_fat(fd, volume, &fat) != 0) {
    return -1;
  }
  const std::vector<uint32_t> freeList = free_clusters(volume, fat);
  if (clusters == 0 || freeList.size() < clusters) {
    return -1;
  }
  // The last free clusters: the ones a driver would allocate last, so the damage stays put.
  link_chain(fat, &freeList[freeList.size() - clusters], clusters);
  return write_fat(fd, volume, fat, 1);
}

}  // namespace sim::card
