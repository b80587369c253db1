#include "sim/board/camera_process.h"

#include <fcntl.h>
#include <poll.h>
#include <signal.h>
#include <sys/wait.h>
#include <unistd.h>

#include <array>
#include <cerrno>
#include <cstring>
#include <utility>

#include "sim/board/process_stacks.h"

namespace sim::board {

namespace {

// Descriptors the sandbox inherits: the daemon's report and bubblewrap's information.
constexpr int kWatchdogFd = 3;
constexpr int kInfoFd = 4;

// Splits what arrives on a descriptor into lines.
struct LineReader {
  int fd = -1;
  std::string pending;
  std::function<void(const std::string&)>* deliver = nullptr;

  // Reads what is there; false at end of file.
  bool read_some() {
    char buffer[4096];
    const ssize_t got = read(fd, buffer, sizeof buffer);
    if (got < 0 && (errno == EINTR || errno == EAGAIN)) {
      return true;
    }
    if (got <= 0) {
      if (!pending.empty()) {
        emit(pending);
        pending.clear();
      }
      return false;
    }
    pending.append(buffer, static_cast<std::size_t>(got));
    for (std::size_t end; (end = pending.find('\n')) != std::string::npos;) {
      std::string line = pending.substr(0, end);
      pending.erase(0, end + 1);
      emit(line);
    }
    return true;
  }

  void emit(std::string line) {
    if (!line.empty() && line.back() == '\r') {
      line.pop_back();
    }
    if (deliver != nullptr && *deliver) {
      (*deliver)(line);
    }
  }
};

// The sandbox's child-pid from bubblewrap's information ("child-pid": N).
pid_t child_pid(const std::string& info) {
  const std::size_t key = info.find("\"child-pid\"");
  if (key == std::string::npos) {
    return -1;
  }
  const std::size_t colon = info.find(':', key);
  return colon == std::string::npos ? -1
                                    : static_cast<pid_t>(strtol(&info[colon + 1], nullptr, 10));
}

}  // namespace

CameraProcess::~CameraProcess() {
  cut();
  join();
}

int CameraProcess::start(const CameraLaunch& launch, Callbacks callbacks, std::string* ret_error) {
  auto fail = [&](const std::string& what) {
    if (ret_error != nullptr) {
      *ret_error = what + ": " + strerror(errno);
    }
    return -1;
  };
  if (running_) {
    errno = EBUSY;
    return fail("the camera is already powered");
  }
  join();
  std::array<std::array<int, 2>, 4> pipes{};
  for (auto& ends : pipes) {
    ends = {-1, -1};
  }
  auto close_pipes = [&pipes] {
    for (auto& ends : pipes) {
      for (int& fd : ends) {
        if (fd >= 0) {
          close(fd);
          fd = -1;
        }
      }
    }
  };
  for (auto& ends : pipes) {
    if (pipe2(ends.data(), O_CLOEXEC) != 0) {
      const int error = errno;
      close_pipes();
      errno = error;
      return fail("cannot make the sandbox's pipes");
    }
  }
  auto& [outPipe, errPipe, watchdogPipe, infoPipe] = pipes;

  std::vector<std::string> arguments = {launch.sandboxScript};
  arguments.insert(arguments.end(), launch.sandboxOptions.begin(), launch.sandboxOptions.end());
  arguments.insert(arguments.end(), {"--info-fd", std::to_string(kInfoFd), "--", "/bin/sh", "-c"});
  // The daemon reports on descriptor 3; camera_app gets no descriptor of the board.
  std::string script;
  if (!launch.watchdogCommand.empty()) {
    script = launch.watchdogCommand + " >&3 3>&- 2>/dev/null & ";
  }
  script += "exec " + launch.command + " 3>&-";
  arguments.push_back(script);
  std::vector<char*> argv;
  for (std::string& argument : arguments) {
    argv.push_back(argument.data());
  }
  argv.push_back(nullptr);

  const pid_t pid = fork();
  if (pid < 0) {
    const int error = errno;
    close_pipes();
    errno = error;
    return fail("cannot start the sandbox");
  }
  if (pid == 0) {
    dup2(outPipe[1], STDOUT_FILENO);
    dup2(errPipe[1], STDERR_FILENO);
    dup2(watchdogPipe[1], kWatchdogFd);
    dup2(infoPipe[1], kInfoFd);
    // The sandbox's own standard input is nothing.
    const int null = open("/dev/null", O_RDONLY);
    dup2(null, STDIN_FILENO);
    execv(argv[0], argv.data());
    _exit(127);
  }
  for (auto& ends : pipes) {
    close(ends[1]);
  }
  sandbox_ = pid;
  init_ = -1;
  cutByBoard_ = false;
  running_ = true;
  callbacks_ = std::move(callbacks);
  {
    std::lock_guard lock(mutex_);
    pidNamespace_ = {};
  }
  reader_ = std::thread([this, out = outPipe[0], err = errPipe[0], dog = watchdogPipe[0],
                         info = infoPipe[0]] { read_all(out, err, dog, info); });
  return 0;
}

void CameraProcess::read_all(int stdoutFd, int stderrFd, int watchdogFd, int infoFd) {
  std::function<void(const std::string&)> noLines;
  std::array<LineReader, 3> readers = {
      LineReader{stdoutFd, {}, &callbacks_.consoleLine},
      LineReader{stderrFd, {}, &callbacks_.errorLine},
      LineReader{watchdogFd, {}, &callbacks_.watchdogLine},
  };
  std::string info;
  bool infoOpen = true;
  std::array<bool, 3> open = {true, true, true};
  while (infoOpen || open[0] || open[1] || open[2]) {
    std::array<pollfd, 4> fds = {{
        {infoOpen ? infoFd : -1, POLLIN, 0},
        {open[0] ? stdoutFd : -1, POLLIN, 0},
        {open[1] ? stderrFd : -1, POLLIN, 0},
        {open[2] ? watchdogFd : -1, POLLIN, 0},
    }};
    if (poll(fds.data(), fds.size(), -1) < 0) {
      if (errno == EINTR) {
        continue;
      }
      break;
    }
    if (fds[0].revents != 0) {
      char buffer[512];
      const ssize_t got = read(infoFd, buffer, sizeof buffer);
      if (got > 0) {
        info.append(buffer, static_cast<std::size_t>(got));
      } else {
        infoOpen = false;
        const pid_t init = child_pid(info);
        const PidNamespace space = namespace_of(init);
        {
          std::lock_guard lock(mutex_);
          pidNamespace_ = space;
        }
        init_ = init;
        // A cut asked for before the sandbox told its process id.
        if (cutByBoard_ && init > 0) {
          kill(init, SIGKILL);
        }
      }
    }
    for (std::size_t i = 0; i < readers.size(); ++i) {
      if (fds[i + 1].revents != 0 && !readers[i].read_some()) {
        open[i] = false;
      }
    }
  }
  for (int fd : {stdoutFd, stderrFd, watchdogFd, infoFd}) {
    close(fd);
  }
  int status = 0;
  while (waitpid(sandbox_, &status, 0) < 0 && errno == EINTR) {
  }
  running_ = false;
  if (callbacks_.ended) {
    callbacks_.ended(cutByBoard_, status);
  }
}

void CameraProcess::cut() {
  if (!running_ || cutByBoard_.exchange(true)) {
    return;
  }
  // Killing the sandbox's process 1 ends every process of its PID namespace at once.
  const pid_t init = init_;
  if (init > 0) {
    kill(init, SIGKILL);
  } else if (sandbox_ > 0) {
    kill(sandbox_, SIGKILL);
  }
}

void CameraProcess::join() {
  if (reader_.joinable() && reader_.get_id() != std::this_thread::get_id()) {
    reader_.join();
  }
}

PidNamespace CameraProcess::pid_namespace() const {
  std::lock_guard lock(mutex_);
  return pidNamespace_;
}

int CameraProcess::processes_alive() const {
  return static_cast<int>(processes_of_namespace(pid_namespace()).size());
}

std::vector<pid_t> CameraProcess::processes() const {
  return processes_of_namespace(pid_namespace());
}

}  // namespace sim::board
