// The shell-command runner and the page-cache drop.
#include "app/system/core/shell.h"

#include <unistd.h>

#include <string>

#include <gtest/gtest.h>

#include "app/records/log/app_log.h"

#include "tests/support/system_fixture.h"

namespace {

using test_support::logged;

class ShellTest : public testing::Test {
 protected:
  void SetUp() override {
    app_log_close();
    unlink(kAppLogPath);
  }
};

// A failing command is logged with its exit code; one killed by a signal only with the status
// the shell leaves (0); a successful one not at all.
TEST_F(ShellTest, OnlyAFailureIsLoggedWithItsExitCode) {
  struct Case {
    const char* command;
    int result;
    const char* line;  // the whole log after its time stamp; "" for none
  };
  for (const Case& c : {Case{"true", 0, ""},
                        Case{"exit 1", -1, " : MAIN : ERR : exit 1: run fail, exit code [ 1 ]\n"},
                        Case{"kill -9 $$", -1, " : MAIN : INFO : exit status = [ 0 ]\n"}}) {
    app_log_close();
    unlink(kAppLogPath);
    EXPECT_EQ(run_shell(c.command), c.result) << c.command;
    const std::string log = logged();
    EXPECT_EQ(log.empty() ? "" : log.substr(log.find(" : ")), c.line) << c.command;
  }
}

TEST_F(ShellTest, FormattedCommandsRunAndOverlongOnesAreRefused) {
  EXPECT_EQ(run_shellf("test %d -eq %d", 42, 42), 0);
  std::string overlong(kShellCommandSize, 'a');
  EXPECT_EQ(run_shellf("touch /tmp/%s", overlong.c_str()), -1);
  EXPECT_NE(access(("/tmp/" + overlong.substr(0, 200)).c_str(), F_OK), 0);
}

TEST_F(ShellTest, QuotedPeerTextStaysOneWord) {
  // A value from outside must never run as a command of its own.
  const std::string hostile = "x'; touch /tmp/pwned; echo '";
  char line[128] = "";
  ASSERT_EQ(read_shell_line(("printf '%s\\n' " + shell_quote(hostile)).c_str(), line, sizeof line),
            0);
  EXPECT_EQ(std::string(line), hostile);
  EXPECT_NE(access("/tmp/pwned", F_OK), 0);
}

TEST_F(ShellTest, ReadShellLineTakesTheFirstLineOnly) {
  char line[16];
  ASSERT_EQ(read_shell_line("printf 'first\\nsecond\\n'", line, sizeof line), 0);
  EXPECT_STREQ(line, "first");
  EXPECT_EQ(read_shell_line("true", line, sizeof line), -1);
}

TEST_F(ShellTest, DropCachesDoesNothingWithEnoughFreeMemory) {
  // The test machine has far more than 20,480 kB free; inside the sandbox the drop itself
  // would fail (and return -1), so success shows it was not attempted.
  testing::internal::CaptureStdout();
  EXPECT_EQ(drop_caches_if_low(), 0);
  EXPECT_EQ(testing::internal::GetCapturedStdout().find("drop cache"), std::string::npos);
}

}  // namespace
