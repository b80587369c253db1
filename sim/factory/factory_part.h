// The factory's configuration of the camera as a board part: the configuration file on the
// board's /config, written before the first wake-up by the board's own writer
// (sim/factory/config_file.h).
//   config KEY VALUE     any key of the configuration file (set-up only)
// Keys not named keep their default values. Values are written as given, even those the
// camera's loader refuses, so a scenario can show what the camera does with them.
#pragma once

#include <memory>
#include <span>
#include <string>
#include <utility>
#include <vector>

#include "sim/board/board_part.h"

namespace sim::factory {

class FactoryPart final : public board::BoardPart {
 public:
  std::string_view name() const override { return "factory"; }
  int attach(board::Board& board, std::string* ret_error) override;

  // Sets one key and writes the file and its backup. 0, or -1 with a reason.
  int set(const std::string& key, const std::string& value, std::string* ret_error);

 private:
  board::Board* board_ = nullptr;
  std::vector<std::pair<std::string, std::string>> values_;
};

std::unique_ptr<board::BoardPart> make_factory_part();
extern const std::span<const board::DirectiveSyntax> kFactoryDirectives;

// The configuration file's bytes (header and body) with the keys in `values` set and the
// others at their defaults. 0, or -1 with a reason (unknown key, value not a number).
int make_config_file(const std::vector<std::pair<std::string, std::string>>& values,
                     std::string* ret_file, std::string* ret_error);

}  // namespace sim::factory
