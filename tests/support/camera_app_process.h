// camera_app as a child process with its console on a pipe, for tests that run it whole in
// the sandbox. The destructor kills it as a power cut would.
#pragma once

#include <poll.h>
#include <signal.h>
#include <sys/types.h>
#include <sys/wait.h>
#include <unistd.h>

#include <chrono>
#include <string>
#include <vector>

namespace test_support {

class CameraAppProcess {
 public:
  // `path`: the camera_app binary to start.
  explicit CameraAppProcess(const char* path) {
    int out[2];
    if (pipe(out) != 0) {
      return;
    }
    pid_ = fork();
    if (pid_ == 0) {
      dup2(out[1], STDOUT_FILENO);
      close(out[0]);
      close(out[1]);
      execl(path, "camera_app", nullptr);
      _exit(127);
    }
    close(out[1]);
    stdout_ = out[0];
  }
  ~CameraAppProcess() {
    if (pid_ > 0) {
      kill(pid_, SIGKILL);
      waitpid(pid_, nullptr, 0);
    }
    if (stdout_ >= 0) {
      close(stdout_);
    }
  }
  CameraAppProcess(const CameraAppProcess&) = delete;
  CameraAppProcess& operator=(const CameraAppProcess&) = delete;

  pid_t pid() const { return pid_; }

  // Reads console lines until one contains `text` or `limit` passes. Returns every line read.
  std::vector<std::string> read_until(const std::string& text, std::chrono::seconds limit) {
    const auto deadline = std::chrono::steady_clock::now() + limit;
    while (std::chrono::steady_clock::now() < deadline) {
      size_t newline;
      while ((newline = pending_.find('\n')) != std::string::npos) {
        lines_.push_back(pending_.substr(0, newline));
        pending_.erase(0, newline + 1);
        if (lines_.back().find(text) != std::string::npos) {
          return lines_;
        }
      }
      pollfd readable{stdout_, POLLIN, 0};
      if (poll(&readable, 1, 100) > 0) {
        char buffer[4096];
        ssize_t got = read(stdout_, buffer, sizeof buffer);
        if (got <= 0) {
          break;
        }
        pending_.append(buffer, static_cast<size_t>(got));
      }
    }
    return lines_;
  }

  bool alive() const { return pid_ > 0 && waitpid(pid_, nullptr, WNOHANG) == 0; }

 private:
  pid_t pid_ = -1;
  int stdout_ = -1;
  std::string pending_;
  std::vector<std::string> lines_;
};

}  // namespace test_support
