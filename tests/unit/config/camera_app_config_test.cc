// camera_app on the board: a camera without configuration files writes both with the
// defaults; the next start loads them.
#include <fcntl.h>
#include <poll.h>
#include <signal.h>
#include <sys/wait.h>
#include <unistd.h>

#include <chrono>
#include <string>
#include <vector>

#include <gtest/gtest.h>

#include "app/config/config_store.h"

#include "tests/unit/config/config_files.h"

namespace {

using namespace config_files;
using Clock = std::chrono::steady_clock;

// camera_app with its console on a pipe; killed (as a power cut would) when it goes.
class CameraApp {
 public:
  CameraApp() {
    int out[2];
    if (pipe(out) != 0) {
      return;
    }
    pid_ = fork();
    if (pid_ == 0) {
      dup2(out[1], STDOUT_FILENO);
      close(out[0]);
      close(out[1]);
      execl(CAMERA_APP_PATH, "camera_app", nullptr);
      _exit(127);
    }
    close(out[1]);
    console_ = out[0];
  }
  ~CameraApp() {
    if (pid_ > 0) {
      kill(pid_, SIGKILL);
      waitpid(pid_, nullptr, 0);
    }
    if (console_ >= 0) {
      close(console_);
    }
  }
  CameraApp(const CameraApp&) = delete;
  CameraApp& operator=(const CameraApp&) = delete;

  // Console lines up to the first that contains `text` (all of them when it never comes).
  std::vector<std::string> lines_until(const std::string& text, std::chrono::seconds limit) {
    const auto deadline = Clock::now() + limit;
    std::vector<std::string> lines;
    std::string pending;
    while (Clock::now() < deadline) {
      for (std::size_t end; (end = pending.find('\n')) != std::string::npos;) {
        lines.push_back(pending.substr(0, end));
        pending.erase(0, end + 1);
        if (lines.back().find(text) != std::string::npos) {
          return lines;
        }
      }
      pollfd readable{console_, POLLIN, 0};
      if (poll(&readable, 1, 100) > 0) {
        char chunk[4096];
        ssize_t got = read(console_, chunk, sizeof chunk);
        if (got <= 0) {
          break;
        }
        pending.append(chunk, static_cast<std::size_t>(got));
      }
    }
    return lines;
  }

 private:
  pid_t pid_ = -1;
  int console_ = -1;
};

int count_containing(const std::vector<std::string>& lines, const std::string& text) {
  int count = 0;
  for (const std::string& line : lines) {
    count += line.find(text) != std::string::npos ? 1 : 0;
  }
  return count;
}

TEST(CameraAppConfiguration, AFreshCameraWritesBothFilesWithTheDefaults) {
  remove_both();
  std::vector<std::string> lines;
  {
    CameraApp app;
    lines = app.lines_until("Device configuration loaded successfully", std::chrono::seconds(60));
  }
  ASSERT_EQ(count_containing(lines, "Device configuration loaded successfully"), 1);
  EXPECT_EQ(count_containing(lines, "config partition is now mounted"), 1);
  EXPECT_EQ(count_containing(lines, "Config: Creating config files with defaults"), 1);

  const std::string expected = file_with_body(kDefaultBody);
  EXPECT_EQ(read_bytes(kConfigPath), expected);
  EXPECT_EQ(read_bytes(kConfigBackupPath), expected);
  EXPECT_EQ(config_check_file(CONFIG_PRIMARY), 0);
  EXPECT_EQ(config_check_file(CONFIG_BACKUP), 0);

  // The next start finds them and writes nothing new.
  {
    CameraApp app;
    lines = app.lines_until("Device configuration loaded successfully", std::chrono::seconds(60));
  }
  ASSERT_EQ(count_containing(lines, "Device configuration loaded successfully"), 1);
  EXPECT_EQ(count_containing(lines, "Config: Creating config files with defaults"), 0);
  EXPECT_EQ(count_containing(lines, "Config: Failed to load primary configuration"), 0);
  EXPECT_EQ(read_bytes(kConfigPath), expected);
}

}  // namespace
