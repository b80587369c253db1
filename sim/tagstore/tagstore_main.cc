// tagstore: the tag store of the simulated board for people and for the board's scripts.
//
//   tagstore image OUT                         write the default tag image (tag.bin)
//   tagstore create STORE [IMAGE]              a new store with the default tags or an image
//   tagstore cmdline STORE --reason N [--adc N] [--exp-reuse N] [--base TEXT]
//                                              the kernel command line of one wake-up
//   tagstore markers STORE TAGBK RISCV_FW SENSOR_SETTING_FW
//                                              the boot loader's partition verdicts
//   tagstore damage STORE                      break the store, as a worn flash would
//   tagstore dump STORE                        the markers and every tag
#include <cstdio>
#include <cstring>
#include <fstream>
#include <string>
#include <vector>

#include "sim/tagstore/boot_loader.h"
#include "sim/tagstore/tag_store.h"
#include "sim/tagstore/tool_args.h"

namespace {

using namespace sim::tagstore;

int usage() {
  fprintf(stderr,
          "usage: tagstore image OUT\n"
          "       tagstore create STORE [IMAGE]\n"
          "       tagstore cmdline STORE --reason N [--adc N] [--exp-reuse N] [--base TEXT]\n"
          "       tagstore markers STORE TAGBK RISCV_FW SENSOR_SETTING_FW\n"
          "       tagstore damage STORE\n"
          "       tagstore dump STORE\n");
  return 2;
}

int report(int result, const std::string& error) {
  if (result != 0) {
    fprintf(stderr, "tagstore: %s\n", error.c_str());
    return 1;
  }
  return 0;
}

int write_image(const char* out) {
  std::vector<uint8_t> image = encode_tag_env(default_tag_env());
  std::ofstream file(out, std::ios::binary | std::ios::trunc);
  file.write(reinterpret_cast<const char*>(image.data()),
             static_cast<std::streamsize>(image.size()));
  return report(file.good() ? 0 : -1, std::string(out) + ": cannot write");
}

int create(int argc, char** argv) {
  std::string error;
  if (argc == 3) {
    return report(create_store(argv[2], default_tag_env(), &error), error);
  }
  std::vector<uint8_t> image;
  if (read_store(argv[3], image, &error) != 0) {
    return report(-1, error);
  }
  std::optional<TagEnv> env = decode_tag_env(image);
  return report(env ? create_store(argv[2], *env, &error) : -1,
                env ? error : std::string(argv[3]) + ": not a tag image");
}

int cmdline(int argc, char** argv) {
  WakeUp wake_up;
  bool have_reason = false;
  for (int i = 3; i + 1 < argc; i += 2) {
    long number = 0;
    if (strcmp(argv[i], "--base") == 0) {
      wake_up.base_args = argv[i + 1];
      continue;
    }
    if (!parse_number(argv[i + 1], number)) {
      return usage();
    }
    if (strcmp(argv[i], "--reason") == 0) {
      wake_up.boot_reason = static_cast<int>(number);
      have_reason = true;
    } else if (strcmp(argv[i], "--adc") == 0) {
      wake_up.adc = static_cast<int>(number);
    } else if (strcmp(argv[i], "--exp-reuse") == 0) {
      wake_up.exp_reuse = static_cast<int>(number);
    } else {
      return usage();
    }
  }
  if (!have_reason || argc % 2 == 0) {
    return usage();
  }
  printf("%s\n", boot_cmdline(std::string(argv[2]), wake_up).c_str());
  return 0;
}

int markers(char** argv) {
  long values[3];
  for (int i = 0; i < 3; ++i) {
    if (!parse_number(argv[3 + i], values[i]) || values[i] < 0 || values[i] > 255) {
      return usage();
    }
  }
  Markers set{static_cast<uint8_t>(values[0]), static_cast<uint8_t>(values[1]),
              static_cast<uint8_t>(values[2])};
  std::string error;
  return report(set_markers(argv[2], set, &error), error);
}

int dump(const char* store) {
  std::string error;
  std::optional<TagEnv> env = read_tag_env(store, &error);
  if (!env) {
    return report(-1, error);
  }
  printf("markers tagbk=%d riscv_fw=%d sensor_setting_fw=%d\n", env->markers.tagbk,
         env->markers.riscv_fw, env->markers.sensor_setting_fw);
  for (const Tag& tag : env->tags) {
    printf("%s %s %ld\n", tag.space.c_str(), tag.key.c_str(), tag.value);
  }
  return 0;
}

}  // namespace

int main(int argc, char** argv) {
  if (argc < 3) {
    return usage();
  }
  const std::string command = argv[1];
  std::string error;
  if (command == "image" && argc == 3) {
    return write_image(argv[2]);
  }
  if (command == "create" && (argc == 3 || argc == 4)) {
    return create(argc, argv);
  }
  if (command == "cmdline") {
    return cmdline(argc, argv);
  }
  if (command == "markers" && argc == 6) {
    return markers(argv);
  }
  if (command == "damage" && argc == 3) {
    return report(damage_store(argv[2], &error), error);
  }
  if (command == "dump" && argc == 3) {
    return dump(argv[2]);
  }
  return usage();
}
