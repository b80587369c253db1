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

TEST(SandboxProcesses, ANamespaceIsItsFirstProcessAndWhoShareItsNumberWhileItLives) {
  // This test's own process stands for a sandbox's first process: its namespace is the host's,
  // which a forked child shares.
  const pid_t child = fork();
  ASSERT_GE(child, 0);
  if (child == 0) {
    pause();
    _exit(0);
  }
  const sim::board::PidNamespace live = namespace_of(getpid());
  ASSERT_FALSE(live.link.empty());
  EXPECT_TRUE(live.link.starts_with("pid:[")) << live.link;
  const std::vector<pid_t> members = processes_of_namespace(live);
  EXPECT_TRUE(contains(members, getpid()));
  EXPECT_TRUE(contains(members, child));
  EXPECT_TRUE(std::is_sorted(members.begin(), members.end()));

  // The child as a first process that has ended: its namespace's number lives on (the host's
  // processes carry it), but the namespace it stood for is gone, and so are its processes.
  const sim::board::PidNamespace ended = namespace_of(child);
  ASSERT_EQ(ended.link, live.link);
  kill(child, SIGKILL);
  int status = 0;
  ASSERT_EQ(waitpid(child, &status, 0), child);
  EXPECT_TRUE(processes_of_namespace(ended).empty());
}

TEST(SandboxProcesses, AProcessThatIsGoneOrNeverKnownHasNoNamespace) {
  EXPECT_TRUE(namespace_of(-1).link.empty());
  EXPECT_TRUE(processes_of_namespace(namespace_of(-1)).empty());
  EXPECT_TRUE(processes_of_namespace(sim::board::PidNamespace{}).empty());
}

}  // namespace
