// The real camera_app on a board in a temporary run folder, for scenario tests.
#pragma once

#include <stdlib.h>

#include <chrono>
#include <filesystem>
#include <fstream>
#include <memory>
#include <sstream>
#include <string>
#include <vector>

#include <gtest/gtest.h>

#include "sim/board/board.h"

#include "tests/support/file_lines.h"

namespace scenario_test {

// Generous bound for anything that must happen; never used to measure speed.
inline constexpr std::chrono::seconds kPatience{120};

using test_support::read_file;
using test_support::TempDir;

// What a sanitizer build prints when it finds something; none may appear.
inline bool has_sanitizer_report(const std::string& errors) {
  for (const char* mark :
       {"AddressSanitizer", "ThreadSanitizer", "LeakSanitizer", "runtime error:"}) {
    if (errors.find(mark) != std::string::npos) {
      return true;
    }
  }
  return false;
}

// Counts the events of `kind` in the record.
inline std::size_t count(const sim::board::Board& board, sim::board::EventKind kind) {
  return const_cast<sim::board::Board&>(board).record().events(kind).size();
}

}  // namespace scenario_test
