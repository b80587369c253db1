// Keeps every raw snapshot the camera writes into its /tmp (snap*.yuv), copied the moment the
// file is closed: the camera renames and removes them as it processes them, so waiting for the
// power-off would lose most of them.
#pragma once

#include <functional>
#include <string>
#include <thread>
#include <vector>

namespace sim::sensor {

class SnapshotWatch {
 public:
  // Called on the watch's thread for each copy kept: the name in /tmp, the copy, its size.
  using OnKept = std::function<void(const std::string& name, const std::string& copy, size_t)>;

  ~SnapshotWatch() { stop(); }

  // Watches `tmpDir`, keeping copies in `keepDir`. Returns 0 or -1.
  int start(const std::string& tmpDir, const std::string& keepDir, OnKept onKept);
  // Stops watching, after taking the snapshots already closed. Returns the copies, oldest first.
  std::vector<std::string> stop();

 private:
  void run(int inotifyFd, int stopFd);
  void keep(const std::string& name);

  std::string tmpDir_;
  std::string keepDir_;
  OnKept onKept_;
  std::thread thread_;
  int stopWrite_ = -1;
  std::vector<std::string> copies_;
};

}  // namespace sim::sensor
