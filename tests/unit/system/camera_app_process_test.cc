// camera_app as a whole process in the sandbox: first log line, queues, keep-alives, idling.
#include <fcntl.h>
#include <mqueue.h>
#include <poll.h>
#include <signal.h>
#include <sys/wait.h>
#include <unistd.h>

#include <chrono>
#include <cstring>
#include <fstream>
#include <string>
#include <vector>

#include <gtest/gtest.h>

#include "app/system/event_queue.h"
#include "app/system/watchdog_client.h"

namespace {

using Clock = std::chrono::steady_clock;

class CameraAppProcess {
 public:
  CameraAppProcess() {
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
    const auto deadline = Clock::now() + limit;
    while (Clock::now() < deadline) {
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

  // User plus system CPU time of the process, in clock ticks.
  long cpu_ticks() const {
    std::ifstream stat("/proc/" + std::to_string(pid_) + "/stat");
    std::string content((std::istreambuf_iterator<char>(stat)), {});
    size_t after_name = content.rfind(')');
    std::vector<std::string> fields;
    std::string field;
    for (char c : content.substr(after_name + 2)) {
      if (c == ' ') {
        fields.push_back(field);
        field.clear();
      } else {
        field += c;
      }
    }
    // Fields after the name start at "state" (field 3); utime and stime are fields 14, 15.
    return std::stol(fields.at(11)) + std::stol(fields.at(12));
  }

 private:
  pid_t pid_ = -1;
  int stdout_ = -1;
  std::string pending_;
  std::vector<std::string> lines_;
};

bool ends_with(const std::string& line, const std::string& tail) {
  return line.size() >= tail.size() &&
         line.compare(line.size() - tail.size(), tail.size(), tail) == 0;
}

TEST(CameraAppProcess, StartsLogsCreatesQueuesFeedsTheWatchdogAndIdles) {
  // The watchdog daemon's side of the queue, opened first so no keep-alive is missed.
  mq_attr attributes{};
  attributes.mq_maxmsg = kWdmQueueMaxMessages;
  attributes.mq_msgsize = sizeof(WdmMessage);
  mqd_t watchdog = mq_open(kWdmQueueName, O_RDWR | O_CREAT, 0777, &attributes);
  ASSERT_GE(watchdog, 0) << strerror(errno);

  CameraAppProcess app;
  ASSERT_GT(app.pid(), 0);
  std::vector<std::string> lines =
      app.read_until("Message Queue For MODEM Monitor Thread Created", std::chrono::seconds(60));
  ASSERT_FALSE(lines.empty());
  EXPECT_TRUE(ends_with(lines.front(), " : MAIN : INFO : Logging intiated successfully"))
      << lines.front();

  std::vector<std::string> queue_lines;
  for (const std::string& line : lines) {
    if (line.find("Message Queue For") != std::string::npos) {
      queue_lines.push_back(line.substr(line.find("Message Queue For")));
    }
  }
  ASSERT_EQ(queue_lines.size(), 3u);
  EXPECT_EQ(queue_lines[0].rfind("Message Queue For sys Monitor Thread Created with ID: ", 0), 0u);
  EXPECT_EQ(queue_lines[1].rfind("Message Queue For MCU Monitor Thread Created with ID: ", 0), 0u);
  EXPECT_EQ(queue_lines[2].rfind("Message Queue For MODEM Monitor Thread Created with ID: ", 0),
            0u);
  for (const char* name : {kSysQueueName, kMcuQueueName, kModemQueueName}) {
    mqd_t queue = mq_open(name, O_RDONLY);
    EXPECT_GE(queue, 0) << name;
    mq_close(queue);
  }

  // Two keep-alives of type 3, about five seconds apart.
  std::vector<Clock::time_point> arrivals;
  while (arrivals.size() < 2) {
    WdmMessage message{};
    timespec limit{};
    clock_gettime(CLOCK_REALTIME, &limit);
    limit.tv_sec += 30;
    ssize_t got = mq_timedreceive(watchdog, reinterpret_cast<char*>(&message), sizeof message,
                                  nullptr, &limit);
    ASSERT_EQ(got, static_cast<ssize_t>(sizeof message)) << "no keep-alive within 30 s";
    EXPECT_EQ(message.type, kWdmKeepAlive);
    arrivals.push_back(Clock::now());
  }
  EXPECT_GE(arrivals[1] - arrivals[0], std::chrono::milliseconds(4000));

  // Idle in the server loop: alive, and far from burning a core over those seconds.
  EXPECT_TRUE(app.alive());
  const long ticks_per_second = sysconf(_SC_CLK_TCK);
  EXPECT_LT(app.cpu_ticks(), 2 * ticks_per_second);
  mq_close(watchdog);
}

}  // namespace
