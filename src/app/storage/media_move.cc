#include "app/storage/media_move.h"

#include <array>
#include <cstdio>
#include <filesystem>
#include <fstream>
#include <string>
#include <string_view>
#include <vector>

#include "app/records/log/app_log.h"
#include "app/system/core/shell.h"

namespace {

namespace fs = std::filesystem;

constexpr std::string_view kSecondary = "/sdcard/secondary/";
constexpr std::string_view kPrimary = "/sdcard/primary/";

// One file under the secondary's DCIM or TRANSMIT folder, by its path below the partition root
// ("DCIM/100DSCIM/PICT0004.JPG").
struct MediaFile {
  std::string path;
  bool inMediaFolder = false;  // inside a *DSCIM folder: what "rm -r" removes after the copy
};

std::string on_secondary(const MediaFile& file) {
  return std::string(kSecondary) + file.path;
}

std::string on_primary(const MediaFile& file) {
  return std::string(kPrimary) + file.path;
}

bool hidden(const fs::path& name) {
  return name.filename().string().starts_with(".");
}

// The files the shell's globs reach: the entries of `folder` that do not start with "." and
// everything below them.
std::vector<MediaFile> files_under(std::string_view folder) {
  std::vector<MediaFile> files;
  std::error_code error;
  const fs::path root = fs::path(std::string(kSecondary) + std::string(folder));
  for (const fs::directory_entry& top : fs::directory_iterator(root, error)) {
    if (hidden(top.path())) {
      continue;
    }
    const bool media_folder = folder == "DCIM" && top.is_directory(error) &&
                              top.path().filename().string().ends_with("DSCIM");
    auto add = [&](const fs::path& path, bool removed_after_copy) {
      files.push_back({fs::relative(path, fs::path(std::string(kSecondary)), error).string(),
                       removed_after_copy});
    };
    if (!top.is_directory(error)) {
      add(top.path(), false);
      continue;
    }
    for (auto it = fs::recursive_directory_iterator(top.path(), error);
         !error && it != fs::recursive_directory_iterator(); it.increment(error)) {
      if (it->is_regular_file(error)) {
        // "*DSCIM/*" leaves out the names directly in the folder that start with ".".
        const bool reached = media_folder && !(it.depth() == 0 && hidden(it->path()));
        add(it->path(), reached);
      }
    }
  }
  return files;
}

// True when the file `part` holds the first bytes of `whole`, or all of them.
bool starts_like(const std::string& part, const std::string& whole) {
  std::error_code error;
  const auto part_size = fs::file_size(part, error);
  const auto whole_size = fs::file_size(whole, error);
  if (error || part_size > whole_size) {
    return false;
  }
  std::ifstream a(part, std::ios::binary);
  std::ifstream b(whole, std::ios::binary);
  std::array<char, 64 * 1024> left;
  std::array<char, 64 * 1024> right;
  while (a) {
    a.read(left.data(), left.size());
    b.read(right.data(), a.gcount());
    if (b.gcount() != a.gcount() ||
        !std::equal(left.begin(), left.begin() + a.gcount(), right.begin())) {
      return false;
    }
  }
  return a.eof();
}

// The primary holds another file under the same name: copying would replace it. The same
// file, or a copy of it that a power cut stopped short, is no other file.
bool clashes(const MediaFile& file) {
  std::error_code error;
  return fs::exists(on_primary(file), error) && !starts_like(on_primary(file), on_secondary(file));
}

// The copy on the primary is whole: as long as its source.
bool copied_whole(const MediaFile& file) {
  std::error_code error;
  const auto copy = fs::file_size(on_primary(file), error);
  return !error && copy == fs::file_size(on_secondary(file), error) && !error;
}

int run_quoted(const char* command, const std::string& path) {
  return run_shellf("%s %s", command, shell_quote(path).c_str());
}

// After a copy or move that may have stopped short: a file whose copy is not whole stays on
// the secondary and its piece on the primary goes (it was not there before: nothing clashed).
// Returns whether the file now lives on the primary alone.
bool settle(const MediaFile& file) {
  std::error_code error;
  if (!fs::exists(on_secondary(file), error)) {
    return true;
  }
  if (copied_whole(file)) {
    return true;
  }
  if (fs::exists(on_primary(file), error)) {
    run_quoted("rm -f", on_primary(file));
  }
  app_log(MOD_SD_CONF, LEVEL_ERR, "Copy of %s to the primary failed: kept on the secondary",
          on_secondary(file).c_str());
  return false;
}

// The literal steps, safe because no name clashes.
int move_all(const std::vector<MediaFile>& dcim, const std::vector<MediaFile>& transmit) {
  int left = 0;
  const bool copied = run_shell("cp -r /sdcard/secondary/DCIM/* /sdcard/primary/DCIM/") == 0;
  bool all_whole = copied;
  for (const MediaFile& file : dcim) {
    all_whole = settle(file) && all_whole;
  }
  if (all_whole) {
    run_shell("rm -r /sdcard/secondary/DCIM/*DSCIM/*");
  } else {
    for (const MediaFile& file : dcim) {
      if (file.inMediaFolder && copied_whole(file)) {
        run_quoted("rm -f", on_secondary(file));
      } else if (file.inMediaFolder) {
        ++left;
      }
    }
  }
  run_shell("mv /sdcard/secondary/TRANSMIT/* /sdcard/primary/TRANSMIT/");
  for (const MediaFile& file : transmit) {
    left += settle(file) ? 0 : 1;
  }
  return left;
}

// File by file, leaving out the files whose names the primary holds already.
int move_each(const std::vector<MediaFile>& dcim, const std::vector<MediaFile>& transmit,
              const std::vector<bool>& clash) {
  int left = 0;
  std::size_t index = 0;
  for (const MediaFile& file : dcim) {
    if (clash[index++]) {
      left += file.inMediaFolder ? 1 : 0;
      continue;
    }
    run_quoted("mkdir -p", fs::path(on_primary(file)).parent_path().string());
    run_shellf("cp %s %s", shell_quote(on_secondary(file)).c_str(),
               shell_quote(on_primary(file)).c_str());
    if (!settle(file)) {
      left += file.inMediaFolder ? 1 : 0;
    } else if (file.inMediaFolder) {
      run_quoted("rm -f", on_secondary(file));
    }
  }
  for (const MediaFile& file : transmit) {
    if (clash[index++]) {
      ++left;
      continue;
    }
    run_shellf("mv %s %s", shell_quote(on_secondary(file)).c_str(),
               shell_quote(on_primary(file)).c_str());
    left += settle(file) ? 0 : 1;
  }
  return left;
}

}  // namespace

int move_secondary_media() {
  const std::vector<MediaFile> dcim = files_under("DCIM");
  const std::vector<MediaFile> transmit = files_under("TRANSMIT");
  std::vector<bool> clash;
  bool any_clash = false;
  for (const std::vector<MediaFile>* files : {&dcim, &transmit}) {
    for (const MediaFile& file : *files) {
      clash.push_back(clashes(file));
      if (clash.back()) {
        any_clash = true;
        app_log(MOD_SD_CONF, LEVEL_ERR,
                "%s is on the primary already with other contents: both kept, this one on the "
                "secondary",
                file.path.c_str());
      }
    }
  }
  const int left = any_clash ? move_each(dcim, transmit, clash) : move_all(dcim, transmit);
  run_shell("sync");
  return left;
}
