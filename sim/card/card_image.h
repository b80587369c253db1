// The card image on the host side: made, changed, checked and copied out by the board between
// wake-ups with Debian's tools (sfdisk, mkfs.vfat, fsck.fat, mtools), and the card sandbox in
// which tools that need the card's block devices (fdisk, fsck.fat, the board's mount) run on it
// as they do inside the camera.
#pragma once

#include <cstdint>
#include <string>
#include <string_view>
#include <vector>

#include "sim/card/card_layout.h"

namespace sim::card {

// "8G", "32G", "512M" -> the card's size in bytes (a little under the nominal size, as real
// cards are) and its product name ("SD8G"). False for anything else or outside 64M..2T.
bool parse_card_size(std::string_view text, uint64_t* ret_bytes, std::string* ret_name);

// A sparse image of `bytes` with nothing on it.
int make_blank_card(const std::string& image, uint64_t bytes, std::string* ret_error);
// The camera's own layout (partition 2 of 1 GiB first, partition 1 over the rest, both type
// 0x0c and FAT32) for two partitions; one partition over the whole card; or, for three, a
// third partition of 256 MiB at the end. Made with sfdisk and mkfs.vfat.
int make_formatted_card(const std::string& image, uint64_t bytes, int partitions,
                        std::string* ret_error);

// The partitions of the image's table.
std::vector<Partition> card_partitions(const std::string& image);

// Whether `path` can be a card image: a regular file that starts with a partition table or a
// FAT32 boot sector. Returns 0, or -1 with what it is instead.
int check_card_image_file(const std::string& path, std::string* ret_error);
// Opens partition `number` of the image, finds its FAT32 volume and runs `change` on it.
enum class VolumeChange { kDirty, kFill, kDamage };
int change_volume(const std::string& image, int number, VolumeChange change,
                  std::string* ret_error);

// Runs `program` with `args` (no shell), its output and errors into `ret_output` when set.
// Returns its exit status, -1 when it cannot run.
int run_program(const std::vector<std::string>& argv, std::string* ret_output = nullptr);

// The folder of the card's tools (server, mount tools, preloaded shims) for the card image
// `image`: the copy a board keeps beside its card (`kCardToolsFolder` in the image's folder),
// so that a build which relinks the tools does not change them under a run, or else the
// build's own.
inline constexpr char kCardToolsFolder[] = "tools";
std::string card_tools_for(const std::string& image);

// Runs the shell `script` in a card sandbox: the camera's sandbox with the card served as
// /dev/mmcblk0 and its partitions, the board's mount tools (card_tools_for()) on PATH and
// /sdcard/{primary, secondary} to mount on. `stateDir` is the card's state folder (control, kmsg,
// mounts). Returns the script's exit status, its output in `ret_output`.
int run_in_card_sandbox(const std::string& image, const std::string& stateDir,
                        const std::string& script, std::string* ret_output = nullptr);

// The files of every FAT partition copied out with mtools into `dir`/primary and
// `dir`/secondary (partition 3 and up: `dir`/partN), without the filler files of a card made
// full (FILLnnnn.BIN in the root). Returns the folders made.
std::vector<std::string> copy_card_files(const std::string& image, const std::string& dir);

// A filler file of fill_fat_volume() ("FILL0000.BIN").
bool is_filler(std::string_view name);

// "fsck.fat -n" of every partition, one line each: "mmcblk0p1: ok (…)" or the checker's
// complaints. False when any partition fails.
bool check_card(const std::string& image, const std::string& stateDir, std::string* ret_report);

}  // namespace sim::card
