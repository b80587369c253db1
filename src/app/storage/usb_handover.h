// The USB mass-storage handover: the Modem reads the primary partition over USB while the
// camera acts as a mass-storage device. The decision when to lend and take back belongs to the
// sync and first-boot states; here are the three gadget operations.
#pragma once

inline constexpr char kGadgetDir[] = "/sys/class/android_usb/android0";
inline constexpr char kGadgetLunFile[] = "/sys/devices/platform/jz-dwc2/dwc2/gadget/lun0/file";

// Identity and function of the gadget. Returns 0, or -1 at the first command that failed.
int usb_gadget_init();

// Unmounts the primary partition and exports it as the gadget's unit. Returns 0, or -1 at the
// first command that failed (the partition is never exported while still mounted here).
int lend_primary_to_modem();

// Empties the unit and mounts the primary partition again (a second try after 250 ms), and
// remounts it once more as FAT when it came back read-only. Returns the last mount's result
// (0 mounted).
int take_primary_from_modem();
