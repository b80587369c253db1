// flash_eraseall: erases a flash device of the simulated board (the tag store file): every
// byte becomes 0xFF.
//
//   flash_eraseall [-q] [-j] DEVICE
#include <sys/stat.h>

#include <cstdio>
#include <cstring>
#include <string>

#include "sim/tagstore/tag_store.h"

int main(int argc, char** argv) {
  bool quiet = false;
  const char* device = nullptr;
  for (int i = 1; i < argc; ++i) {
    if (strcmp(argv[i], "-q") == 0 || strcmp(argv[i], "--quiet") == 0) {
      quiet = true;
    } else if (strcmp(argv[i], "-j") == 0 || strcmp(argv[i], "--jffs2") == 0) {
      // A clean-marker for a JFFS2 file system is not needed on the tag partition.
    } else if (device == nullptr && argv[i][0] != '-') {
      device = argv[i];
    } else {
      device = nullptr;
      break;
    }
  }
  if (device == nullptr) {
    fprintf(stderr, "usage: flash_eraseall [-q] [-j] DEVICE\n");
    return 1;
  }
  std::string error;
  if (sim::tagstore::erase_store(device, &error) != 0) {
    fprintf(stderr, "flash_eraseall: %s\n", error.c_str());
    return 1;
  }
  if (!quiet) {
    struct stat info {};
    stat(device, &info);
    printf("Erasing %ld Kibyte @ 0 -- 100 %% complete.\n", static_cast<long>(info.st_size / 1024));
  }
  return 0;
}
