// Which host processes belong to a sandbox. The kernel numbers PID namespaces from a pool it
// reuses, so once a sandbox's first process has ended, another sandbox (another test's board,
// on the same host) may carry its number.
#include "sim/board/process_stacks.h"

#include <signal.h>
#include <sys/wait.h>
#include <unistd.h>

#include <algorithm>

#include <gtest/gtest.h>

namespace {

using sim::board::namespace_of;
using sim::board::processes_of_namespace;

bool contains(const std::vector<pid_t>& processes, pid_t process) {
  return std::find(processes.begin(), processes.end(), process) != processes.end();
}

// A child that sleeps until it is ended, and is ended and reaped when the test is over.
class SleepingChild {
 public:
  SleepingChild() : pid_(fork()) {
    if (pid_ == 0) {
      for (;;) {
        pause();
      }
    }
  }
  ~SleepingChild() { end(); }
  SleepingChild(const SleepingChild&) = delete;
  SleepingChild& operator=(const SleepingChild&) = delete;

  pid_t pid() const { return pid_; }
  // Kills and reaps it; true when it was there to reap.
  bool end() {
    if (pid_ <= 0) {
      return false;
    }
    kill(pid_, SIGKILL);
    int status = 0;
    const bool reaped = waitpid(pid_, &status, 0) == pid_;
    pid_ = -1;
    return reaped;
  }

 private:
  pid_t pid_;
};

TEST(SandboxProcesses, ANamespaceIsItsFirstProcessAndWhoShareItsNumberWhileItLives) {
  // This test's own process stands for a sandbox's first process: its namespace is the host's,
  // which a forked child shares.
  SleepingChild child;
  ASSERT_GT(child.pid(), 0);
  const sim::board::PidNamespace live = namespace_of(getpid());
  ASSERT_FALSE(live.link.empty());
  EXPECT_TRUE(live.link.starts_with("pid:[")) << live.link;
  const std::vector<pid_t> members = processes_of_namespace(live);
  EXPECT_TRUE(contains(members, getpid()));
  EXPECT_TRUE(contains(members, child.pid()));
  EXPECT_TRUE(std::is_sorted(members.begin(), members.end()));

  // The child as a first process that has ended: its namespace's number lives on (the host's
  // processes carry it), but the namespace it stood for is gone, and so are its processes.
  const sim::board::PidNamespace ended = namespace_of(child.pid());
  ASSERT_EQ(ended.link, live.link);
  ASSERT_TRUE(child.end());
  EXPECT_TRUE(processes_of_namespace(ended).empty());
}

TEST(SandboxProcesses, AProcessThatIsGoneOrNeverKnownHasNoNamespace) {
  EXPECT_TRUE(namespace_of(-1).link.empty());
  EXPECT_TRUE(processes_of_namespace(namespace_of(-1)).empty());
  EXPECT_TRUE(processes_of_namespace(sim::board::PidNamespace{}).empty());
}

}  // namespace
