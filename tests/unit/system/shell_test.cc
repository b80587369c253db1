// The shell-command runner and the page-cache drop.
#include "app/system/core/shell.h"

#include <sys/wait.h>
#include <unistd.h>

#include <cstdio>
#include <string>

#include <gtest/gtest.h>

#include "app/config/config_store.h"
#include "app/records/log/app_log.h"
#include "app/system/os/os.h"

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

// What a command prints comes through the operating-system seam, so a test can answer it: the
// readers take the answer, close each stream they open, and the configuration partition counts
// as mounted only when the listing printed a line and its grep succeeded.
namespace answered {
std::string text;
int status = 0;
int opened = 0;
int closed = 0;
FILE* open_answer(const char*) {
  ++opened;
  FILE* stream = tmpfile();
  fputs(text.c_str(), stream);
  rewind(stream);
  return stream;
}
int close_answer(FILE* stream) {
  ++closed;
  fclose(stream);
  return status;
}
}  // namespace answered

TEST_F(ShellTest, ReadersTakeTheAnswerOfTheReplacedPipe) {
  struct Case {
    const char* text;
    int status;
    const char* line;  // read_shell_line's line, null for none
    bool configMounted;
  };
  const Case cases[] = {
      {"/dev/mtdblock6 on /config type jffs2 (rw)\nmore\n", 0,
       "/dev/mtdblock6 on /config type jffs2 (rw)", true},
      {"/dev/mtdblock6 on /config\n", W_EXITCODE(1, 0), "/dev/mtdblock6 on /config", false},
      {"", 0, nullptr, false},
      {"\r\nsecond\n", 0, "", true},
  };
  for (const Case& c : cases) {
    SCOPED_TRACE(c.text);
    answered::text = c.text;
    answered::status = c.status;
    answered::opened = answered::closed = 0;
    os_replace({.open_pipe = answered::open_answer, .close_pipe = answered::close_answer});
    const std::string output = read_shell_output("anything");
    char line[64] = "untouched";
    const int lineResult = read_shell_line("anything", line, sizeof line);
    const bool mounted = config_partition_mounted();
    os_restore();
    EXPECT_EQ(output, c.text);
    EXPECT_EQ(lineResult, c.line != nullptr ? 0 : -1);
    EXPECT_STREQ(line, c.line != nullptr ? c.line : "untouched");
    EXPECT_EQ(mounted, c.configMounted);
    EXPECT_EQ(answered::opened, 3);
    EXPECT_EQ(answered::closed, 3);
  }
}

TEST_F(ShellTest, DropCachesDoesNothingWithEnoughFreeMemory) {
  // The test machine has far more than 20,480 kB free; inside the sandbox the drop itself
  // would fail (and return -1), so success shows it was not attempted.
  testing::internal::CaptureStdout();
  EXPECT_EQ(drop_caches_if_low(), 0);
  EXPECT_EQ(testing::internal::GetCapturedStdout().find("drop cache"), std::string::npos);
}

}  // namespace
