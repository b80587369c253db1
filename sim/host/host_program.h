// Runs a program of the host (a card tool, ffmpeg, openssl) for the board's parts and checks,
// without a shell, and collects what it printed.
#pragma once

#include <string>
#include <vector>

namespace sim {

// Where the program's error output goes.
enum class ProgramErrors {
  kIntoOutput,  // mixed into the output, as a terminal would show it
  kDropped,     // to /dev/null: the output is data the caller parses
};

// Runs `argv` (argv[0] looked up in PATH) with MTOOLS_SKIP_CHECK=1 added to the environment (the
// mtools accept the board's card images as they are) and nothing on its standard input. Its
// standard output goes into `ret_output` when set. Returns the exit status; -1 when it could not
// be started or ended by a signal, 127 when the program is not found. Safe to call from any
// thread of a threaded process.
int run_host_program(const std::vector<std::string>& argv, std::string* ret_output,
                     ProgramErrors errors = ProgramErrors::kIntoOutput);

}  // namespace sim
