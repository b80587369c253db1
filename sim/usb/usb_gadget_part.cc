// The USB gadget part: its /sys files at each power-up and a watcher that records writes.
#include "sim/usb/usb_gadget_part.h"

#include <poll.h>
#include <sys/inotify.h>
#include <unistd.h>

#include <filesystem>
#include <fstream>
#include <iterator>
#include <memory>

#include "sim/board/board.h"

namespace sim::usb {

namespace {

namespace fs = std::filesystem;

constexpr int kWatchSliceMs = 50;

std::string read_value(const fs::path& path) {
  std::ifstream in(path);
  std::string text((std::istreambuf_iterator<char>(in)), std::istreambuf_iterator<char>());
  while (!text.empty() && (text.back() == '\n' || text.back() == ' ')) {
    text.pop_back();
  }
  return text;
}

struct FileField {
  const char* name;
  std::string GadgetFiles::*value;
};

constexpr FileField kFields[] = {
    {"enable", &GadgetFiles::enable},     {"functions", &GadgetFiles::functions},
    {"idVendor", &GadgetFiles::idVendor}, {"idProduct", &GadgetFiles::idProduct},
    {"lun0/file", &GadgetFiles::lunFile},
};

fs::path file_path(const std::string& sysDir, const FileField& field) {
  if (field.value == &GadgetFiles::lunFile) {
    return fs::path(sysDir) / kLunRelPath;
  }
  return fs::path(sysDir) / kGadgetRelDir / field.name;
}

}  // namespace

std::string GadgetFiles::lent() const {
  return enable == "1" && functions == "mass_storage" ? lunFile : std::string();
}

int make_gadget_files(const std::string& sysDir) {
  std::error_code error;
  fs::create_directories(fs::path(sysDir) / kGadgetRelDir, error);
  fs::create_directories(fs::path(sysDir) / kLunRelPath, error);
  fs::remove(fs::path(sysDir) / kLunRelPath, error);
  for (const FileField& field : kFields) {
    std::ofstream out(file_path(sysDir, field), std::ios::trunc);
    if (!out) {
      return -1;
    }
  }
  return 0;
}

GadgetFiles read_gadget_files(const std::string& sysDir) {
  GadgetFiles files;
  for (const FileField& field : kFields) {
    files.*field.value = read_value(file_path(sysDir, field));
  }
  return files;
}

UsbGadgetPart::~UsbGadgetPart() {
  stop_watching();
}

int UsbGadgetPart::attach(board::Board& board, std::string*) {
  board_ = &board;
  return 0;
}

int UsbGadgetPart::power_up(const board::WakeContext& wake, std::string* ret_error) {
  stop_watching();
  if (make_gadget_files(wake.sysDir) != 0) {
    *ret_error = "cannot make the USB gadget files in " + wake.sysDir;
    return -1;
  }
  {
    std::lock_guard lock(mutex_);
    files_ = GadgetFiles();
  }
  {
    std::lock_guard lock(mutex_);
    sysDir_ = wake.sysDir;
  }
  watching_ = true;
  watcher_ = std::thread([this, dir = wake.sysDir] { watch(dir); });
  return 0;
}

void UsbGadgetPart::power_cut(const board::WakeContext&) {
  stop_watching();
  std::lock_guard lock(mutex_);
  files_ = GadgetFiles();  // no power, no gadget: the host loses the disk
}

std::string UsbGadgetPart::lent() const {
  // Read from the files themselves: the host sees the gadget as it is this moment.
  std::string sysDir;
  {
    std::lock_guard lock(mutex_);
    if (!watching_) {
      return {};
    }
    sysDir = sysDir_;
  }
  return read_gadget_files(sysDir).lent();
}

void UsbGadgetPart::stop_watching() {
  watching_ = false;
  if (watcher_.joinable()) {
    watcher_.join();
  }
}

void UsbGadgetPart::watch(std::string sysDir) {
  // Every write the camera makes (echo VALUE > FILE) ends with a close: inotify tells each one,
  // however close together they come.
  const int notify = inotify_init1(IN_NONBLOCK | IN_CLOEXEC);
  if (notify < 0) {
    return;
  }
  const std::string gadgetDir = (fs::path(sysDir) / kGadgetRelDir).string();
  const std::string lunDir = (fs::path(sysDir) / kLunRelPath).parent_path().string();
  const int gadgetWatch = inotify_add_watch(notify, gadgetDir.c_str(), IN_CLOSE_WRITE);
  inotify_add_watch(notify, lunDir.c_str(), IN_CLOSE_WRITE);
  alignas(inotify_event) char buffer[4096];
  while (watching_) {
    pollfd entry{notify, POLLIN, 0};
    if (poll(&entry, 1, kWatchSliceMs) <= 0) {
      continue;
    }
    const ssize_t length = read(notify, buffer, sizeof buffer);
    for (ssize_t at = 0; at < length;) {
      const auto* event = reinterpret_cast<const inotify_event*>(buffer + at);
      at += static_cast<ssize_t>(sizeof(inotify_event) + event->len);
      const std::string name =
          event->wd == gadgetWatch ? std::string(event->name) : std::string("lun0/") + event->name;
      record_write(sysDir, name);
    }
  }
  close(notify);
}

void UsbGadgetPart::record_write(const std::string& sysDir, const std::string& name) {
  const GadgetFiles now = read_gadget_files(sysDir);
  GadgetFiles before;
  {
    std::lock_guard lock(mutex_);
    before = files_;
    files_ = now;
  }
  for (const FileField& field : kFields) {
    if (name == field.name) {
      board_->part_event("usb", name + " <- \"" + now.*field.value + "\"",
                         {{"file", name}, {"value", now.*field.value}});
    }
  }
  if (before.lent().empty() && !now.lent().empty()) {
    ++lends_;
    board_->part_event("usb", "lent to the Modem: " + now.lent(), {{"lent", now.lent()}});
  } else if (!before.lent().empty() && now.lent().empty()) {
    board_->part_event("usb", "returned by the Modem: " + before.lent(),
                       {{"returned", before.lent()}});
  }
}

std::unique_ptr<board::BoardPart> make_usb_gadget_part() {
  return std::make_unique<UsbGadgetPart>();
}

}  // namespace sim::usb
