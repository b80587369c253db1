// The SD monitor: on request, keeps the primary partition above the configured free space by
// deleting the oldest media, photo by photo and video by video, with their HD and upload
// copies. Also the free-space probe and the emptiness test of the secondary partition.
#pragma once

#include <atomic>
#include <cstdint>
#include <string_view>

// Set while the monitor serves a request (the sync state answers the Modem "busy" meanwhile).
extern std::atomic<bool> sdMonitorBusy;

// Thread body, started once by start-up; never returns.
void* sd_monitor_thread(void* unused);

// Serves sdCheckRequest if it is set: one free-space pass on the primary partition when it is
// mounted here, then clears the request. The thread calls it every 100 ms.
void serve_sd_check_request();

// Deletes the oldest media under `root` (a partition root) until `min_free_mb` MiB are free,
// a format starts, or nothing more can be removed.
void remove_oldest_media(const char* root, int64_t min_free_mb);

// Free MiB of the file system holding `path`, or -1 when `path` is not a readable folder.
// The two partition roots are also logged and stored in the configuration record.
int64_t get_free_space_mb(const char* path);

// The number a listing line names: nnn of a first entry "nnnDSCIM" (100..999), or the file
// number of a full media path whose name starts `prefix_length` characters in: PICTnnnn.JPG
// or VIDnnnn.MP4 (1..9999). 0 for anything else.
int parse_listing_line(std::string_view line, std::size_t prefix_length);
// Runs a listing command and parses its first line for the primary partition's paths.
int parse_first_listing(const char* command);

// 1 when the secondary partition holds media in a DCIM sub-folder or in TRANSMIT (or when
// either folder cannot be read), 0 when both are empty.
int secondary_has_media();
