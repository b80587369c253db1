// The server's inbox: what an upload from the lent partition delivers.
//
// The Modem reads the partition as a USB host reads a disk, so the partition's image is read
// with mtools, never through the camera's mount. Names on the card are outside input: they
// are passed to the tools as separate arguments, never through a shell.
#pragma once

#include <cstdint>
#include <string>

#include "sim/modem/modem_peer.h"

namespace sim {

// A FAT file system inside a host file, from byte `offset`.
struct PartitionImage {
  std::string path;
  uint64_t offset = 0;
};

// Copies every file of the partition's TRANSMIT folder into `inboxDir`, decrypts each one with
// `password` when it is not empty (a file the password does not turn into a JPEG stays as it
// came, listed in notJpeg as "does not decrypt"), and checks that each is a JPEG. Fills
// `ret_upload`'s files, notJpeg and error.
void upload_transmit(const PartitionImage& partition, const std::string& inboxDir,
                     const std::string& password, ModemUpload* ret_upload);

// True when `bytes` start with the JPEG start-of-image marker and end with end-of-image.
bool looks_like_jpeg(const std::string& bytes);

}  // namespace sim
