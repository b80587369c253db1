#include "app/storage/storage_shell.h"

#include <unistd.h>

#include <array>
#include <cstdarg>
#include <cstdio>

#include "app/records/log/app_log.h"
#include "app/system/core/shell.h"

namespace {

void plain_sleep_ms(unsigned milliseconds) {
  usleep(static_cast<useconds_t>(milliseconds) * 1000);
}

constexpr StorageShell kRealShell = {run_shell, plain_sleep_ms};
StorageShell g_shell = kRealShell;

}  // namespace

void set_storage_shell(const StorageShell& shell) {
  g_shell = shell;
}

void reset_storage_shell() {
  g_shell = kRealShell;
}

int sd_run(const char* command) {
  return g_shell.run(command);
}

int sd_runf(const char* format, ...) {
  std::array<char, kShellCommandSize> command{};
  va_list args;
  va_start(args, format);
#pragma GCC diagnostic push
#pragma GCC diagnostic ignored "-Wformat-nonliteral"
  const int length = vsnprintf(command.data(), command.size(), format, args);
#pragma GCC diagnostic pop
  va_end(args);
  if (length < 0 || static_cast<std::size_t>(length) >= command.size()) {
    app_log(MOD_SD_CONF, LEVEL_ERR, "Command too long, not run: %.60s", command.data());
    return -1;
  }
  return sd_run(command.data());
}

void sd_sleep_ms(unsigned milliseconds) {
  g_shell.sleep_ms(milliseconds);
}

std::string sd_read_output(const char* command) {
  std::string output;
  FILE* pipe = popen(command, "r");
  if (pipe == nullptr) {
    return output;
  }
  std::array<char, 256> chunk{};
  std::size_t count;
  while ((count = fread(chunk.data(), 1, chunk.size(), pipe)) > 0) {
    output.append(chunk.data(), count);
  }
  pclose(pipe);
  return output;
}
