// The names of the system states.
#pragma once

#include <array>
#include <cstddef>

#include "app/system/core/sys_info.h"

inline constexpr std::size_t kStateNameSize = 30;
using StateNameTable = std::array<char[kStateNameSize], kSystemStateCount>;

// Names used by every state-change message.
extern const StateNameTable kStateNames;
// The copy the MCU link manager prints a reported camera state from ("Camera state : %s ").
extern const StateNameTable kMcuStateNames;

// Name of a state from the first table, or "STATE_INVALID" outside 0..9.
const char* state_name(int32_t state);
