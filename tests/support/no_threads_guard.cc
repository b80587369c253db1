// Linked into every test that says its cases start no thread (NO_THREADS in tests/CMakeLists.txt).
// The thread-sanitizer build leaves such tests out: with one thread there is no race for it to
// find. So that the claim does not go stale unseen, the other builds check it after each case: a
// case that leaves a thread running fails the test program, naming the case. A thread started
// and joined within one case is not seen (the kernel keeps no count of threads a process
// started); the list of such tests came from tracing their clone calls.
#include <cstdlib>
#include <fstream>
#include <string>
#include <vector>

#include <gtest/gtest.h>

namespace {

long threads_of_this_process() {
  std::ifstream status("/proc/self/status");
  std::string line;
  while (std::getline(status, line)) {
    if (line.rfind("Threads:", 0) == 0) {
      return strtol(line.c_str() + 8, nullptr, 10);
    }
  }
  return -1;
}

std::vector<std::string>& cases_with_threads() {
  static std::vector<std::string> names;
  return names;
}

// Threads the process has before its first case: one, or more where a runtime brings its own (an
// emulator running the cross build's tests).
class ThreadCounter : public testing::EmptyTestEventListener {
  void OnTestProgramStart(const testing::UnitTest&) override {
    before_ = threads_of_this_process();
  }
  void OnTestEnd(const testing::TestInfo& info) override {
    if (threads_of_this_process() > before_) {
      cases_with_threads().push_back(std::string(info.test_suite_name()) + "." + info.name());
    }
  }

  long before_ = 1;
};

// Failures may not come from a listener; an environment's tear-down, after the last case, may
// report them.
class NoThreadsCheck : public testing::Environment {
  void TearDown() override {
    for (const std::string& name : cases_with_threads()) {
      ADD_FAILURE() << name << " left a thread running, but this test is built as starting no "
                    << "thread (NO_THREADS), so the thread sanitizer never runs it";
    }
  }
};

[[maybe_unused]] const bool kRegistered = [] {
  testing::UnitTest::GetInstance()->listeners().Append(new ThreadCounter);
  testing::AddGlobalTestEnvironment(new NoThreadsCheck);
  return true;
}();

}  // namespace
