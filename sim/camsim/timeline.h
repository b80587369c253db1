// The live timeline camsim prints: one line per thing a person wants to follow, in board time.
#pragma once

#include <cstdio>
#include <map>
#include <mutex>
#include <string>

#include "sim/board/board_record.h"

namespace sim::camsim {

// "  +12.345s  2024-06-01 12:00:12.345  w1  STATE    STATE_INIT -> STATE_POWERDOWN"; empty
// for events that only the record keeps: every keep-alive after a wake-up's first, and the
// messages of an exchange repeated over and over (a request asked again until the answer
// suits) after its first kShownRepeats rounds; a line then says how many were left out.
class Timeline {
 public:
  explicit Timeline(bool verbose) : verbose_(verbose) {}
  std::string format(const sim::board::BoardEvent& event);

  static constexpr int kShownRepeats = 3;

 private:
  // Serial messages of one exchange in a row: the members seen (a request and its answer)
  // with how often each came, and how many messages were left out.
  struct SerialRun {
    std::map<std::string, int> seen;
    int hidden = 0;
  };
  // False when the serial event is one the timeline leaves out.
  bool count_serial(const sim::board::BoardEvent& event);
  // "... 40 more messages of this exchange", once a run that hid messages ends.
  std::string end_serial_run();

  bool verbose_;
  std::mutex mutex_;
  std::map<int, int> keepAlives_;  // per wake-up
  SerialRun serialRun_;
};

// Writes each formatted line to `out` (and `copy`, when given) as events come.
class TimelinePrinter {
 public:
  TimelinePrinter(bool verbose, FILE* out, FILE* copy)
      : timeline_(verbose), out_(out), copy_(copy) {}
  void print(const sim::board::BoardEvent& event);

 private:
  Timeline timeline_;
  std::mutex mutex_;
  FILE* out_;
  FILE* copy_;
};

}  // namespace sim::camsim
