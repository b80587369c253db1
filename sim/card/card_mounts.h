// What the board's mount tool keeps about the card's mounts inside the sandbox, and the kernel
// lines the card's tools add to the board's messages (shown by dmesg).
//
// The table lives in the card's state folder, which the board binds into the sandbox, so the
// board also sees which partitions were mounted when the power went.
#pragma once

#include <sys/types.h>

#include <string>
#include <vector>

namespace sim::card {

// Where the board puts its own machinery inside the sandbox.
inline constexpr char kBoardRunDir[] = "/run/board/";
// The card's state folder inside the sandbox: control, kmsg, mounts.
inline constexpr char kCardStateDir[] = "/run/board/card";

struct CardMount {
  std::string device;  // /dev/mmcblk0p1
  std::string point;   // /sdcard/primary
  std::string mode;    // "rw" or "ro"
  pid_t server = -1;   // the fusefat process serving it
  // The volume's dirty bit was set already when it was mounted. The kernel's FAT driver then
  // leaves the bit alone, so that it stays set for fsck after a clean unmount.
  bool dirtyBefore = false;
};

// The table file in a state folder (the sandbox's by default).
std::string card_mounts_path(const std::string& stateDir = kCardStateDir);
std::vector<CardMount> read_card_mounts(const std::string& stateDir = kCardStateDir);
// Adds or removes a row, under a lock of the table file.
void add_card_mount(const CardMount& mount);
void remove_card_mount(const std::string& point);
// The row whose device or mount point is `target`.
bool find_card_mount(const std::string& target, CardMount* ret_mount);

// Appends "[   s.us] text" to the card's kernel messages.
void kernel_line(const std::string& text);

}  // namespace sim::card
