#include "sim/tagstore/board_install.h"

#include <filesystem>
#include <optional>
#include <system_error>
#include <vector>

#include "sim/tagstore/tag_store.h"

namespace sim::tagstore {

namespace fs = std::filesystem;

int install_tag_tools(const std::string& root, const std::string& tools_dir,
                      const std::string& tag_image, std::string* ret_error) {
  auto fail = [ret_error](const std::string& what) {
    if (ret_error != nullptr) {
      *ret_error = what;
    }
    return -1;
  };
  std::error_code error;
  const fs::path bin = fs::path(root) / fs::path(kBoardBinDir).relative_path();
  fs::create_directories(bin, error);
  if (error) {
    return fail(bin.string() + ": " + error.message());
  }
  for (const char* tool : kBoardTools) {
    const fs::path link = bin / tool;
    fs::remove(link, error);
    fs::create_symlink(fs::path(tools_dir) / tool, link, error);
    if (error) {
      return fail(link.string() + ": " + error.message());
    }
  }

  const fs::path image = fs::path(root) / fs::path(kTagImagePath).relative_path();
  fs::create_directories(image.parent_path(), error);
  fs::copy_file(tag_image, image, fs::copy_options::overwrite_existing, error);
  if (error) {
    return fail(image.string() + ": " + error.message());
  }

  const fs::path store = fs::path(root) / fs::path(kDevicePath).relative_path();
  if (fs::exists(store)) {
    return 0;
  }
  fs::create_directories(store.parent_path(), error);
  std::vector<uint8_t> bytes;
  std::string reason;
  if (read_store(image.string(), bytes, &reason) != 0) {
    return fail(reason);
  }
  std::optional<TagEnv> env = decode_tag_env(bytes);
  if (!env) {
    return fail(image.string() + ": not a tag image");
  }
  if (create_store(store.string(), *env, &reason) != 0) {
    return fail(reason);
  }
  return 0;
}

}  // namespace sim::tagstore
