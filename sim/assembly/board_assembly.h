// The board as camsim, the season, the benchmarks and the tests build it: every part, in the
// order they attach and power up, with the scenario directives each one owns.
//
// The board library (sim/board) knows parts only through `BoardPart`; this library, above it
// and above every part, names them. A board is made with them by handing the list to the board:
//   sim::board::BoardSetup setup;
//   setup.parts = sim::assembly::board_parts();
//   auto board = sim::board::Board::create(setup, &error);
#pragma once

#include <span>
#include <string_view>

#include "sim/board/board_part.h"

namespace sim::assembly {

// Every part of the board, in the order they attach and power up.
std::span<const sim::board::PartRegistration> board_parts();

// The directive whose first word is `word`, from any part; nullptr when none has it.
const sim::board::DirectiveSyntax* find_directive(std::string_view word);

}  // namespace sim::assembly
