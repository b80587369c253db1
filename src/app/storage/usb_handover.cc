// The three operations on the kernel's USB gadget that lend the primary partition to the Modem
// and take it back.
#include "app/storage/usb_handover.h"

#include <mutex>

#include "app/records/log/app_log.h"
#include "app/storage/sd_card.h"
#include "app/system/core/shell.h"
#include "app/system/core/sys_info.h"
#include "app/system/os/os.h"

namespace {

constexpr unsigned kRemountPauseMs = 250;
constexpr char kMountPrimary[] = "mount -o noatime -o usefree /dev/mmcblk0p1 /sdcard/primary";

// Runs the commands in order; -1 at the first one that fails.
template <std::size_t N>
int run_in_order(const char* const (&commands)[N]) {
  for (const char* command : commands) {
    if (run_shell(command) != 0) {
      return -1;
    }
  }
  return 0;
}

// One taking back of the primary partition at a time.
std::mutex usbHandoverLock;

}  // namespace

int usb_gadget_init() {
  static constexpr const char* kCommands[] = {
      "echo 0x18d1 > /sys/class/android_usb/android0/idVendor",
      "echo 0xd002 >  /sys/class/android_usb/android0/idProduct",
      "echo mass_storage > /sys/class/android_usb/android0/functions",
  };
  return run_in_order(kCommands);
}

int lend_primary_to_modem() {
  static constexpr const char* kCommands[] = {
      "umount /sdcard/primary",
      "echo 0 > /sys/class/android_usb/android0/enable",
      "echo /dev/mmcblk0p1 > /sys/devices/platform/jz-dwc2/dwc2/gadget/lun0/file",
      "echo 1 > /sys/class/android_usb/android0/enable",
  };
  return run_in_order(kCommands);
}

int take_primary_from_modem() {
  std::lock_guard lock(usbHandoverLock);
  run_shell("echo 0 > /sys/class/android_usb/android0/enable");
  run_shell("echo > /sys/devices/platform/jz-dwc2/dwc2/gadget/lun0/file");
  run_shell("umount /sdcard/primary");
  int mounted = run_shell(kMountPrimary);
  if (mounted != 0) {
    os_sleep_ms(kRemountPauseMs);
    run_shell("umount /sdcard/primary");
    mounted = run_shell(kMountPrimary);
  }
  if (get_mount_mode("mount | grep -nir mmcblk0p1") == "ro") {
    app_log(MOD_SD_CONF, LEVEL_ERR, "ERROR : SD CARD [primary mmcblk0p1] IS READ ONLY:\n");
    run_shell("umount /sdcard/primary");
    run_shell("mount -t vfat -o noatime -o usefree /dev/mmcblk0p1 /sdcard/primary > /dev/null");
  }
  return mounted;
}
