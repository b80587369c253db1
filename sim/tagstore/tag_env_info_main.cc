// tag_env_info: the board tool that reads and writes the boot tags in the tag store.
//
//   tag_env_info --set NAMESPACE KEY VALUE    store a decimal value
//   tag_env_info --get NAMESPACE KEY          print a value (exit 1 when absent)
//   tag_env_info --list                       print every tag as NAMESPACE KEY VALUE
//
// The store is /dev/mtd1 (TAG_STORE names another file). When TAG_ENV_INFO_LOG names a file,
// every successful --set is appended to it as "--set NAMESPACE KEY VALUE", so a test or the
// board's record can see which tags were written and in which order.
#include <fcntl.h>
#include <sys/file.h>
#include <unistd.h>

#include <cstdio>
#include <cstdlib>
#include <cstring>
#include <string>

#include "sim/tagstore/tag_store.h"
#include "sim/tagstore/tool_args.h"

namespace {

using namespace sim::tagstore;

int usage() {
  fprintf(stderr,
          "usage: tag_env_info --set NAMESPACE KEY VALUE\n"
          "       tag_env_info --get NAMESPACE KEY\n"
          "       tag_env_info --list\n");
  return 2;
}

void record_set(const char* space, const char* key, long value) {
  const char* journal = getenv("TAG_ENV_INFO_LOG");
  if (journal == nullptr || *journal == '\0') {
    return;
  }
  int fd = open(journal, O_WRONLY | O_CREAT | O_APPEND | O_CLOEXEC, 0644);
  if (fd < 0) {
    return;
  }
  flock(fd, LOCK_EX);
  std::string line = std::string("--set ") + space + " " + key + " " + std::to_string(value) + "\n";
  ssize_t written = write(fd, line.data(), line.size());
  (void)written;
  close(fd);
}

}  // namespace

int main(int argc, char** argv) {
  const std::string store = store_path_from_environment();
  std::string error;
  if (argc == 5 && strcmp(argv[1], "--set") == 0) {
    long value;
    if (!parse_number(argv[4], value)) {
      fprintf(stderr, "tag_env_info: value must be a decimal number: %s\n", argv[4]);
      return 1;
    }
    if (set_tag(store, argv[2], argv[3], value, &error) != 0) {
      fprintf(stderr, "tag_env_info: %s\n", error.c_str());
      return 1;
    }
    record_set(argv[2], argv[3], value);
    return 0;
  }
  if ((argc == 4 && strcmp(argv[1], "--get") == 0) ||
      (argc == 2 && strcmp(argv[1], "--list") == 0)) {
    std::optional<TagEnv> env = read_tag_env(store, &error);
    if (!env) {
      fprintf(stderr, "tag_env_info: %s\n", error.c_str());
      return 1;
    }
    if (argc == 2) {
      for (const Tag& tag : env->tags) {
        printf("%s %s %ld\n", tag.space.c_str(), tag.key.c_str(), tag.value);
      }
      return 0;
    }
    std::optional<long> value = env->get(argv[2], argv[3]);
    if (!value) {
      return 1;
    }
    printf("%ld\n", *value);
    return 0;
  }
  return usage();
}
