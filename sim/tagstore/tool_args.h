// Small helpers the board tools share for their command lines.
#pragma once

#include <cerrno>
#include <cstdlib>
#include <string>

namespace sim::tagstore {

// A whole decimal number (sign allowed); false for anything else.
inline bool parse_number(const char* text, long& ret_value) {
  if (text == nullptr || *text == '\0') {
    return false;
  }
  char* end = nullptr;
  errno = 0;
  long value = strtol(text, &end, 10);
  if (errno != 0 || *end != '\0') {
    return false;
  }
  ret_value = value;
  return true;
}

// The store the tools act on: /dev/mtd1, or the file TAG_STORE names (for use on a host).
inline std::string store_path_from_environment() {
  const char* path = getenv("TAG_STORE");
  return path != nullptr && *path != '\0' ? path : "/dev/mtd1";
}

}  // namespace sim::tagstore
