#include "app/storage/storage_shell.h"

#include <array>
#include <cstdio>

std::string sd_read_output(const char* command) {
  std::string output;
  FILE* pipe = popen(command, "r");
  if (pipe == nullptr) {
    return output;
  }
  std::array<char, 256> chunk{};
  std::size_t count;
  while ((count = fread(chunk.data(), 1, chunk.size(), pipe)) > 0) {
    output.append(chunk.data(), count);
  }
  pclose(pipe);
  return output;
}
