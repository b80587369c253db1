// The USB device gadget of the application processor, as the board plays it: the gadget's
// control files under /sys (android_usb/android0: enable, functions, idVendor, idProduct, and
// the mass-storage unit's lun0/file). Writes are recorded with their board time; the partition
// is lent to the USB host (the Modem) only while the gadget is enabled as mass storage with a
// partition in its unit.
#pragma once

#include <atomic>
#include <map>
#include <memory>
#include <mutex>
#include <string>
#include <thread>

#include "sim/board/board_part.h"

namespace sim::usb {

inline constexpr char kGadgetRelDir[] = "class/android_usb/android0";
inline constexpr char kLunRelPath[] = "devices/platform/jz-dwc2/dwc2/gadget/lun0/file";

// The gadget's files inside a /sys folder, and what they say.
struct GadgetFiles {
  std::string enable;
  std::string functions;
  std::string idVendor;
  std::string idProduct;
  std::string lunFile;

  // The device path the host can read ("/dev/mmcblk0p1"), or "" when nothing is lent.
  std::string lent() const;
};

// Makes the gadget's files (empty, gadget disabled) under `sysDir`. Returns 0 or -1.
int make_gadget_files(const std::string& sysDir);
// Reads them (values without their line end).
GadgetFiles read_gadget_files(const std::string& sysDir);

class UsbGadgetPart : public board::BoardPart {
 public:
  ~UsbGadgetPart() override;
  std::string_view name() const override { return "usb"; }
  int attach(board::Board& board, std::string* ret_error) override;
  int power_up(const board::WakeContext& wake, std::string* ret_error) override;
  void power_cut(const board::WakeContext& wake) override;

  // What the USB host sees now: the lent device path, or "".
  std::string lent() const;
  // Times the partition was lent in this scenario.
  int lends() const { return lends_; }

 private:
  void watch(std::string sysDir);
  void record_write(const std::string& sysDir, const std::string& name);
  void stop_watching();

  board::Board* board_ = nullptr;
  mutable std::mutex mutex_;
  GadgetFiles files_;
  std::string sysDir_;
  std::atomic<bool> watching_{false};
  std::atomic<int> lends_{0};
  std::thread watcher_;
};

std::unique_ptr<board::BoardPart> make_usb_gadget_part();

}  // namespace sim::usb
