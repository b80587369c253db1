#include "app/system/core/shell.h"

#include <sys/wait.h>

#include <array>
#include <cstdarg>
#include <cstdio>
#include <cstdlib>
#include <cstring>

#include "app/records/log/app_log.h"
#include "app/system/os/os.h"

int run_shell(const char* command) {
  int status = os_system(command);
  if (status < 0) {
    app_log(MOD_MAIN, LEVEL_ERR, "Error in system()");
    return -1;
  }
  if (WIFSIGNALED(status)) {
    app_log(MOD_MAIN, LEVEL_INFO, "exit status = [ %d ]", WEXITSTATUS(status));
    return -1;
  }
  if (WEXITSTATUS(status) != 0) {
    app_log(MOD_MAIN, LEVEL_ERR, "%s: run fail, exit code [ %d ]", command, WEXITSTATUS(status));
    return -1;
  }
  return 0;
}

int run_shellf(const char* format, ...) {
  char command[kShellCommandSize];
  va_list args;
  va_start(args, format);
  int length = vsnprintf(command, sizeof command, format, args);
  va_end(args);
  if (length < 0 || static_cast<std::size_t>(length) >= sizeof command) {
    app_log(MOD_MAIN, LEVEL_ERR, "command too long, not run: %.64s...", command);
    return -1;
  }
  return run_shell(command);
}

std::string read_shell_output(const char* command) {
  std::string output;
  FILE* pipe = os_open_pipe(command);
  if (pipe == nullptr) {
    return output;
  }
  // Read to the end, so the command never dies of a broken pipe.
  std::array<char, 256> chunk{};
  std::size_t count;
  while ((count = fread(chunk.data(), 1, chunk.size(), pipe)) > 0) {
    output.append(chunk.data(), count);
  }
  os_close_pipe(pipe);
  return output;
}

int read_shell_line(const char* command, char* ret_line, std::size_t size) {
  const std::string output = read_shell_output(command);
  if (output.empty() || size == 0) {
    return -1;
  }
  const std::size_t end = output.find_first_of("\r\n");
  const std::string_view line = std::string_view(output).substr(0, end);
  snprintf(ret_line, size, "%.*s", static_cast<int>(line.size()), line.data());
  return 0;
}

std::string shell_quote(std::string_view text) {
  std::string quoted = "'";
  for (char c : text) {
    if (c == '\'') {
      quoted += "'\\''";
    } else {
      quoted += c;
    }
  }
  quoted += '\'';
  return quoted;
}

int drop_caches_if_low() {
  return run_shell(
      "if [ $(cat /proc/meminfo | grep MemFree | grep -o '[[:digit:]]*') -lt 20480 ]; then echo "
      "drop cache; sync; echo 1 > /proc/sys/vm/drop_caches; fi");
}
