// A run's own copy of a folder the build keeps rewriting (the board image, the card's tools).
#pragma once

#include <string>

namespace sim::board {

// Copies the folder `from` (or the folder a link `from` points to) into `to`, replacing what
// `to` held: files hard-linked where the file system allows, copied otherwise. Cheap, and safe
// because the build never rewrites such a file in place: it links or swaps in a new one. A
// build that swaps the folder while this copies makes it start again on the new one. Returns
// 0, or -1 with what went wrong in `ret_error`.
int snapshot_folder(const std::string& from, const std::string& to, std::string* ret_error);

}  // namespace sim::board
