#include "sim/host/host_program.h"

#include <fcntl.h>
#include <sys/wait.h>
#include <unistd.h>

#include <cerrno>
#include <string_view>

namespace sim {

namespace {

constexpr std::string_view kSkipCheck = "MTOOLS_SKIP_CHECK=";

}  // namespace

int run_host_program(const std::vector<std::string>& argv, std::string* ret_output,
                     ProgramErrors errors) {
  if (argv.empty()) {
    return -1;
  }
  // The child of a threaded process may only make calls that take no lock (another thread may
  // have held the allocator's at the fork): all it needs is made before.
  std::vector<char*> args;
  for (const std::string& arg : argv) {
    args.push_back(const_cast<char*>(arg.c_str()));
  }
  args.push_back(nullptr);
  std::vector<std::string> environment = {std::string(kSkipCheck) + "1"};
  for (char** variable = environ; *variable != nullptr; ++variable) {
    if (!std::string_view(*variable).starts_with(kSkipCheck)) {
      environment.emplace_back(*variable);
    }
  }
  std::vector<char*> envp;
  for (std::string& variable : environment) {
    envp.push_back(variable.data());
  }
  envp.push_back(nullptr);

  int output[2];
  if (pipe2(output, O_CLOEXEC) != 0) {
    return -1;
  }
  const pid_t child = fork();
  if (child < 0) {
    close(output[0]);
    close(output[1]);
    return -1;
  }
  if (child == 0) {
    const int input = open("/dev/null", O_RDONLY);
    const int sink = errors == ProgramErrors::kDropped ? open("/dev/null", O_WRONLY) : output[1];
    dup2(input, STDIN_FILENO);
    dup2(output[1], STDOUT_FILENO);
    dup2(sink, STDERR_FILENO);
    execvpe(args[0], args.data(), envp.data());
    _exit(127);
  }
  close(output[1]);
  std::string text;
  char buffer[4096];
  for (ssize_t got; (got = read(output[0], buffer, sizeof buffer)) != 0;) {
    if (got < 0 && errno == EINTR) {
      continue;
    }
    if (got < 0) {
      break;
    }
    text.append(buffer, static_cast<std::size_t>(got));
  }
  close(output[0]);
  int status = 0;
  while (waitpid(child, &status, 0) < 0 && errno == EINTR) {
  }
  if (ret_output != nullptr) {
    *ret_output = std::move(text);
  }
  return WIFEXITED(status) ? WEXITSTATUS(status) : -1;
}

}  // namespace sim
