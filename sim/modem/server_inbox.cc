// The upload into the server inbox: mtools to read the partition, openssl to decrypt.
#include "sim/modem/server_inbox.h"

#include <cstdio>
#include <filesystem>
#include <fstream>
#include <iterator>
#include <sstream>
#include <vector>

#include "sim/host/host_program.h"

namespace sim {

namespace {

std::string read_all(const std::string& path) {
  std::ifstream in(path, std::ios::binary);
  return std::string(std::istreambuf_iterator<char>(in), std::istreambuf_iterator<char>());
}

// A plain file name from the card: no folder part, no "." or "..".
bool plain_name(const std::string& name) {
  return !name.empty() && name != "." && name != ".." && name.find('/') == std::string::npos;
}

}  // namespace

bool looks_like_jpeg(const std::string& bytes) {
  return bytes.size() >= 4 && static_cast<uint8_t>(bytes[0]) == 0xFF &&
         static_cast<uint8_t>(bytes[1]) == 0xD8 &&
         static_cast<uint8_t>(bytes[bytes.size() - 2]) == 0xFF &&
         static_cast<uint8_t>(bytes[bytes.size() - 1]) == 0xD9;
}

void upload_transmit(const PartitionImage& partition, const std::string& inboxDir,
                     const std::string& password, ModemUpload* ret_upload) {
  const std::string image = partition.path + "@@" + std::to_string(partition.offset);
  std::string listing;
  if (run_host_program({"mdir", "-b", "-i", image, "::/TRANSMIT"}, &listing,
                       ProgramErrors::kDropped) != 0) {
    ret_upload->error = "TRANSMIT folder not readable on " + partition.path;
    return;
  }
  std::error_code error;
  std::filesystem::create_directories(inboxDir, error);
  std::istringstream lines(listing);
  std::string line;
  while (std::getline(lines, line)) {
    const std::string prefix = "::/TRANSMIT/";
    if (line.rfind(prefix, 0) != 0) {
      continue;
    }
    const std::string name = line.substr(prefix.size());
    if (!plain_name(name)) {
      continue;
    }
    const std::string target = inboxDir + "/" + name;
    if (run_host_program({"mcopy", "-n", "-o", "-i", image, line, target}, nullptr,
                         ProgramErrors::kDropped) != 0) {
      ret_upload->error = "could not copy " + name;
      continue;
    }
    if (!password.empty()) {
      // A wrong password passes openssl's padding check about once in 256 files and gives
      // noise: the server keeps only a decryption that gives a picture.
      const std::string plain = target + ".plain";
      if (run_host_program({"openssl", "enc", "-d", "-aes-128-cbc", "-in", target, "-out", plain,
                            "-pass", "pass:" + password},
                           nullptr, ProgramErrors::kDropped) != 0 ||
          !looks_like_jpeg(read_all(plain))) {
        std::filesystem::remove(plain, error);
        ret_upload->notJpeg.push_back(name + " (does not decrypt)");
        ret_upload->files.push_back(name);
        continue;
      }
      std::filesystem::rename(plain, target, error);
    }
    ret_upload->files.push_back(name);
    if (!looks_like_jpeg(read_all(target))) {
      ret_upload->notJpeg.push_back(name);
    }
  }
}

}  // namespace sim
