// Archival of the run's RAM logs to the card's primary partition: numbered copies in
// /sdcard/primary/logs, packed into logs.1.tar (newest) and logs.2.tar when the folder grows
// past 20,000,000 bytes on the way to power-down.
#pragma once

#include <atomic>
#include <cstdint>

inline constexpr char kLogsFolder[] = "/sdcard/primary/logs";
inline constexpr long long kLogsPackAboveBytes = 20000000;

// This run's number of the log files, 0 until the first archival (then fixed for the run).
extern std::atomic<int32_t> logFileNumber;
// The co-processor log is copied once per run.
extern std::atomic<bool> riscvLogCopied;

// Archives the logs when the primary partition is mounted here (not lent to the Modem).
// Returns 1 when they were copied, 0 otherwise.
int archive_logs_if_sd_ready();
// Copies the logs, and in the power-down state packs the folder when it is too large. 1.
int archive_logs();
// Packs the folder into logs.1.tar (the old logs.1.tar becoming logs.2.tar) and empties it
// when it holds more than 20,000,000 bytes. A failed tar leaves the folder and the older
// generation as they were. Returns 1 when it packed, 0 otherwise.
int pack_logs_if_large();

// The highest NNNN of app_NNNN.log in the folder, plus one (1 when there is none).
int next_log_file_number();
// The highest N of logs.N.tar (1..9) in /sdcard/primary, 0 when there is none.
int highest_log_tar_number();
// Bytes of all files under the folder; 2 when the walk fails.
long long logs_folder_size();
