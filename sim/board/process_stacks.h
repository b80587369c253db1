// What every thread of a set of processes is doing, as a person debugging a stuck camera would
// look: each thread's state, where the kernel has it waiting, its kernel stack, and (with gdb
// on the host) its user-space stack. The board writes this when a wake-up's time runs out while
// the camera is still up, so a hang leaves its trace in the run folder.
#pragma once

#include <sys/types.h>

#include <string>
#include <vector>

namespace sim::board {

// Host processes whose PID namespace is `pidNamespace` ("pid:[4026532176]"), lowest first.
std::vector<pid_t> processes_of_namespace(const std::string& pidNamespace);

// The stacks of `processes`, one block per process.
std::string describe_stacks(const std::vector<pid_t>& processes);

}  // namespace sim::board
