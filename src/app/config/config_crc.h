// The configuration file's checksum: a reflected CRC-32 (polynomial 0xEDB88320) that starts
// from 0 and is not inverted at the end. It is not zlib's CRC-32; "123456789" gives 0x2DFD2D88.
#pragma once

#include <cstddef>
#include <cstdint>

// Continues `crc` over `size` bytes; start with 0.
uint32_t config_crc32(const void* data, std::size_t size, uint32_t crc = 0);
