// Where media files go and what they are called: DCIM/nnnDSCIM folders (100..999) on both
// partitions, a TRANSMIT folder of upload copies, and the file counter that numbers the files
// of one capture (1..9999), rebuilt from the card before each post-process run.
#pragma once

#include <atomic>
#include <cstdint>

// The number of the capture being post-processed and its folder. Written by the rebuild and
// the advance only; the pipelines read it to build names.
struct FileCounter {
  std::atomic<int32_t> fileNumber{0};
  std::atomic<int32_t> folderNumber{100};
};
extern FileCounter fileCounter;

// Set once the counter has been rebuilt from the card in this process. The captures and the
// sync's card handover share it: the counter is rebuilt once, before the primary is lent, and
// a capture while the primary is away goes on from it.
extern std::atomic<bool> counterRestored;

// Name templates under a partition root (folder, then file number).
inline constexpr char kPhotoName[] = "%s/DCIM/%dDSCIM/PICT%04d.JPG";
inline constexpr char kHdPhotoName[] = "%s/DCIM/%dDSCIM/HD%04d.JPG";
inline constexpr char kVideoName[] = "%s/DCIM/%dDSCIM/VID%04d.MP4";
// TRANSMIT names carry the file number only.
inline constexpr char kUploadPhotoName[] = "%s/TRANSMIT/PICT%04d.JPG";
inline constexpr char kVideoPreviewName[] = "%s/TRANSMIT/VI%04d_%d.JPG";

enum CaptureKind : int { CAPTURE_KIND_PHOTO = 1, CAPTURE_KIND_VIDEO = 2 };

// The partition new media go to: /sdcard/primary, or /sdcard/secondary when SysInfo's
// storagePartition is 1.
const char* media_root();

// The highest nnnDSCIM folder in `dcim_path`; makes 100DSCIM there when there is none.
int find_last_folder(const char* dcim_path);
// The highest file number of PICTnnnn.JPG, VIDnnnn.MP4 and HDnnnn.JPG in `folder_path`, 0 when
// there is none.
int find_last_file(const char* folder_path);
// Rebuilds the counter from both partitions and makes the current folder on both. Returns 0,
// or -1 (counter unchanged) when the primary, or a mounted secondary, cannot be read.
int save_last_file_fldr_val();
// When the remount of both partitions comes before the rebuild: only when the second partition
// showed up late (a capture), or whenever the card has two (the sync's handover).
enum class Remount { kIfLate, kAlways };
// Rebuilds the counter unless that was done in this process: with a recount 500 ms later when
// the card does not show two partitions at once, and after the files a power cut left broken
// in a capture are removed (remove_broken_last_capture). False while the counter is unknown.
bool restore_file_counter_once(Remount remount);
// Moves the counter to the next capture, rolling over to a new folder after file 9999. Returns
// -1 when folder 999 is full.
int advance_file_number();
// Removes the files of the current number of a failed photo or video capture. Returns 0.
int remove_prev_cap(int kind);
