#include "sim/gpio/gpio_bank.h"

#include <fcntl.h>
#include <poll.h>
#include <sys/inotify.h>
#include <sys/stat.h>
#include <unistd.h>

#include <cerrno>
#include <fstream>
#include <sstream>
#include <utility>

namespace sim::gpio {

namespace {

// The USB gadget's control files, there from power-up.
constexpr std::array<std::string_view, 5> kGadgetFiles = {
    "class/android_usb/android0/idVendor",
    "class/android_usb/android0/idProduct",
    "class/android_usb/android0/functions",
    "class/android_usb/android0/enable",
    "devices/platform/jz-dwc2/dwc2/gadget/lun0/file",
};

int make_dirs(const std::string& path) {
  std::string partial;
  std::istringstream parts(path);
  if (!path.empty() && path[0] == '/') {
    partial = "/";
  }
  for (std::string part; std::getline(parts, part, '/');) {
    if (part.empty()) {
      continue;
    }
    partial += part + "/";
    if (mkdir(partial.c_str(), 0755) != 0 && errno != EEXIST) {
      return -1;
    }
  }
  return 0;
}

int write_file(const std::string& path, const std::string& content) {
  std::ofstream file(path, std::ios::trunc);
  file << content;
  return file.good() ? 0 : -1;
}

std::string read_word(const std::string& path) {
  std::ifstream file(path);
  std::string word;
  file >> word;
  return word;
}

}  // namespace

const GpioLine* find_gpio_line(int number) {
  for (const GpioLine& line : kGpioLines) {
    if (line.number == number) {
      return &line;
    }
  }
  return nullptr;
}

GpioBank::GpioBank(ChangeCallback onChange) : onChange_(std::move(onChange)) {
  for (const GpioLine& line : kGpioLines) {
    if (line.input) {
      inputs_[line.number] = 0;
    }
  }
}

GpioBank::~GpioBank() {
  power_down();
}

int GpioBank::power_up(const std::string& sysDir) {
  power_down();
  const std::string gpioDir = sysDir + "/class/gpio";
  if (make_dirs(gpioDir) != 0) {
    return -1;
  }
  std::lock_guard lock(mutex_);
  gpioDir_ = gpioDir;
  seen_.clear();
  int failed = write_file(gpioDir + "/export", "") | write_file(gpioDir + "/unexport", "");
  for (const GpioLine& line : kGpioLines) {
    const std::string dir = gpioDir + "/gpio" + std::to_string(line.number);
    failed |= make_dirs(dir);
    const std::string level = line.input ? std::to_string(inputs_[line.number]) : "0";
    failed |= write_file(dir + "/direction", "in\n") | write_file(dir + "/value", level + "\n");
    seen_[{line.number, "value"}] = level;
    seen_[{line.number, "direction"}] = "in";
  }
  for (std::string_view gadget : kGadgetFiles) {
    const std::string path = sysDir + "/" + std::string(gadget);
    failed |= make_dirs(path.substr(0, path.rfind('/'))) | write_file(path, "");
  }
  if (failed != 0) {
    return -1;
  }

  const int inotifyFd = inotify_init1(IN_CLOEXEC | IN_NONBLOCK);
  int stop[2];
  if (inotifyFd < 0 || pipe2(stop, O_CLOEXEC) != 0) {
    if (inotifyFd >= 0) {
      close(inotifyFd);
    }
    return -1;
  }
  watches_.clear();
  constexpr uint32_t kWritten = IN_CLOSE_WRITE | IN_MODIFY;
  watches_[inotify_add_watch(inotifyFd, (gpioDir + "/export").c_str(), kWritten)] = {0, "export"};
  watches_[inotify_add_watch(inotifyFd, (gpioDir + "/unexport").c_str(), kWritten)] = {0,
                                                                                       "unexport"};
  for (const GpioLine& line : kGpioLines) {
    const std::string dir = gpioDir + "/gpio" + std::to_string(line.number);
    for (const char* file : {"value", "direction"}) {
      const int watch = inotify_add_watch(inotifyFd, (dir + "/" + file).c_str(), kWritten);
      watches_[watch] = {line.number, file};
    }
  }
  stopWrite_ = stop[1];
  const int stopRead = stop[0];
  watcher_ = std::thread([this, inotifyFd, stopRead] {
    watch(inotifyFd, stopRead);
    close(inotifyFd);
    close(stopRead);
  });
  return 0;
}

void GpioBank::power_down() {
  int stopWrite;
  {
    std::lock_guard lock(mutex_);
    stopWrite = std::exchange(stopWrite_, -1);
  }
  if (stopWrite < 0) {
    return;
  }
  const char byte = 0;
  [[maybe_unused]] const ssize_t n = write(stopWrite, &byte, 1);
  watcher_.join();
  close(stopWrite);
}

void GpioBank::watch(int inotifyFd, int stopFd) {
  for (;;) {
    pollfd fds[2] = {{inotifyFd, POLLIN, 0}, {stopFd, POLLIN, 0}};
    if (poll(fds, 2, -1) < 0) {
      if (errno == EINTR) {
        continue;
      }
      return;
    }
    // Whatever was written before the stop is still looked at.
    alignas(inotify_event) char buffer[4096];
    const ssize_t got = read(inotifyFd, buffer, sizeof buffer);
    for (ssize_t offset = 0; got > 0 && offset < got;) {
      const auto* event = reinterpret_cast<const inotify_event*>(buffer + offset);
      std::pair<int, std::string> target;
      {
        std::lock_guard lock(mutex_);
        const auto found = watches_.find(event->wd);
        if (found != watches_.end()) {
          target = found->second;
        }
      }
      if (!target.second.empty()) {
        look_at(target.first, target.second);
      }
      offset += static_cast<ssize_t>(sizeof(inotify_event) + event->len);
    }
    if ((fds[1].revents & POLLIN) != 0) {
      return;
    }
  }
}

void GpioBank::look_at(int line, const std::string& what) {
  GpioChange change;
  {
    std::lock_guard lock(mutex_);
    const std::string path =
        line == 0 ? gpioDir_ + "/" + what : gpioDir_ + "/gpio" + std::to_string(line) + "/" + what;
    const std::string now = read_word(path);
    // A shell redirection empties the file before it writes: nothing to see yet.
    if (now.empty()) {
      return;
    }
    if (line == 0) {
      // export/unexport: the line number written is the news.
      char* end = nullptr;
      change.line = static_cast<int>(strtol(now.c_str(), &end, 10));
      std::string& last = seen_[{change.line, what}];
      if (last == "written") {
        return;
      }
      last = "written";
      change.what = what;
      change.to = now;
    } else {
      std::string& last = seen_[{line, what}];
      if (last == now) {
        return;
      }
      change.line = line;
      change.what = what;
      change.from = last;
      change.to = now;
      last = now;
    }
  }
  if (onChange_) {
    onChange_(change);
  }
}

int GpioBank::set_input(int line, int level) {
  const GpioLine* known = find_gpio_line(line);
  if (known == nullptr || !known->input || (level != 0 && level != 1)) {
    return -1;
  }
  std::string dir;
  {
    std::lock_guard lock(mutex_);
    inputs_[line] = level;
    if (stopWrite_ < 0) {
      return 0;
    }
    dir = gpioDir_ + "/gpio" + std::to_string(line);
  }
  return write_file(dir + "/value", std::to_string(level) + "\n");
}

int GpioBank::input(int line) const {
  std::lock_guard lock(mutex_);
  const auto found = inputs_.find(line);
  return found != inputs_.end() ? found->second : -1;
}

std::string GpioBank::level(int line) const {
  std::lock_guard lock(mutex_);
  const auto found = seen_.find({line, "value"});
  return found != seen_.end() ? found->second : "";
}

}  // namespace sim::gpio
