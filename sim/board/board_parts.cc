// The parts of the board, in the order they attach and power up. A new part is one folder
// under sim/ and one line here.
#include <array>

#include "sim/board/board_part.h"

namespace sim::board {

namespace {

constexpr std::array<PartRegistration, 0> kParts = {};

}  // namespace

std::span<const PartRegistration> board_parts() {
  return kParts;
}

const DirectiveSyntax* find_directive(std::string_view word) {
  for (const PartRegistration& part : board_parts()) {
    for (const DirectiveSyntax& directive : part.directives) {
      if (directive.word == word) {
        return &directive;
      }
    }
  }
  return nullptr;
}

}  // namespace sim::board
