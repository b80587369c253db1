// How the card code reads what a command prints. Its commands themselves go through the
// application's shell runner (run_shell), so a test that replaces the operating system's calls
// sees and answers them.
#pragma once

#include <string>

// Runs `command` and returns its whole standard output (empty when it could not run).
std::string sd_read_output(const char* command);
