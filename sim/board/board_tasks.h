// The processes and threads of the board as the kernel shows them: the board's own process and
// everything it started (the sandbox, the camera, the commands it runs, the card's daemons).
// The board clock asks it whether any of them works, and how much processor time the camera's
// processes used.
//
// Looking at a task costs a read of its /proc stat file, looking at a process's processor time
// a clock read; so the clock reads the processes' clocks often and the tasks' states only when
// no process used the processor since the last look. The search for new threads and children
// visits only processes that ran since their last visit: one that slept cannot have started
// anything.
#pragma once

#include <sys/types.h>
#include <time.h>

#include <cstdint>
#include <map>
#include <utility>
#include <vector>

namespace sim::board {

class BoardTasks {
 public:
  // Watches `root` (the board's process) and all it starts; `ignored` is the board clock's own
  // thread, which looks and never counts as working.
  BoardTasks(pid_t root, pid_t ignored);
  ~BoardTasks();
  BoardTasks(const BoardTasks&) = delete;
  BoardTasks& operator=(const BoardTasks&) = delete;

  // Reads every watched process's processor time. Returns true when any used the processor
  // since the last sample (or a process ended).
  bool sample();
  // Adds the threads and processes started since they were last looked for: the threads of
  // processes whose number of threads changed, and the children of every process that ran
  // since its last visit; with `everyThread` the children of all its threads, without only of
  // those not in `asleep` (sorted host threads known to sleep since before the new processes
  // could have come). Returns how many it added.
  int discover(bool everyThread, const std::vector<pid_t>& asleep = {});
  // Looks at the threads and children of every process, whether it ran or not.
  int discover_all();
  // Whether a task runs, waits for a processor (R) or is inside the kernel on its way to
  // something (D: the card's FUSE daemon, a vfork, the disk). Stops at the first. Host threads
  // in `asleep` (sorted) are known to sleep and are not looked at.
  bool anyone_working(const std::vector<pid_t>& asleep);
  // The state letter of one watched host thread ('?' when gone or not watched).
  char thread_state(pid_t hostPid, pid_t hostTid) const;
  // Whether nothing on the whole host runs or waits for a processor or for the disk but the
  // calling thread (the kernel's counts in /proc/loadavg and /proc/stat): then nothing of the board
  // works either, and its tasks need not be looked at one by one. False when the host is busy
  // otherwise.
  bool host_idle();

  // The host thread of `tid` in the PID namespace `pidNamespace`: {process, thread}, or
  // {-1, -1} when not known.
  std::pair<pid_t, pid_t> host_thread(uint64_t pidNamespace, pid_t tid) const;
  // The host process of `pid` in `pidNamespace`, or -1.
  pid_t host_process(uint64_t pidNamespace, pid_t pid) const;
  // Processor time (ns) of a watched process at the last sample; -1 when not watched.
  int64_t process_cpu(pid_t hostPid) const;
  // Processor time (ns) of a thread, as its /proc schedstat tells it; -1 when gone.
  static int64_t thread_cpu(pid_t hostPid, pid_t hostTid);

 private:
  struct Task {
    pid_t tid = 0;
    pid_t nsTid = 0;
    int statFd = -1;
    int childrenFd = -1;
  };
  // A thread's state, and for a process's first thread the process's number of threads.
  struct TaskLook {
    char state = '?';
    long threads = 0;
  };
  struct Process {
    pid_t pid = 0;
    uint64_t pidNamespace = 0;
    clockid_t cpuClock = 0;
    int64_t cpu = -1;         // at the last sample
    int64_t listedCpu = -2;   // when its children were last listed
    int64_t countedCpu = -2;  // when its number of threads was last read
    long threads = 0;         // as its first thread's stat told it at the last look
    std::vector<Task> tasks;
  };

  Process* add_process(pid_t pid);
  void add_task(Process& process, pid_t tid);
  // Reads the process's threads and (when `children`) each thread's children.
  int list(Process& process, bool threads, bool children, const std::vector<pid_t>& asleep = {});
  void drop(Process& process, Task& task);
  // Reads a task's stat; false when the task is gone.
  bool look_at(Task& task, TaskLook* ret_look) const;
  int64_t read_cpu(const Process& process) const;
  void forget(std::map<pid_t, Process>::iterator place);

  pid_t root_;
  pid_t ignored_;
  int hostStatFd_ = -1;
  int hostLoadFd_ = -1;
  std::map<pid_t, Process> processes_;
  std::map<std::pair<uint64_t, pid_t>, std::pair<pid_t, pid_t>> byNamespace_;
  std::pair<pid_t, pid_t> lastWorking_{-1, -1};
};

}  // namespace sim::board
