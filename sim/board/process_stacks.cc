#include "sim/board/process_stacks.h"

#include <dirent.h>
#include <limits.h>
#include <unistd.h>

#include <algorithm>
#include <array>
#include <cstdio>
#include <fstream>
#include <sstream>

namespace sim::board {

namespace {

std::string read_text(const std::string& path) {
  std::ifstream file(path);
  std::stringstream text;
  text << file.rdbuf();
  return text.str();
}

std::string trimmed(std::string text) {
  while (!text.empty() && (text.back() == '\n' || text.back() == '\0')) {
    text.pop_back();
  }
  return text;
}

std::vector<std::string> numbered_entries(const std::string& folder) {
  std::vector<std::string> names;
  DIR* dir = opendir(folder.c_str());
  if (dir == nullptr) {
    return names;
  }
  while (dirent* entry = readdir(dir)) {
    if (entry->d_name[0] >= '0' && entry->d_name[0] <= '9') {
      names.emplace_back(entry->d_name);
    }
  }
  closedir(dir);
  std::sort(names.begin(), names.end(),
            [](const std::string& a, const std::string& b) { return std::stol(a) < std::stol(b); });
  return names;
}

// A field of a task's stat line, counted as proc(5) counts them (the state is field 3).
std::string stat_field(const std::string& stat, int field) {
  const std::size_t close = stat.rfind(')');
  if (close == std::string::npos) {
    return "";
  }
  std::istringstream fields(stat.substr(close + 1));
  std::string value;
  for (int i = 3; i <= field && fields >> value; ++i) {
    if (i == field) {
      return value;
    }
  }
  return "";
}

// The state letter of a task: field 3.
char task_state(const std::string& stat) {
  const std::string state = stat_field(stat, 3);
  return state.empty() ? '?' : state[0];
}

std::string start_time(pid_t process) {
  constexpr int kStartTimeField = 22;
  return stat_field(read_text("/proc/" + std::to_string(process) + "/stat"), kStartTimeField);
}

std::string namespace_link(pid_t process) {
  std::array<char, PATH_MAX> link{};
  const std::string path = "/proc/" + std::to_string(process) + "/ns/pid";
  const ssize_t length = readlink(path.c_str(), link.data(), link.size() - 1);
  return length > 0 ? std::string(link.data(), static_cast<std::size_t>(length)) : "";
}

// The first process is still the one that started the namespace (a zombie counts: its number is
// not free yet, and neither is the namespace's).
bool first_process_lives(const PidNamespace& space) {
  return !space.started.empty() && start_time(space.init) == space.started;
}

// gdb's backtrace of every thread, when gdb is on the host; its frame lines only.
std::string user_stacks(pid_t process) {
  if (access("/usr/bin/gdb", X_OK) != 0) {
    return "    (no gdb on the host: no user-space stacks)\n";
  }
  const std::string command =
      "timeout 60 /usr/bin/gdb -p " + std::to_string(process) +
      " -batch -nx -ex 'set pagination off' -ex 'thread apply all bt' 2>/dev/null";
  FILE* pipe = popen(command.c_str(), "r");
  if (pipe == nullptr) {
    return "    (gdb did not start)\n";
  }
  std::string frames;
  std::array<char, 1024> line{};
  while (fgets(line.data(), static_cast<int>(line.size()), pipe) != nullptr) {
    if (line[0] == '#' || std::string_view(line.data()).starts_with("Thread ")) {
      frames += "    ";
      frames += line.data();
    }
  }
  pclose(pipe);
  return frames;
}

}  // namespace

PidNamespace namespace_of(pid_t init) {
  PidNamespace space;
  if (init <= 0) {
    return space;
  }
  space.init = init;
  space.started = start_time(init);
  space.link = namespace_link(init);
  return space;
}

std::vector<pid_t> processes_of_namespace(const PidNamespace& space) {
  std::vector<pid_t> processes;
  if (space.link.empty() || !first_process_lives(space)) {
    return processes;
  }
  for (const std::string& name : numbered_entries("/proc")) {
    const auto process = static_cast<pid_t>(std::stol(name));
    if (namespace_link(process) == space.link) {
      processes.push_back(process);
    }
  }
  // Had the namespace ended during the look, what it found may be another's.
  if (!first_process_lives(space)) {
    processes.clear();
  }
  return processes;
}

std::string describe_stacks(const std::vector<pid_t>& processes) {
  std::string text;
  for (pid_t process : processes) {
    const std::string root = "/proc/" + std::to_string(process);
    std::string command = trimmed(read_text(root + "/cmdline"));
    std::replace(command.begin(), command.end(), '\0', ' ');
    text += "--- process " + std::to_string(process) + ": " + command + "\n";
    for (const std::string& task : numbered_entries(root + "/task")) {
      const std::string base = root + "/task/" + task;
      text += "  thread " + task + " " + trimmed(read_text(base + "/comm")) + ", state " +
              task_state(read_text(base + "/stat")) + ", waiting in " +
              trimmed(read_text(base + "/wchan")) + "\n";
      std::istringstream kernel(read_text(base + "/stack"));
      for (std::string frame; std::getline(kernel, frame);) {
        text += "      " + frame + "\n";
      }
    }
    text += user_stacks(process);
  }
  return text;
}

}  // namespace sim::board
