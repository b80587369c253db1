#include "app/storage/sd_format.h"

#include "app/records/log/app_log.h"
#include "app/storage/sd_card.h"
#include "app/system/core/shell.h"
#include "app/system/core/sys_info.h"
#include "app/system/os/os.h"

namespace {

constexpr unsigned kMonitorPollMs = 250;

// fdisk's dialogue: a new DOS table, partition 2 of 1 GiB first, then partition 1 over the
// rest, both of type c (FAT32 with LBA), then write.
constexpr char kPartitionScript[] =
    "(echo  ; echo o; echo n; echo p; echo 2; echo  ; echo +1G; echo ; echo n; echo p; echo 1; "
    "echo  ; echo  ; sleep 2; echo t; echo 1; echo c; echo t; echo 2; echo c; echo w;) | fdisk "
    "/dev/mmcblk0";

struct PartitionCommands {
  const char* mkfs;
  const char* unmount;
  const char* mount;
  const char* mode_probe;
};

constexpr PartitionCommands kPrimary = {
    "mkfs.vfat -F32 -v /dev/mmcblk0p1", "umount /sdcard/primary",
    "mount -t vfat -o noatime -o usefree /dev/mmcblk0p1 /sdcard/primary > /dev/null",
    "mount | grep -nir mmcblk0p1"};
constexpr PartitionCommands kSecondary = {
    "mkfs.vfat -F32 -v /dev/mmcblk0p2", "umount /sdcard/secondary",
    "mount -t vfat -o noatime -o usefree /dev/mmcblk0p2 /sdcard/secondary > /dev/null",
    "mount | grep -nir mmcblk0p2"};

// Mounts a fresh partition; one that does not come up as FAT gets one more format and mount.
void mount_formatted(const PartitionCommands& partition) {
  if (run_shell(partition.mount) == 0 && is_vfat(partition.mode_probe) == 0) {
    run_shell("sync");
    return;
  }
  run_shell(partition.mkfs);
  run_shell("sync");
  run_shell(partition.unmount);
  run_shell(partition.mount);
  run_shell("sync");
}

void set_fsck_ongoing(int8_t value) {
  SemLock lock(&sysInfoLock);
  sysInfo->fsckOngoing = value;
}

struct RepairCommands {
  int partition;
  const char* unmount;
  const char* mount;
  const char* root;
};

constexpr RepairCommands kRepairs[] = {
    {1, "umount /sdcard/primary", "mount -o noatime -o usefree /dev/mmcblk0p1 /sdcard/primary",
     kPrimaryRoot},
    {2, "umount /sdcard/secondary", "mount -o noatime -o usefree /dev/mmcblk0p2 /sdcard/secondary",
     kSecondaryRoot},
};

}  // namespace

int format_sd_card() {
  while (sysInfo->sdCheckRequest) {
    os_sleep_ms(kMonitorPollMs);
  }
  get_sd_partition_count();
  run_shell("umount /sdcard/primary");
  run_shell("mount -o noatime -o usefree /dev/mmcblk0p1 /sdcard/primary");
  run_shell("umount /sdcard/primary");
  run_shell("umount /sdcard/secondary");
  os_sleep_ms(1000);
  if (run_shell(kPartitionScript) != 0) {
    return -1;
  }
  os_sleep_ms(2000);
  run_shell("sync");
  for (const PartitionCommands* partition : {&kSecondary, &kPrimary}) {
    if (run_shell(partition->mkfs) != 0) {
      app_log(MOD_SD_CONF, LEVEL_ERR, "ERROR IN SD FORMATTING\n");
      return -1;
    }
    run_shell("sync");
  }
  run_shell("umount /sdcard/primary");
  run_shell("umount /sdcard/secondary");
  mount_formatted(kPrimary);
  mount_formatted(kSecondary);
  return 0;
}

int repair_partition(int partition) {
  set_fsck_ongoing(1);
  const RepairCommands* repair = nullptr;
  for (const RepairCommands& candidate : kRepairs) {
    if (candidate.partition == partition) {
      repair = &candidate;
    }
  }
  if (repair == nullptr) {
    run_shellf("/system/bin/fsck.fat -y /dev/mmcblk0p%d", partition);
  } else {
    run_shell(repair->unmount);
    run_shellf("/system/bin/fsck.fat -y /dev/mmcblk0p%d", partition);
    run_shell(repair->mount);
    run_shellf("rm -f %s/*.REC", repair->root);
    run_shellf("rm -f %s/FSCK*", repair->root);
    run_shellf("rm -f %s/fsck*", repair->root);
  }
  set_fsck_ongoing(0);
  return 0;
}
