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

namespace scenario_test {

// Generous bound for anything that must happen; never used to measure speed.
inline constexpr std::chrono::seconds kPatience{120};

inline std::string read_file(const std::string& path) {
  std::ifstream file(path);
  std::ostringstream text;
  text << file.rdbuf();
  return text.str();
}

class TempDir {
 public:
  TempDir() {
    std::string pattern = std::filesystem::temp_directory_path().string() + "/scenario-test-XXXXXX";
    if (mkdtemp(pattern.data()) != nullptr) {
      path_ = pattern;
    }
  }
  ~TempDir() {
    std::error_code ignored;
    if (!path_.empty()) {
      std::filesystem::remove_all(path_, ignored);
    }
  }
  TempDir(const TempDir&) = delete;
  TempDir& operator=(const TempDir&) = delete;
  const std::string& path() const { return path_; }

 private:
  std::string path_;
};

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
