// A camsim scenario: the board's set-up, then a story of wake-ups, each with events at times
// after its power-up, and the time the camera sleeps in between.
//
// The file format is line based; "#" starts a comment; times are a number with a unit
// (250ms, 2s, 1.5s, 10m, 1h). Besides the words of the scenario itself (title, date, speed,
// wake, asleep, at, power-cut, note), every line is a directive of one of the board's parts
// (sim/assembly lists them): "gpio 43 1", "fault mcu no-answer", "at 2s pir".
#pragma once

#include <chrono>
#include <cstdint>
#include <string>
#include <string_view>
#include <vector>

#include "sim/board/board.h"
#include "sim/board/directive_words.h"

namespace sim::camsim {

// A scenario file is at most this long: more is not a scenario someone wrote.
inline constexpr std::size_t kMaxScenarioBytes = 1 << 20;

enum class EventType : int {
  kPowerCut,    // cut the power now
  kNote,        // a line in the record
  kPartAction,  // a directive of one of the board's parts
};

struct ScenarioEvent {
  std::chrono::milliseconds at{0};  // after the power-up
  EventType type = EventType::kNote;
  std::string text;                // kNote
  sim::board::BoardAction action;  // kPartAction
  int sourceLine = 0;
};

struct ScenarioWake {
  sim::board::WakeUpRequest request;
  // The power is cut when this much board time passed since the power-up, unless the MCU
  // did it first.
  std::chrono::milliseconds limit{60000};
  std::vector<ScenarioEvent> events;  // in time order
  int sourceLine = 0;
};

struct ScenarioStep {
  bool asleep = false;  // a pause with the camera off, else a wake-up
  std::chrono::seconds sleepFor{0};
  ScenarioWake wake;
};

struct Scenario {
  std::string title;
  // The board's parts (every part of the assembly), its date and its speed limit (none by
  // default); the run folder and paths are the runner's.
  sim::board::BoardSetup board;
  // Set-up directives of the board's parts, run in order once the board is built.
  struct PartSetup {
    sim::board::BoardAction action;
    int sourceLine = 0;
  };
  std::vector<PartSetup> partSetup;
  std::vector<ScenarioStep> steps;
};

// Parses a scenario. On failure returns -1 and puts "NAME:LINE: what is wrong" into
// `ret_error`.
int parse_scenario(std::string_view text, std::string_view sourceName, Scenario* ret_scenario,
                   std::string* ret_error);

// Reads a scenario file: a regular file of at most kMaxScenarioBytes. Returns 0, or -1 with
// what is wrong ("... is not a regular file", "... is larger than 1 MiB").
int read_scenario_file(const std::string& path, std::string* ret_text, std::string* ret_error);

using sim::board::parse_date_time;
using sim::board::parse_duration;

// The description of the format, for camsim --help.
std::string_view scenario_format_help();

}  // namespace sim::camsim
