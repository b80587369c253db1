// Whole-file replacement that survives a power cut at any moment.
//
// The new bytes go to "<path>.tmp", which is flushed to the medium before it is renamed over
// `path`; the folder is flushed after the rename. Until the rename `path` keeps its old,
// complete content; after it, the new one. The camera's flash never shows a half-written file
// under the real name.
#pragma once

#include <cstddef>

enum class DurableWrite {
  kDone,
  kOpenFailed,   // the temporary file could not be created
  kWriteFailed,  // writing, flushing or renaming failed; `path` is unchanged
};

DurableWrite write_file_durably(const char* path, const void* data, std::size_t size);

// Copies `source` over `target` in the same way. Returns 0 or -1.
int copy_file_durably(const char* source, const char* target);

// Test seam standing for the storage's power supply. After `units` more units of storage work
// (one per byte written, one per file creation, flush and rename) the power is gone: every
// later operation fails without effect, and a write stops after the bytes it could still do.
// A negative value (the default) keeps the power on. Meant for single-threaded tests.
void storage_cut_power_after(long units);
// Units of storage work done since the last storage_cut_power_after() call.
long storage_units_used();
