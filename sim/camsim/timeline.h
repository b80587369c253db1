// The live timeline camsim prints: one line per thing a person wants to follow, in board time.
#pragma once

#include <array>
#include <cstdio>
#include <map>
#include <mutex>
#include <string>
#include <string_view>

#include "sim/board/board_record.h"

namespace sim::camsim {

// The label of a timeline line: for an event of `kind`, or for an event of the board part
// `part`; `meaning` is for camsim --help, which lists every label of this table.
struct TimelineLabel {
  std::string_view label;
  sim::board::EventKind kind;
  std::string_view part;
  std::string_view meaning;
};

using sim::board::EventKind;
inline constexpr std::array kTimelineLabels = {
    TimelineLabel{"SETUP", EventKind::kSetup, "", "the board's set-up and the scenario's notes"},
    TimelineLabel{"WAKE", EventKind::kWake, "", "power-up, with its reason and boot reason"},
    TimelineLabel{"POWER", EventKind::kPowerCut, "", "power cut, by the MCU or the scenario"},
    TimelineLabel{"EXIT", EventKind::kCameraExit, "", "camera_app ended by itself while powered"},
    TimelineLabel{"STATE", EventKind::kState, "", "the application's state changes"},
    TimelineLabel{"LOG", EventKind::kLog, "", "error lines of the application"},
    TimelineLabel{"SERIAL", EventKind::kSerial, "",
                  "messages on the serial lines by member name, both ways, retries marked"},
    TimelineLabel{
        "CLOCK", EventKind::kClock, "clock",
        "the board clock: the date set, the camera asleep, each wake-up's board and host time"},
    TimelineLabel{"FAULT", EventKind::kFault, "", "faults the scenario set, lines it could not do"},
    TimelineLabel{"MCU", EventKind::kPart, "mcu",
                  "the MCU: its status LED, notifications, Modem power, clock and faults"},
    TimelineLabel{"GPIO", EventKind::kPart, "gpio", "level changes of every GPIO line, by name"},
    TimelineLabel{"WATCHDOG", EventKind::kPart, "watchdog",
                  "keep-alives (the first of a wake-up; all with --verbose), silences too long"},
    TimelineLabel{"TAGSTORE", EventKind::kPart, "tagstore", "boot tags written (tag_env_info)"},
    TimelineLabel{"SENSOR", EventKind::kPart, "sensor",
                  "the sensor's power, IR, scene and each snapshot with its exposure"},
    TimelineLabel{"ADC", EventKind::kPart, "adc", "the ADC driver and the temperature it gives"},
    TimelineLabel{"FACTORY", EventKind::kPart, "factory", "the factory's configuration"},
    TimelineLabel{"CARD", EventKind::kPart, "card",
                  "the SD card: made, changed, pulled or inserted, its check after the power cut"},
    TimelineLabel{"PICTURES", EventKind::kPart, "pictures", "the files written to the card"},
    TimelineLabel{"USB", EventKind::kPart, "usb", "the USB gadget: the card lent to the Modem"},
    TimelineLabel{"MODEM", EventKind::kPart, "modem",
                  "the Modem: its power, the server's exchanges and uploads"},
    TimelineLabel{"LEDPANEL", EventKind::kPart, "ledpanel",
                  "the front panel's LEDs and the format button"},
};

// The label of an event's line: from kTimelineLabels, else the part's name in capitals.
std::string timeline_label(const sim::board::BoardEvent& event);

// The paragraph of camsim --help on the timeline: its columns and kTimelineLabels.
std::string timeline_help();

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

  // What the line says of the camera's clock and of when it comes: "(the camera's clock went
  // back 432 ms ...)" when the camera set its clock back, "after the power cut: " for what the
  // board finds (the card's check, the pictures) once the camera is off.
  std::string clock_note(const sim::board::BoardEvent& event);
  std::string after_power_cut(const sim::board::BoardEvent& event);

  bool verbose_;
  std::mutex mutex_;
  std::map<int, int> keepAlives_;  // per wake-up
  SerialRun serialRun_;
  bool seenEvent_ = false;
  int64_t lastEpochMs_ = 0;   // the date column of the last event
  int64_t lastOffsetMs_ = 0;  // its date less its board time: moves only when the date is set
  bool powered_ = false;
  std::string pendingClock_;  // the clock note of a line left out
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
