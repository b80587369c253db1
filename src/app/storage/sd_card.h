// The SD card: is it there, how many partitions does it hold, are they mounted and writable.
// check_sd_card() publishes the answer as the SD state that capture, sync and the LEDs read.
#pragma once

#include <atomic>
#include <string_view>

enum SdState : int {
  SD_NOT_INSERTED = 0,
  SD_MOUNTED = 1,      // every partition that should be mounted is mounted and writable
  SD_FAULT = 2,        // read-only, not formatted, or neither one nor two partitions
  SD_PRIMARY_AWAY = 3  // one-partition card whose primary is lent to the Modem
};

inline constexpr char kPrimaryRoot[] = "/sdcard/primary";
inline constexpr char kSecondaryRoot[] = "/sdcard/secondary";
inline constexpr char kCardDetectPath[] = "/sys/class/gpio/gpio43/value";

// The SD state as last published (SysInfo's sdState; the configuration's sdStatus holds the
// same value).
extern std::atomic<int> sdState;
// True while init_sd_card() runs: check_sd_card() then keeps its faults to itself.
extern std::atomic<bool> sdInitInProgress;
// Set the first time init_sd_card() sees the card mounted; never cleared.
extern std::atomic<bool> sdMountedOnce;
// Set by detect_dirty_partitions() when the kernel named the partition; never cleared here.
extern int primaryDirty;
extern int secondaryDirty;

// Probes.
int get_sd_partition_count();
int get_sd_card_size_gb();
void detect_dirty_partitions();
// "ro" when the first "(" of the command's output is followed by "ro", else "rw".
std::string_view get_mount_mode(const char* command);
// 0 when a blank-separated word of the command's output is "vfat", else -1.
int is_vfat(const char* command);
int is_primary_usable();    // 1 usable, 3 lent or not mounted
int is_secondary_usable();  // 1 usable, 3 no second partition or not mounted

// The same probes on text already read, for the parts of the output that come from outside.
int card_size_from_kernel_line(std::string_view dmesg_output);
void dirty_partitions_from_kernel_lines(std::string_view dmesg_output, int* ret_primary,
                                        int* ret_secondary);
std::string_view mount_mode_of(std::string_view mount_output);
bool has_vfat_word(std::string_view output);

// One full check, remounting when needed, under the SD check lock. Returns the SD state, or 0
// without any change when the card's block device is missing.
int check_sd_card();
// check_sd_card() with up to 11 tries 100 ms apart until the card is mounted once; creates
// the DCIM and TRANSMIT folders. Later calls only report. Returns the last check's result
// (0 when the card had already been mounted once).
int init_sd_card();
