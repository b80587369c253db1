// A camsim scenario: the board's set-up, then a story of wake-ups, each with events at times
// after its power-up, and the time the camera sleeps in between.
//
// The file format is line based; "#" starts a comment; times are a number with a unit
// (250ms, 2s, 1.5s, 10m, 1h). See scenario_format_help() for the words.
#pragma once

#include <chrono>
#include <cstdint>
#include <map>
#include <string>
#include <string_view>
#include <vector>

#include "sim/board/board.h"
#include "sim/board/directive_words.h"
#include "sim/mcu/mcu_peer.h"
#include "sim/tagstore/tag_store.h"

namespace sim::camsim {

enum class EventType : int {
  kPir,          // the MCU's PIR notification
  kTimelapse,    // the MCU's time-lapse notification
  kTestButton,   // the MCU's test-button notification
  kGpio,         // drive an input line
  kFault,        // switch a fault of the MCU on
  kClearFaults,  // switch every MCU fault off
  kPowerCut,     // cut the power now
  kDate,         // set the camera's date and time
  kRtc,          // the MCU's real-time clock turns valid (at the camera's date) or invalid
  kNote,         // a line in the record
  kPartAction,   // a directive of one of the board's parts
};

struct ScenarioEvent {
  std::chrono::milliseconds at{0};  // after the power-up
  EventType type = EventType::kNote;
  int line = 0;
  int level = 0;
  sim::McuFault fault;
  int64_t epochMs = 0;
  std::string text;
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
  int64_t startEpochMs = 1717243200000;  // 2024-06-01 12:00:00 UTC
  uint32_t speed = 10;
  sim::McuSetup mcu;
  bool rtcGiven = false;  // the MCU's RTC has a time of its own, else it starts at `date`
  std::vector<sim::tagstore::Tag> tags;
  bool tagStoreDamaged = false;
  sim::tagstore::Markers markers;
  std::map<int, int> inputs;
  int watchdogLimitMs = 10000;
  std::vector<sim::McuFault> faults;  // on from the start
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

using sim::board::parse_date_time;
using sim::board::parse_duration;

// The description of the format, for camsim --help.
std::string_view scenario_format_help();

}  // namespace sim::camsim
