// The stories built into camsim: scenario texts in the file format, runnable by name.
#pragma once

#include <span>
#include <string_view>

namespace sim::camsim {

struct Story {
  std::string_view name;
  std::string_view text;
};

std::span<const Story> built_in_stories();
// The story of that name, or nullptr.
const Story* find_story(std::string_view name);

}  // namespace sim::camsim
