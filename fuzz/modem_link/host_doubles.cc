// What the Modem handler reaches outside the process, replaced for the fuzz target: shell
// commands are checked and not run, reboot-log entries are checked and not written. Each
// double defines every function of its object that the linked code calls, so the real object is
// never linked: a call to another one would pull it in and fail the link on the duplicates.
#include <cerrno>
#include <cstdarg>
#include <cstdio>
#include <cstdlib>
#include <cstring>
#include <string>
#include <string_view>

#include "app/config/durable_file.h"
#include "app/records/reboot_log.h"
#include "app/system/core/shell.h"

namespace {

bool digits(std::string_view text) {
  if (!text.empty() && text.front() == '-') {
    text.remove_prefix(1);
  }
  return !text.empty() && text.find_first_not_of("0123456789") == std::string_view::npos;
}

// The only commands the handler may form, with every value a plain number: nothing from the
// Modem can turn into another command or argument.
bool allowed(std::string_view command) {
  constexpr std::string_view kClock = "TZ='UTC' date -s @";
  if (command.starts_with(kClock)) {
    return digits(command.substr(kClock.size()));
  }
  for (std::string_view tool : {"tag_env_info --set dovu ", "tag_env_info --set warn_led ",
                                "/system/bin/tag_env_info --set dovu "}) {
    if (command.starts_with(tool)) {
      const std::string_view rest = command.substr(tool.size());
      const std::size_t blank = rest.find(' ');
      return blank != std::string_view::npos &&
             rest.substr(0, blank).find_first_not_of("abcdefghijklmnopqrstuvwxyz_") ==
                 std::string_view::npos &&
             digits(rest.substr(blank + 1));
    }
  }
  return false;
}

}  // namespace

int run_shell(const char* command) {
  if (!allowed(command)) {
    fprintf(stderr, "unexpected shell command: %s\n", command);
    abort();
  }
  return 0;
}

extern "C" int __real_system(const char* command);

// The target is linked with --wrap=system: a command the application hands to system() itself
// is checked the same way and not run either. libFuzzer's own commands (a merge runs the
// target again, by the name it was started with) go to the real system().
extern "C" int __wrap_system(const char* command) {
  if (command == nullptr || std::string_view(command).starts_with(program_invocation_name)) {
    return __real_system(command);
  }
  return run_shell(command);
}

int run_shellf(const char* format, ...) {
  char command[kShellCommandSize];
  va_list args;
  va_start(args, format);
#pragma GCC diagnostic push
#pragma GCC diagnostic ignored "-Wformat-nonliteral"
  const int length = vsnprintf(command, sizeof command, format, args);
#pragma GCC diagnostic pop
  va_end(args);
  if (length < 0 || static_cast<std::size_t>(length) >= sizeof command) {
    return -1;
  }
  return run_shell(command);
}

const char* reboot_reason_text(int reason) {
  return reason >= REBOOT_LOAD && reason <= REBOOT_CAP_ERROR ? "reason" : "unknown";
}

const char* reboot_source_name(int source) {
  return source >= REBOOT_SOURCE_ISP && source <= REBOOT_SOURCE_MCU ? "source" : "unknown";
}

int modem_reboot_reason(uint32_t code) {
  return code <= REBOOT_UNKNOWN ? static_cast<int>(code) : REBOOT_UNKNOWN;
}

int format_reboot_log_line(int, int, time_t, char* ret_line, std::size_t size) {
  return snprintf(ret_line, size, "\n");
}

// A Modem reboot is logged with one of the Modem's own reasons, whatever it reported.
int write_reboot_log(int source, int reason, time_t) {
  if (source != REBOOT_SOURCE_MODEM || reason < REBOOT_LOAD || reason > REBOOT_UNKNOWN) {
    abort();
  }
  return 0;
}

void merge_reboot_logs() {}

int append_reboot_log(const char*, const char*) {
  return 0;
}

// The configuration files the handler saves (a server configuration, a factory reset) stay in
// memory: the host's /config is not the camera's. The target is linked with --wrap for both
// durable writes, by their mangled names. What is saved must still be whole and parse back,
// which the target checks on the formatted body after each message.
extern "C" DurableWrite __wrap__Z18write_file_durablyPKcPKvm(const char* path, const void* data,
                                                             std::size_t size) {
  if (path == nullptr || (data == nullptr && size > 0)) {
    abort();
  }
  return DurableWrite::kDone;
}

extern "C" int __wrap__Z17copy_file_durablyPKcS0_(const char* source, const char* target) {
  if (source == nullptr || target == nullptr) {
    abort();
  }
  return 0;
}
