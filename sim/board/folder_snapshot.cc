#include "sim/board/folder_snapshot.h"

#include <filesystem>
#include <system_error>

namespace sim::board {

namespace fs = std::filesystem;

int snapshot_folder(const std::string& from, const std::string& to, std::string* ret_error) {
  std::error_code error;
  for (int attempt = 0; attempt < 5; ++attempt) {
    fs::remove_all(to, error);
    const fs::path source = fs::canonical(from, error);
    if (error) {
      break;
    }
    fs::create_directories(to, error);
    for (auto it = fs::recursive_directory_iterator(source, error);
         !error && it != fs::recursive_directory_iterator(); it.increment(error)) {
      // Lexically: fs::relative() would follow a link inside the folder to what it names.
      const fs::path target = to / it->path().lexically_relative(source);
      if (it->is_symlink(error)) {
        fs::copy_symlink(it->path(), target, error);
      } else if (it->is_directory(error)) {
        fs::create_directory(target, error);
      } else {
        fs::create_hard_link(it->path(), target, error);
        if (error) {
          fs::copy_file(it->path(), target, error);
        }
      }
    }
    if (!error) {
      return 0;
    }
  }
  if (ret_error != nullptr) {
    *ret_error = error.message();
  }
  return -1;
}

}  // namespace sim::board
