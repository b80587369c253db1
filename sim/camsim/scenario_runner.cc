#include "sim/camsim/scenario_runner.h"

#include <algorithm>
#include <array>

namespace sim::camsim {

using sim::board::Board;
using sim::board::EventKind;
using std::chrono::milliseconds;

namespace {

void play(Board& board, const ScenarioEvent& event) {
  switch (event.type) {
    case EventType::kPowerCut:
      board.cut_power("power cut by the scenario (line " + std::to_string(event.sourceLine) + ")");
      break;
    case EventType::kNote:
      board.note(EventKind::kSetup, event.text);
      break;
    case EventType::kPartAction: {
      std::string why;
      if (event.action(board, &why) != 0) {
        board.note(EventKind::kFault,
                   "the board could not do line " + std::to_string(event.sourceLine) + ": " + why);
      }
      break;
    }
  }
}

}  // namespace

int run_scenario(const Scenario& scenario, const RunOptions& options, RunResult* ret_result,
                 std::string* ret_error) {
  sim::board::BoardSetup setup = scenario.board;
  setup.runDir = options.runDir;
  setup.paths = options.paths;
  if (options.speed != 0) {
    setup.speed = options.speed;
  }
  std::unique_ptr<Board> board = Board::create(setup, ret_error);
  if (!board) {
    return -1;
  }
  if (options.listener) {
    // The set-up line came before anyone listened: give it again.
    for (const sim::board::BoardEvent& event : board->record().events()) {
      options.listener(event);
    }
    board->record().add_listener(options.listener);
  }
  if (!scenario.title.empty()) {
    board->note(EventKind::kSetup, "scenario: " + scenario.title);
  }
  for (const Scenario::PartSetup& part : scenario.partSetup) {
    std::string why;
    if (part.action(*board, &why) != 0) {
      *ret_error = "line " + std::to_string(part.sourceLine) + ": " + why;
      return -1;
    }
  }

  RunResult result;
  for (const ScenarioStep& step : scenario.steps) {
    if (step.asleep) {
      board->pass_time_asleep(step.sleepFor);
      continue;
    }
    if (board->wake(step.wake.request, ret_error) != 0) {
      return -1;
    }
    ++result.wakeUps;
    for (const ScenarioEvent& event : step.wake.events) {
      if (!board->wait_awake_until(event.at)) {
        board->note(EventKind::kSetup, "the camera is off: the events from line " +
                                           std::to_string(event.sourceLine) + " on do not happen");
        break;
      }
      play(*board, event);
    }
    board->run_until_power_off(step.wake.limit);
    const std::vector<sim::board::BoardEvent> ends = board->record().events();
    const auto last = std::find_if(ends.rbegin(), ends.rend(), [](const auto& event) {
      return event.kind == EventKind::kPowerCut || event.kind == EventKind::kCameraExit;
    });
    if (last != ends.rend() && last->kind == EventKind::kCameraExit) {
      ++result.cameraExits;
    } else if (last != ends.rend() && last->field("why").find("MCU") != std::string::npos) {
      ++result.poweredOffByMcu;
    } else {
      ++result.cutByScenario;
    }
  }
  board->report_parts(options.reportOut);
  board->note(EventKind::kSetup, "scenario over: " + std::to_string(result.wakeUps) +
                                     " wake-up(s); run folder " + board->run_dir());
  if (ret_result != nullptr) {
    *ret_result = result;
  }
  return 0;
}

}  // namespace sim::camsim
