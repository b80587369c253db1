// Runs a scenario on a new board: sets the board up, plays the story in board time and leaves
// the run folder behind.
#pragma once

#include <cstdio>
#include <functional>
#include <string>

#include "sim/board/board.h"
#include "sim/camsim/scenario.h"

namespace sim::camsim {

struct RunOptions {
  std::string runDir;
  sim::board::BoardPaths paths;
  uint32_t speed = 0;  // 0: the scenario's
  // Called for every event of the record as it happens (the live timeline).
  std::function<void(const sim::board::BoardEvent&)> listener;
  // Where the board's parts print their end-of-run reports (nothing when null).
  FILE* reportOut = nullptr;
};

struct RunResult {
  int wakeUps = 0;
  int poweredOffByMcu = 0;  // wake-ups that ended with the MCU's power cut
  int cutByScenario = 0;    // wake-ups whose time ran out, or cut by a power-cut event
  int cameraExits = 0;      // wake-ups in which camera_app ended by itself
};

// Returns 0, or -1 with `ret_error` when the board cannot be made or powered.
int run_scenario(const Scenario& scenario, const RunOptions& options, RunResult* ret_result,
                 std::string* ret_error);

}  // namespace sim::camsim
