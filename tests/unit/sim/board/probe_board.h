// A board for tests, powered up with board_probe in camera_app's place: the probe does what
// the test writes into its script and leaves what it saw in the run folder's config/out/.
#pragma once

#include <stdlib.h>
#include <unistd.h>

#include <chrono>
#include <filesystem>
#include <fstream>
#include <memory>
#include <string>
#include <vector>

#include <gtest/gtest.h>

#include "sim/assembly/board_assembly.h"
#include "sim/board/board.h"

#include "tests/support/eventually.h"
#include "tests/support/file_lines.h"

namespace board_test {

// Generous bound for anything that must happen; never used to measure speed.
inline constexpr std::chrono::seconds kPatience{60};

using test_support::read_file;
using test_support::TempDir;

class ProbeBoard {
 public:
  // Makes the board with `setup` (its parts, run folder and camera_app are filled in here).
  explicit ProbeBoard(sim::board::BoardSetup setup = {}) {
    setup.parts = sim::assembly::board_parts();
    setup.runDir = dir_.path() + "/run";
    if (setup.paths.cameraApp.empty()) {
      setup.paths.cameraApp = BOARD_PROBE_PATH;
    }
    std::string error;
    board_ = sim::board::Board::create(setup, &error);
    EXPECT_NE(board_, nullptr) << error;
  }

  sim::board::Board& board() { return *board_; }
  bool ok() const { return board_ != nullptr; }
  std::string config_path(const std::string& name) const {
    return board_->run_dir() + "/config/" + name;
  }

  // Writes the probe's script for the next power-up.
  void script(const std::vector<std::string>& actions) {
    std::ofstream file(config_path("probe.cmd"), std::ios::trunc);
    for (const std::string& action : actions) {
      file << action << "\n";
    }
    std::error_code ignored;
    std::filesystem::remove_all(config_path("out"), ignored);
  }

  int wake(sim::board::WakeUpRequest request = {}) {
    std::string error;
    const int result = board_->wake(request, &error);
    EXPECT_EQ(result, 0) << error;
    return result;
  }

  // Waits until the probe wrote out/done; false on time-out.
  bool wait_done() const { return wait_for_file(config_path("out/done")); }

  std::string out(const std::string& name) const { return read_file(config_path("out/" + name)); }
  std::vector<std::string> out_lines(const std::string& name) const {
    return test_support::read_lines(config_path("out/" + name));
  }

  static bool wait_for_file(const std::string& path) {
    return test_support::eventually([&] { return access(path.c_str(), F_OK) == 0; }, kPatience);
  }

 private:
  TempDir dir_;
  std::unique_ptr<sim::board::Board> board_;
};

}  // namespace board_test
