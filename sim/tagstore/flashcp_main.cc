// flashcp: writes an image to a flash device of the simulated board and verifies it.
//
//   flashcp [-v] IMAGE DEVICE
#include <cstdio>
#include <cstring>
#include <string>

#include "sim/tagstore/tag_store.h"

int main(int argc, char** argv) {
  bool verbose = false;
  const char* paths[2] = {nullptr, nullptr};
  int count = 0;
  for (int i = 1; i < argc; ++i) {
    if (strcmp(argv[i], "-v") == 0 || strcmp(argv[i], "--verbose") == 0) {
      verbose = true;
    } else if (argv[i][0] != '-' && count < 2) {
      paths[count++] = argv[i];
    } else {
      count = 3;
      break;
    }
  }
  if (count != 2) {
    fprintf(stderr, "usage: flashcp [-v] IMAGE DEVICE\n");
    return 1;
  }
  std::string error;
  if (sim::tagstore::flash_image(paths[0], paths[1], &error) != 0) {
    fprintf(stderr, "flashcp: %s\n", error.c_str());
    return 1;
  }
  if (verbose) {
    printf("Erasing blocks, writing data, verifying data: done\n");
  }
  return 0;
}
