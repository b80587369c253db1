// Host programs run for the board's parts: what they printed, how they ended, and what they get
// (an environment with the card tools' switch, no input).
#include "sim/host/host_program.h"

#include <stdlib.h>

#include <string>

#include <gtest/gtest.h>

namespace {

using sim::ProgramErrors;
using sim::run_host_program;

TEST(HostProgram, GivesTheOutputWithOrWithoutErrorsAndTheExitStatus) {
  const std::vector<std::string> program = {"sh", "-c", "echo out; echo err >&2; exit 3"};
  std::string output;
  EXPECT_EQ(run_host_program(program, &output), 3);
  EXPECT_EQ(output, "out\nerr\n");
  EXPECT_EQ(run_host_program(program, &output, ProgramErrors::kDropped), 3);
  EXPECT_EQ(output, "out\n");
  // Output nobody asked for is still read to its end: a long one does not hold the program up.
  EXPECT_EQ(run_host_program({"sh", "-c", "seq 100000"}, nullptr), 0);
}

TEST(HostProgram, AProgramThatCannotRunOrIsKilledIsNoSuccess) {
  std::string output = "stale";
  EXPECT_EQ(run_host_program({"no-such-program-on-this-host"}, &output), 127);
  EXPECT_EQ(output, "");
  EXPECT_EQ(run_host_program({}, &output), -1);
  EXPECT_EQ(run_host_program({"sh", "-c", "kill -9 $$"}, &output), -1);
}

TEST(HostProgram, RunsWithTheCardToolsSwitchTheCallersEnvironmentAndNoInput) {
  ASSERT_EQ(setenv("MTOOLS_SKIP_CHECK", "0", 1), 0);
  ASSERT_EQ(setenv("HOST_PROGRAM_TEST", "kept", 1), 0);
  std::string output;
  ASSERT_EQ(run_host_program({"sh", "-c",
                              "env | grep -E '^(MTOOLS_SKIP_CHECK|HOST_PROGRAM_TEST)='"
                              " | sort"},
                             &output),
            0);
  EXPECT_EQ(output, "HOST_PROGRAM_TEST=kept\nMTOOLS_SKIP_CHECK=1\n");
  // Its input is empty: a program that reads it ends at once.
  ASSERT_EQ(run_host_program({"wc", "-c"}, &output), 0);
  EXPECT_EQ(output, "0\n");
  unsetenv("MTOOLS_SKIP_CHECK");
  unsetenv("HOST_PROGRAM_TEST");
}

}  // namespace
