// What every thread of a set of processes is doing, as a person debugging a stuck camera would
// look: each thread's state, where the kernel has it waiting, its kernel stack, and (with gdb
// on the host) its user-space stack. The board writes this when a wake-up's time runs out while
// the camera is still up, so a hang leaves its trace in the run folder.
#pragma once

#include <sys/types.h>

#include <string>
#include <vector>

namespace sim::board {

// A sandbox's PID namespace, known by its first process. The kernel hands a namespace's number
// ("pid:[4026532176]") to a new namespace once the old one is gone, so the number alone does
// not name a sandbox: the first process, with the time it started, does.
struct PidNamespace {
  pid_t init = -1;
  std::string link;     // what /proc/<init>/ns/pid points to; empty when unknown
  std::string started;  // the first process's start time, in clock ticks after the host's boot
};

// The namespace of `init`, as it is now; an empty link when the process is gone.
PidNamespace namespace_of(pid_t init);

// Host processes of `pidNamespace`, lowest first; none once its first process has ended (the
// kernel ends every other process of a namespace before its first one).
std::vector<pid_t> processes_of_namespace(const PidNamespace& pidNamespace);

// The stacks of `processes`, one block per process.
std::string describe_stacks(const std::vector<pid_t>& processes);

}  // namespace sim::board
