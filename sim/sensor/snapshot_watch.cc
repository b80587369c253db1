#include "sim/sensor/snapshot_watch.h"

#include <fcntl.h>
#include <poll.h>
#include <sys/inotify.h>
#include <unistd.h>

#include <filesystem>

namespace sim::sensor {

namespace fs = std::filesystem;

namespace {

bool is_snapshot(const std::string& name) {
  return name.starts_with("snap") && name.ends_with(".yuv");
}

}  // namespace

int SnapshotWatch::start(const std::string& tmpDir, const std::string& keepDir, OnKept onKept) {
  stop();
  tmpDir_ = tmpDir;
  keepDir_ = keepDir;
  onKept_ = std::move(onKept);
  copies_.clear();
  std::error_code error;
  fs::create_directories(keepDir_, error);
  int inotifyFd = inotify_init1(IN_CLOEXEC);
  int pipeFds[2];
  if (error || inotifyFd < 0 || inotify_add_watch(inotifyFd, tmpDir_.c_str(), IN_CLOSE_WRITE) < 0 ||
      pipe2(pipeFds, O_CLOEXEC) != 0) {
    if (inotifyFd >= 0) {
      close(inotifyFd);
    }
    return -1;
  }
  stopWrite_ = pipeFds[1];
  thread_ = std::thread([this, inotifyFd, stopRead = pipeFds[0]] { run(inotifyFd, stopRead); });
  return 0;
}

std::vector<std::string> SnapshotWatch::stop() {
  if (thread_.joinable()) {
    (void)!write(stopWrite_, "x", 1);
    thread_.join();
    close(stopWrite_);
    stopWrite_ = -1;
  }
  return copies_;
}

void SnapshotWatch::run(int inotifyFd, int stopFd) {
  alignas(inotify_event) char buffer[4096];
  bool stopping = false;
  while (!stopping) {
    pollfd fds[2] = {{inotifyFd, POLLIN, 0}, {stopFd, POLLIN, 0}};
    if (poll(fds, 2, -1) < 0) {
      continue;
    }
    // Asked to stop: take what is already queued first.
    stopping = (fds[1].revents & POLLIN) != 0;
    if (stopping) {
      fcntl(inotifyFd, F_SETFL, O_NONBLOCK);
    } else if ((fds[0].revents & POLLIN) == 0) {
      continue;
    }
    ssize_t got = 0;
    while ((got = read(inotifyFd, buffer, sizeof(buffer))) > 0) {
      for (char* at = buffer; at < buffer + got;) {
        const inotify_event* event = reinterpret_cast<const inotify_event*>(at);
        if (event->len > 0 && is_snapshot(event->name)) {
          keep(event->name);
        }
        at += sizeof(inotify_event) + event->len;
      }
      if (!stopping) {
        break;
      }
    }
  }
  close(inotifyFd);
  close(stopFd);
}

void SnapshotWatch::keep(const std::string& name) {
  const std::string copy = keepDir_ + "/" + std::to_string(copies_.size() + 1) + "-" + name;
  std::error_code error;
  if (!fs::copy_file(tmpDir_ + "/" + name, copy, fs::copy_options::overwrite_existing, error)) {
    return;
  }
  const size_t size = static_cast<size_t>(fs::file_size(copy, error));
  copies_.push_back(copy);
  if (onKept_) {
    onKept_(name, copy, size);
  }
}

}  // namespace sim::sensor
