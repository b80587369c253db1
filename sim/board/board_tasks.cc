#include "sim/board/board_tasks.h"

#include <dirent.h>
#include <fcntl.h>
#include <sys/stat.h>
#include <unistd.h>

#include <algorithm>
#include <cstdio>
#include <cstdlib>
#include <cstring>
#include <string>

namespace sim::board {

namespace {

// The board's own process is sampled as its processor time less the clock's thread, which is
// read just before; what the clock uses between the two reads is far below this.
constexpr int64_t kOwnJitterNs = 3000;

std::string task_path(pid_t pid, pid_t tid, const char* file) {
  return "/proc/" + std::to_string(pid) + "/task/" + std::to_string(tid) + "/" + file;
}

// The last number of a /proc status line such as "NSpid:\t4711\t12": the id in the innermost
// PID namespace.
pid_t innermost(const char* text, const char* key) {
  const char* at = strstr(text, key);
  if (at == nullptr) {
    return 0;
  }
  at += strlen(key);
  pid_t last = 0;
  while (*at != '\n' && *at != '\0') {
    char* end = nullptr;
    const long value = strtol(at, &end, 10);
    if (end == at) {
      break;
    }
    last = static_cast<pid_t>(value);
    at = end;
  }
  return last;
}

uint64_t pid_namespace(pid_t pid) {
  struct stat info;
  const std::string path = "/proc/" + std::to_string(pid) + "/ns/pid";
  return stat(path.c_str(), &info) == 0 ? info.st_ino : 0;
}

int64_t clock_ns(clockid_t clock) {
  timespec now;
  if (clock_gettime(clock, &now) != 0) {
    return -1;
  }
  return int64_t{now.tv_sec} * 1000000000 + now.tv_nsec;
}

// The fields of a /proc stat text after the command name in parentheses (which may hold spaces
// and parentheses of its own): state first, the number of threads the 18th.
const char* after_name(const char* text) {
  const char* close = strrchr(text, ')');
  return close != nullptr && close[1] == ' ' ? close + 2 : nullptr;
}

}  // namespace

BoardTasks::BoardTasks(pid_t root, pid_t ignored) : root_(root), ignored_(ignored) {
  add_process(root_);
  sample();
}

BoardTasks::~BoardTasks() {
  for (int fd : {hostStatFd_, hostLoadFd_}) {
    if (fd >= 0) {
      close(fd);
    }
  }
  for (auto& [pid, process] : processes_) {
    for (Task& task : process.tasks) {
      drop(process, task);
    }
  }
}

void BoardTasks::drop(Process& process, Task& task) {
  byNamespace_.erase({process.pidNamespace, task.nsTid});
  for (int* fd : {&task.statFd, &task.childrenFd}) {
    if (*fd >= 0) {
      close(*fd);
      *fd = -1;
    }
  }
}

BoardTasks::Process* BoardTasks::add_process(pid_t pid) {
  auto [place, added] = processes_.try_emplace(pid);
  Process& process = place->second;
  if (!added) {
    return &process;
  }
  process.pid = pid;
  process.pidNamespace = pid_namespace(pid);
  if (pid == root_) {
    process.cpuClock = CLOCK_PROCESS_CPUTIME_ID;
  } else if (clock_getcpuclockid(pid, &process.cpuClock) != 0) {
    processes_.erase(place);
    return nullptr;
  }
  process.cpu = read_cpu(process);
  process.countedCpu = process.cpu;
  list(process, true, true);
  if (process.tasks.empty()) {
    forget(processes_.find(pid));
    return nullptr;
  }
  return &process;
}

void BoardTasks::add_task(Process& process, pid_t tid) {
  for (const Task& task : process.tasks) {
    if (task.tid == tid) {
      return;
    }
  }
  Task task;
  task.tid = tid;
  char text[4096];
  const int status = open(task_path(process.pid, tid, "status").c_str(), O_RDONLY | O_CLOEXEC);
  const ssize_t got = status >= 0 ? read(status, text, sizeof text - 1) : -1;
  if (status >= 0) {
    close(status);
  }
  if (got <= 0) {
    return;
  }
  text[got] = '\0';
  task.nsTid = innermost(text, "\nNSpid:\t");
  task.statFd = open(task_path(process.pid, tid, "stat").c_str(), O_RDONLY | O_CLOEXEC);
  task.childrenFd = open(task_path(process.pid, tid, "children").c_str(), O_RDONLY | O_CLOEXEC);
  if (task.statFd < 0 || task.childrenFd < 0) {
    drop(process, task);
    return;
  }
  byNamespace_[{process.pidNamespace, task.nsTid}] = {process.pid, tid};
  process.tasks.push_back(task);
}

int BoardTasks::list(Process& process, bool threads, bool children,
                     const std::vector<pid_t>& asleep) {
  int added = 0;
  if (threads) {
    const std::string path = "/proc/" + std::to_string(process.pid) + "/task";
    if (DIR* dir = opendir(path.c_str())) {
      const std::size_t before = process.tasks.size();
      long count = 0;
      while (dirent* entry = readdir(dir)) {
        if (entry->d_name[0] >= '0' && entry->d_name[0] <= '9') {
          add_task(process, static_cast<pid_t>(atoi(entry->d_name)));
          ++count;
        }
      }
      closedir(dir);
      added += static_cast<int>(process.tasks.size() - before);
      process.threads = count;
    }
  }
  if (!children) {
    return added;
  }
  process.listedCpu = process.cpu;
  // The children of each thread; a child's process goes into the map, whose elements stay
  // where they are, never into this process's list of tasks.
  for (std::size_t i = 0; i < process.tasks.size(); ++i) {
    if (std::binary_search(asleep.begin(), asleep.end(), process.tasks[i].tid)) {
      continue;
    }
    char text[4096];
    const ssize_t got = pread(process.tasks[i].childrenFd, text, sizeof text - 1, 0);
    if (got <= 0) {
      continue;
    }
    text[got] = '\0';
    for (char* at = text; *at != '\0';) {
      char* end = nullptr;
      const long child = strtol(at, &end, 10);
      if (end == at) {
        break;
      }
      at = end;
      if (processes_.count(static_cast<pid_t>(child)) == 0 &&
          add_process(static_cast<pid_t>(child)) != nullptr) {
        ++added;
      }
    }
  }
  return added;
}

int64_t BoardTasks::read_cpu(const Process& process) const {
  if (process.pid != root_) {
    return clock_ns(process.cpuClock);
  }
  const int64_t own = clock_ns(CLOCK_THREAD_CPUTIME_ID);
  return clock_ns(CLOCK_PROCESS_CPUTIME_ID) - own;
}

void BoardTasks::forget(std::map<pid_t, Process>::iterator place) {
  for (Task& task : place->second.tasks) {
    drop(place->second, task);
  }
  processes_.erase(place);
}

bool BoardTasks::sample() {
  bool changed = false;
  for (auto place = processes_.begin(); place != processes_.end();) {
    Process& process = place->second;
    const int64_t cpu = read_cpu(process);
    if (cpu < 0 && process.pid != root_) {
      forget(place++);
      changed = true;
      continue;
    }
    const int64_t jitter = process.pid == root_ ? kOwnJitterNs : 0;
    if (cpu - process.cpu > jitter || process.cpu - cpu > jitter) {
      process.cpu = cpu;
      changed = true;
    }
    ++place;
  }
  return changed;
}

int BoardTasks::discover(bool everyThread, const std::vector<pid_t>& asleep) {
  std::vector<pid_t> known;
  for (const auto& [pid, process] : processes_) {
    known.push_back(pid);
  }
  int added = 0;
  for (pid_t pid : known) {
    auto found = processes_.find(pid);
    if (found == processes_.end()) {
      continue;
    }
    Process& process = found->second;
    // A process that ran may have started threads: its first thread's stat tells how many.
    if (process.cpu != process.countedCpu) {
      process.countedCpu = process.cpu;
      for (Task& task : process.tasks) {
        TaskLook seen;
        if (task.tid == process.pid && look_at(task, &seen)) {
          process.threads = seen.threads;
        }
      }
    }
    const bool threads = process.threads != static_cast<long>(process.tasks.size());
    const bool due = process.cpu != process.listedCpu;
    if (threads || due) {
      added += list(process, threads, due, everyThread ? std::vector<pid_t>{} : asleep);
    }
  }
  return added;
}

int BoardTasks::discover_all() {
  for (auto& [pid, process] : processes_) {
    process.listedCpu = -2;
    process.threads = -1;
  }
  return discover(true);
}

char BoardTasks::thread_state(pid_t hostPid, pid_t hostTid) const {
  auto found = processes_.find(hostPid);
  if (found == processes_.end()) {
    return '?';
  }
  for (const Task& task : found->second.tasks) {
    if (task.tid == hostTid) {
      Task copy = task;
      TaskLook seen;
      return look_at(copy, &seen) ? seen.state : '?';
    }
  }
  return '?';
}

bool BoardTasks::host_idle() {
  // /proc/loadavg's running count is the kernel's same count as /proc/stat's, in a file that
  // costs a fifth as much to read: on a busy host, that is where the look ends.
  if (hostLoadFd_ < 0) {
    hostLoadFd_ = open("/proc/loadavg", O_RDONLY | O_CLOEXEC);
  }
  char load[128];
  const ssize_t gotLoad = hostLoadFd_ >= 0 ? pread(hostLoadFd_, load, sizeof load - 1, 0) : -1;
  if (gotLoad > 0) {
    load[gotLoad] = '\0';
    // "0.12 0.30 0.25 RUNNING/THREADS LAST-PID"
    const char* field = load;
    for (int skip = 0; skip < 3 && field != nullptr; ++skip) {
      field = strchr(field, ' ');
      field = field != nullptr ? field + 1 : nullptr;
    }
    if (field != nullptr && atol(field) != 1) {
      return false;
    }
  }
  if (hostStatFd_ < 0) {
    hostStatFd_ = open("/proc/stat", O_RDONLY | O_CLOEXEC);
  }
  // /proc/stat's per-processor lines come first: the counts are near its end.
  static thread_local char text[65536];
  const ssize_t got = hostStatFd_ >= 0 ? pread(hostStatFd_, text, sizeof text - 1, 0) : -1;
  if (got <= 0) {
    return false;
  }
  text[got] = '\0';
  const char* running = strstr(text, "\nprocs_running ");
  const char* blocked = strstr(text, "\nprocs_blocked ");
  return running != nullptr && blocked != nullptr && atol(running + 15) == 1 &&
         atol(blocked + 15) == 0;
}

bool BoardTasks::look_at(Task& task, TaskLook* ret_look) const {
  char text[1024];
  const ssize_t got = pread(task.statFd, text, sizeof text - 1, 0);
  if (got <= 0) {
    return false;
  }
  text[got] = '\0';
  const char* fields = after_name(text);
  if (fields == nullptr) {
    return true;
  }
  ret_look->state = fields[0];
  const char* at = fields;
  for (int field = 0; field < 17 && at != nullptr; ++field) {
    at = strchr(at, ' ');
    at = at != nullptr ? at + 1 : nullptr;
  }
  ret_look->threads = at != nullptr ? strtol(at, nullptr, 10) : 0;
  return true;
}

bool BoardTasks::anyone_working(const std::vector<pid_t>& asleep) {
  bool working = false;
  auto look = [&](Process& process, Task& task) {
    if (task.tid == ignored_ || task.statFd < 0 ||
        std::binary_search(asleep.begin(), asleep.end(), task.tid)) {
      return;
    }
    TaskLook seen;
    if (!look_at(task, &seen)) {
      drop(process, task);  // the thread ended
      return;
    }
    if (task.tid == process.pid) {
      process.threads = seen.threads;
    }
    if (seen.state == 'R' || seen.state == 'D') {
      working = true;
      lastWorking_ = {process.pid, task.tid};
    }
  };
  // The task that worked last time most likely still does.
  auto last = processes_.find(lastWorking_.first);
  if (last != processes_.end()) {
    for (Task& task : last->second.tasks) {
      if (task.tid == lastWorking_.second) {
        look(last->second, task);
      }
    }
  }
  for (auto& [pid, process] : processes_) {
    for (Task& task : process.tasks) {
      if (working) {
        break;
      }
      look(process, task);
    }
    std::erase_if(process.tasks, [](const Task& task) { return task.statFd < 0; });
    if (working) {
      break;
    }
  }
  return working;
}

std::pair<pid_t, pid_t> BoardTasks::host_thread(uint64_t pidNamespace, pid_t tid) const {
  auto found = byNamespace_.find({pidNamespace, tid});
  return found != byNamespace_.end() ? found->second : std::pair<pid_t, pid_t>{-1, -1};
}

pid_t BoardTasks::host_process(uint64_t pidNamespace, pid_t pid) const {
  const auto [process, thread] = host_thread(pidNamespace, pid);
  return process == thread ? process : -1;
}

int64_t BoardTasks::process_cpu(pid_t hostPid) const {
  auto found = processes_.find(hostPid);
  return found != processes_.end() ? found->second.cpu : -1;
}

int64_t BoardTasks::thread_cpu(pid_t hostPid, pid_t hostTid) {
  const int fd = open(task_path(hostPid, hostTid, "schedstat").c_str(), O_RDONLY | O_CLOEXEC);
  if (fd < 0) {
    return -1;
  }
  char text[128];
  const ssize_t got = read(fd, text, sizeof text - 1);
  close(fd);
  if (got <= 0) {
    return -1;
  }
  text[got] = '\0';
  return strtoll(text, nullptr, 10);
}

}  // namespace sim::board
