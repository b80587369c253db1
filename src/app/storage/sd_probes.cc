// Small probes of the card: partition count, size, dirty partitions, mount mode and type.
#include <cstdio>
#include <cstdlib>
#include <mutex>
#include <string>

#include "app/records/log/app_log.h"
#include "app/storage/sd_card.h"
#include "app/system/core/shell.h"
#include "app/system/core/sys_info.h"

int primaryDirty = 0;
int secondaryDirty = 0;

namespace {

// One listing of the partitions at a time.
std::mutex partitionCountLock;

// Calls `visit` with each word of `text`; only `separators` split words.
template <typename Visit>
bool for_each_word(std::string_view text, std::string_view separators, Visit visit) {
  std::size_t start = 0;
  while (start < text.size()) {
    std::size_t end = text.find_first_of(separators, start);
    if (end == std::string_view::npos) {
      end = text.size();
    }
    if (end > start && visit(text.substr(start, end - start))) {
      return true;
    }
    start = end + 1;
  }
  return false;
}

constexpr std::string_view kBlanks = " \t\r\n";

}  // namespace

int get_sd_partition_count() {
  int count = 0;
  {
    std::lock_guard lock(partitionCountLock);
    const std::string output = read_shell_output("ls /dev/mmcblk0p*");
    std::size_t start = 0;
    while (start < output.size()) {
      std::size_t end = output.find('\n', start);
      if (end == std::string::npos) {
        end = output.size();
      }
      if (std::string_view(output).substr(start, end - start).find("No such file") ==
          std::string_view::npos) {
        ++count;
      }
      start = end + 1;
    }
  }
  app_log(MOD_SD_CONF, LEVEL_INFO, "SD-card partition = %d", count);
  return count;
}

int card_size_from_kernel_line(std::string_view dmesg_output) {
  int size_gb = 0;
  for_each_word(dmesg_output, kBlanks, [&](std::string_view word) {
    if (word.front() != 'S') {
      return false;
    }
    // The product name, such as SD32G: the size follows its first two characters.
    if (word.size() > 2) {
      const std::string rest(word.substr(2));
      int value = 0;
      char unit = '\0';
      if (sscanf(rest.c_str(), "%9d%c", &value, &unit) == 2 && unit == 'G') {
        size_gb = value;
      }
    }
    return true;
  });
  return size_gb;
}

int get_sd_card_size_gb() {
  const std::string output = read_shell_output("dmesg | grep \"mmcblk0: mmc\"");
  const int size_gb = card_size_from_kernel_line(output);
  if (size_gb != 0) {
    app_log(MOD_SD_CONF, LEVEL_INFO, "SD-CARD SIZE : %d GB", size_gb);
  }
  return size_gb;
}

void dirty_partitions_from_kernel_lines(std::string_view dmesg_output, int* ret_primary,
                                        int* ret_secondary) {
  // Only blanks split the kernel's words here: a word may run on over a line end.
  for_each_word(dmesg_output, " ", [&](std::string_view word) {
    if (word == "(mmcblk0p1):") {
      *ret_primary = 1;
    } else if (word == "(mmcblk0p2):") {
      *ret_secondary = 1;
    }
    return false;
  });
}

void detect_dirty_partitions() {
  const std::string output = read_shell_output("dmesg | grep mmcblk0p");
  dirty_partitions_from_kernel_lines(output, &primaryDirty, &secondaryDirty);
}

std::string_view mount_mode_of(std::string_view mount_output) {
  const std::size_t open = mount_output.find('(');
  if (open != std::string_view::npos && mount_output.substr(open + 1, 2) == "ro") {
    return "ro";
  }
  return "rw";
}

std::string_view get_mount_mode(const char* command) {
  return mount_mode_of(read_shell_output(command));
}

bool has_vfat_word(std::string_view output) {
  return for_each_word(output, kBlanks, [](std::string_view word) { return word == "vfat"; });
}

int is_vfat(const char* command) {
  return has_vfat_word(read_shell_output(command)) ? 0 : -1;
}

int is_primary_usable() {
  if (sysInfo->primaryLent) {
    return 3;
  }
  return run_shell("mount | grep -nri mmcblk0p1 > /dev/null") == 0 ? 1 : 3;
}

int is_secondary_usable() {
  if (get_sd_partition_count() != 2) {
    return 3;
  }
  return run_shell("mount | grep -nri mmcblk0p2 > /dev/null") == 0 ? 1 : 3;
}
