// The once-per-run card repair and the move of media from the secondary to the primary.

#include "app/records/log/app_log.h"
#include "app/storage/media_move.h"
#include "app/storage/sd_card.h"
#include "app/storage/sd_format.h"
#include "app/storage/sd_monitor.h"
#include "app/system/boot_checks.h"
#include "app/system/core/shell.h"
#include "app/system/core/sys_info.h"
#include "app/system/os/os.h"

int repairPartition = 0;
int sdCheckDone = 0;

namespace {

constexpr int kSmallestCheckedCardGb = 1;
constexpr int kLargestCheckedCardGb = 255;

struct PartitionRepair {
  int partition;
  int* dirty;
  const char* repaired;
  const char* failed;
};

constexpr PartitionRepair kRepairs[] = {
    {1, &primaryDirty, "Repairing filesystem errors of primary partition",
     "Failed to repair filesystem errors of primary partition"},
    {2, &secondaryDirty, "Repairing filesystem errors of secondary partition",
     "Failed to repair filesystem errors of secondary partition"},
};

void set_file_copy_ongoing(int8_t value) {
  SemLock lock(&sysInfoLock);
  sysInfo->fileCopyOngoing = value;
}

}  // namespace

int check_and_repair_sd(CheckPause pause) {
  const int size_gb = get_sd_card_size_gb();
  if (sdCheckDone || size_gb < kSmallestCheckedCardGb || size_gb > kLargestCheckedCardGb) {
    return 0;
  }
  app_log(MOD_MAIN, LEVEL_INFO, "Checking for dirty bit in SD card partitions");
  if (pause == CheckPause::kOneSecond) {
    os_sleep_ms(1000);
  }
  detect_dirty_partitions();
  for (const PartitionRepair& repair : kRepairs) {
    if (!*repair.dirty) {
      continue;
    }
    repairPartition = repair.partition;
    if (repair_partition(repair.partition) == 0) {
      *repair.dirty = 0;
      app_log(MOD_MAIN, LEVEL_INFO, "%s", repair.repaired);
    } else {
      app_log(MOD_MAIN, LEVEL_INFO, "%s", repair.failed);
    }
  }
  check_sd_card();
  sdCheckDone = 1;
  return 0;
}

int move_secondary_to_primary() {
  if (is_primary_usable() != 1 || secondary_has_media() != 1) {
    app_log(MOD_MAIN, LEVEL_INFO, "MOVE FILES FROM SEC TO PRI NOT DONE");
    return -1;
  }
  app_log(MOD_MAIN, LEVEL_INFO, "MOVING FILES FROM SEC TO PRI STARTED");
  set_file_copy_ongoing(1);
  move_secondary_media();
  set_file_copy_ongoing(0);
  app_log(MOD_MAIN, LEVEL_INFO, "MOVE FILES FROM SEC TO PRI DONE");
  return 0;
}
