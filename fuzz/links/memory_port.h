// The port a receiver target reads from: a descriptor whose reads come from the fuzz input in
// memory, one copy per read() and no system call. The receiver targets are linked with
// --wrap=read, so every read() of the application and of the target goes through read_port();
// reads of any other descriptor go on to the real read().
//
// A pipe did the same job before, at one system call per byte: half of each run's time went to
// the kernel, and a long run stopped far short of its execution count.
#pragma once

#include <cstddef>
#include <cstdint>

namespace fuzz_links {

// Loads `size` bytes at `data` (which must outlive the reads) as what the port holds, and
// returns the port's descriptor. Once they are read, every read returns 0 at once, as a silent
// peer's read does after its 0.5 s.
int load_port(const uint8_t* data, std::size_t size);

}  // namespace fuzz_links
