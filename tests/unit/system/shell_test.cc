// The shell-command runner and the page-cache drop.
#include "app/system/shell.h"

#include <unistd.h>

#include <string>

#include <gtest/gtest.h>

#include "app/records/app_log.h"

#include "tests/support/file_lines.h"

namespace {

std::string logged() {
  app_log_close();
  return test_support::read_file(kAppLogPath);
}

class ShellTest : public testing::Test {
 protected:
  void SetUp() override {
    app_log_close();
    unlink(kAppLogPath);
  }
};

TEST_F(ShellTest, SuccessLogsNothing) {
  EXPECT_EQ(run_shell("true"), 0);
  EXPECT_EQ(logged(), "");
}

TEST_F(ShellTest, NonZeroExitLogsTheCommandAndItsCode) {
  EXPECT_EQ(run_shell("exit 1"), -1);
  EXPECT_NE(logged().find(" : MAIN : ERR : exit 1: run fail, exit code [ 1 ]\n"),
            std::string::npos);
}

TEST_F(ShellTest, ShellKilledByASignalLogsExitStatusZero) {
  EXPECT_EQ(run_shell("kill -9 $$"), -1);
  std::string log = logged();
  EXPECT_NE(log.find(" : MAIN : INFO : exit status = [ 0 ]\n"), std::string::npos) << log;
  EXPECT_EQ(log.find("run fail"), std::string::npos);
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
