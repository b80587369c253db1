// Boot records of the previous run and the once-per-run SD card services.
#pragma once

inline constexpr char kWdmRecordPath[] = "/config/wdm_file";
inline constexpr char kCapErrorRecordPath[] = "/config/cap_error_file";

// Consume the watchdog / capture-error record of the previous run (from the boot tags or from
// its file in /config): write its reboot-log entry, reset the tag, delete the file.
int read_wdm_record();
int read_cap_error_record();

// Once per run, on a card of 1 to 255 GB: repair dirty partitions, then check the card. The sync
// and first-boot states give the card a second after the check's first line.
enum class CheckPause { kNone, kOneSecond };
int check_and_repair_sd(CheckPause pause = CheckPause::kNone);

// Moves the media of the secondary partition to the primary when both allow it.
int move_secondary_to_primary();

// Process-wide SD bookkeeping.
extern int primaryDirty;
extern int secondaryDirty;
extern int repairPartition;  // 1 or 2: the partition being repaired
extern int sdCheckDone;
