// For the sources of the board's preloaded shim (libboardclock.so): the C library's own
// function of a name, behind the shim's. Other board parts add interpositions of their own
// (statfs, /proc/mounts for the card, ...) as separate sources linked into the shim, with
//   target_sources(board_clock_shim PRIVATE ${CMAKE_CURRENT_SOURCE_DIR}/my_interposition.cc)
// in their folder's CMakeLists.txt. The shim has no C++ runtime: no exceptions, no RTTI, no
// thread-safe statics, no standard library containers.
#pragma once

#include <dlfcn.h>

namespace board_shim {

template <typename Function>
Function next(const char* name) {
  return reinterpret_cast<Function>(dlsym(RTLD_NEXT, name));
}

}  // namespace board_shim
