// Puts the tag store's part of the camera board into a camera root folder, for the board
// image and for tests that run inside the sandbox (root "/").
#pragma once

#include <array>
#include <string>

namespace sim::tagstore {

// The board tools this folder builds, installed in <root>/system/bin.
inline constexpr std::array<const char*, 4> kBoardTools = {"tag_env_info", "flash_eraseall",
                                                           "flashcp", "mount"};
inline constexpr char kBoardBinDir[] = "/system/bin";
inline constexpr char kTagImagePath[] = "/system/opt/tag/tag.bin";

// Links each tool of `tools_dir` into <root>/system/bin, copies `tag_image` to
// <root>/system/opt/tag/tag.bin and, unless it exists, creates the store <root>/dev/mtd1 from
// that image. Returns 0, or -1 with the reason in `ret_error`.
int install_tag_tools(const std::string& root, const std::string& tools_dir,
                      const std::string& tag_image, std::string* ret_error = nullptr);

}  // namespace sim::tagstore
