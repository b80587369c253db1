// One power-up of the application processor: camera_app (and the watchdog daemon beside it)
// running in the board's sandbox, with its console, its error output and the daemon's report
// read line by line on a thread of its own, and the supply cut that ends it.
#pragma once

#include <sys/types.h>

#include <atomic>
#include <functional>
#include <mutex>
#include <string>
#include <thread>
#include <vector>

#include "sim/board/process_stacks.h"

namespace sim::board {

struct CameraLaunch {
  std::string sandboxScript;  // sim/sandbox/camera-sandbox
  // camera-sandbox options (everything before "--").
  std::vector<std::string> sandboxOptions;
  // The command run inside, after the watchdog daemon is started beside it.
  std::string command = "camera_app";
  // Started in the background first, its standard output going to the board; empty for none.
  std::string watchdogCommand = "wdm_daemon";
};

class CameraProcess {
 public:
  struct Callbacks {
    std::function<void(const std::string&)> consoleLine;   // camera_app's standard output
    std::function<void(const std::string&)> errorLine;     // its standard error
    std::function<void(const std::string&)> watchdogLine;  // the daemon's report
    // Every process has ended. `cut` tells whether the board cut the power; otherwise
    // `status` is camera_app's exit status (waitpid form).
    std::function<void(bool cut, int status)> ended;
  };

  CameraProcess() = default;
  ~CameraProcess();
  CameraProcess(const CameraProcess&) = delete;
  CameraProcess& operator=(const CameraProcess&) = delete;

  // Starts the sandbox. Returns 0, or -1 with `ret_error`.
  int start(const CameraLaunch& launch, Callbacks callbacks, std::string* ret_error = nullptr);
  // Cuts the supply: every process of the sandbox is killed at once. Safe from any thread,
  // also from a callback; the `ended` callback follows on the reader thread.
  void cut();
  // Waits until the reader thread is done (after the end of every process).
  void join();

  bool running() const { return running_; }
  // The sandbox's PID namespace, known once it started.
  PidNamespace pid_namespace() const;
  // Processes of the host that still live in that namespace.
  int processes_alive() const;
  // Their host PIDs, lowest first.
  std::vector<pid_t> processes() const;

 private:
  void read_all(int stdoutFd, int stderrFd, int watchdogFd, int infoFd);

  pid_t sandbox_ = -1;
  std::atomic<pid_t> init_{-1};
  std::atomic<bool> running_{false};
  std::atomic<bool> cutByBoard_{false};
  mutable std::mutex mutex_;
  PidNamespace pidNamespace_;
  Callbacks callbacks_;
  std::thread reader_;
};

}  // namespace sim::board
