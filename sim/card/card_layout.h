// The on-disk layout of the board's SD card: the MS-DOS partition table of the whole card and
// the few fields of a FAT32 volume that the board itself reads or changes (the state byte a
// kernel marks dirty while mounted, the FAT for free space, fills and damage). Everything else
// on the card is left to Debian's tools (fdisk, mkfs.vfat, fsck.fat, mtools, fusefat).
//
// All functions work on an open descriptor of the card image (or of one partition, with
// `base` 0) and return 0 on success, -1 on failure.
#pragma once

#include <cstdint>
#include <vector>

namespace sim::card {

inline constexpr uint64_t kSectorBytes = 512;

// One primary partition of the table, in bytes from the start of the card.
struct Partition {
  int number = 0;    // 1..4, the slot of the table
  uint8_t type = 0;  // 0x0c: FAT32 with LBA
  uint64_t start = 0;
  uint64_t size = 0;
};

// The primary partitions of the card's table, by slot. A card without a valid table (a blank
// card) has none: 0 with an empty list. -1 only when the card cannot be read.
int read_partition_table(int fd, std::vector<Partition>* ret_partitions);

// The geometry of a FAT32 volume that starts `base` bytes into the file.
struct FatVolume {
  uint64_t base = 0;
  uint32_t bytesPerSector = 0;
  uint32_t clusterBytes = 0;
  uint64_t fatOffset = 0;  // first FAT, from the volume's start
  uint64_t fatBytes = 0;   // one FAT
  uint32_t fatCount = 0;
  uint64_t dataOffset = 0;  // cluster 2, from the volume's start
  uint32_t clusterCount = 0;
  uint32_t rootCluster = 0;
};

// -1 when the volume is not FAT32 (no boot signature, not a FAT32 parameter block).
int read_fat_volume(int fd, uint64_t base, FatVolume* ret_volume);

// The "volume dirty" bit of the FAT32 boot sector: set by a kernel while the volume is mounted
// read-write, cleared by a clean unmount; fsck.fat reports and clears it. 1 or 0, -1 on error.
int fat_dirty(int fd, const FatVolume& volume);
int set_fat_dirty(int fd, const FatVolume& volume, bool dirty);

// Free clusters and their bytes, counted from the first FAT.
int count_free_clusters(int fd, const FatVolume& volume, uint32_t* ret_free);

// Fills every free cluster with one file in the root folder (FILL.BIN, its clusters left
// unwritten), as a card that was written full: the FATs, the root entry and the free count
// stay consistent, so fsck.fat accepts the volume.
int fill_fat_volume(int fd, const FatVolume& volume);

// Damages the FAT the way an interrupted write does: a chain of `clusters` free clusters is
// marked used with no file owning it (fsck.fat -y recovers it as FSCKnnnn.REC) and the second
// FAT no longer matches the first.
int damage_fat(int fd, const FatVolume& volume, uint32_t clusters);

}  // namespace sim::card
