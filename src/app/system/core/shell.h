// The shell-command runner through which file-system, GPIO and tool work goes.
#pragma once

#include <cstddef>
#include <string>
#include <string_view>

// Room for a formatted command; longer commands are refused, never cut.
inline constexpr std::size_t kShellCommandSize = 1024;

// Runs `command` through the system shell and waits for it. Returns 0 when it ran and exited
// with status 0, -1 otherwise (the failure is logged).
int run_shell(const char* command);

// Formats a command into a kShellCommandSize buffer and runs it. A command that does not fit
// is logged and not run (-1).
int run_shellf(const char* format, ...) __attribute__((format(printf, 1, 2)));

// Runs `command` and returns its whole standard output (empty when it could not run).
std::string read_shell_output(const char* command);

// Runs `command` and copies the first line of its standard output (without the line end)
// into `ret_line`. Returns 0 when a line was read, -1 otherwise.
int read_shell_line(const char* command, char* ret_line, std::size_t size);

// Quotes `text` for a POSIX shell so that a value from outside (a peer, a file) stays one
// word and can never change the meaning of the command it is put into.
std::string shell_quote(std::string_view text);

// Flushes file systems and drops the page cache when free memory is below 20,480 kB.
int drop_caches_if_low();
