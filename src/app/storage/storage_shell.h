// How the card code reaches the shell and waits: run_shell and a plain sleep, unless a test
// installs its own pair to watch the commands in order and to skip the waits.
#pragma once

#include <cstddef>
#include <string>

struct StorageShell {
  int (*run)(const char* command);  // 0 when the command exited with status 0, else -1
  void (*sleep_ms)(unsigned milliseconds);
};

// Installs `shell` for every later call; reset_storage_shell() puts the real pair back.
void set_storage_shell(const StorageShell& shell);
void reset_storage_shell();

int sd_run(const char* command);
// Formats the command into a buffer of the shell runner's size; a command that does not fit
// is logged and not run (-1).
int sd_runf(const char* format, ...) __attribute__((format(printf, 1, 2)));
void sd_sleep_ms(unsigned milliseconds);

// Runs `command` and returns its whole standard output (empty when it could not run).
std::string sd_read_output(const char* command);
