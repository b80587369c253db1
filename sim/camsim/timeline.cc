#include "sim/camsim/timeline.h"

#include <array>
#include <cctype>

namespace sim::camsim {

using sim::board::BoardEvent;
using sim::board::EventKind;

namespace {

// "  +12.345s  2024-06-01 12:00:12.345  w1  STATE    ", the start of every line.
std::string head(const BoardEvent& event, EventKind kind) {
  BoardEvent labelled;
  labelled.kind = kind;
  labelled.part = event.part;
  std::string time = sim::board::format_board_time(event.boardEpochMs);
  time[10] = ' ';
  const std::string wake = event.wake > 0 ? "w" + std::to_string(event.wake) : "";
  char text[96];
  snprintf(text, sizeof text, "%+10.3fs  %s  %-3s %-8s ",
           static_cast<double>(event.elapsed.count()) / 1000.0, time.c_str(), wake.c_str(),
           timeline_label(labelled).c_str());
  return text;
}

// The watchdog's keep-alives come every few seconds: the first of a wake-up stands for all.
bool keep_alive(const BoardEvent& event) {
  return event.kind == EventKind::kPart && event.part == "watchdog" &&
         event.field("what") == "keepalive";
}

}  // namespace

std::string timeline_label(const BoardEvent& event) {
  for (const TimelineLabel& entry : kTimelineLabels) {
    if (event.kind == EventKind::kPart ? entry.part == event.part : entry.kind == event.kind) {
      return std::string(entry.label);
    }
  }
  std::string label;
  for (const char c : event.part) {
    label += static_cast<char>(toupper(static_cast<unsigned char>(c)));
  }
  return label;
}

std::string timeline_help() {
  std::string text =
      "The timeline: board time since the start, the camera's date and time, the wake-up "
      "number,\nthe label and what happened:\n";
  for (const TimelineLabel& entry : kTimelineLabels) {
    char line[160];
    snprintf(line, sizeof line, "  %-9.*s %.*s\n", static_cast<int>(entry.label.size()),
             entry.label.data(), static_cast<int>(entry.meaning.size()), entry.meaning.data());
    text += line;
  }
  return text;
}

bool Timeline::count_serial(const BoardEvent& event) {
  const std::string member = event.field("member");
  if (serialRun_.seen.count(member) == 0 && serialRun_.seen.size() >= 2) {
    serialRun_.seen.clear();
  }
  if (++serialRun_.seen[member] <= kShownRepeats) {
    return true;
  }
  ++serialRun_.hidden;
  return false;
}

std::string Timeline::end_serial_run() {
  std::string text;
  if (serialRun_.hidden > 0) {
    text = "... " + std::to_string(serialRun_.hidden) +
           " more messages of this exchange (all in the record)";
    serialRun_.hidden = 0;
  }
  return text;
}

std::string Timeline::format(const BoardEvent& event) {
  std::string summary;
  if (!verbose_) {
    std::lock_guard lock(mutex_);
    if (keep_alive(event) && keepAlives_[event.wake]++ > 0) {
      return "";
    }
    if (event.kind == EventKind::kSerial) {
      const bool sameRun = serialRun_.seen.count(event.field("member")) > 0;
      if (!count_serial(event)) {
        return "";
      }
      if (!sameRun) {
        summary = end_serial_run();
      }
    } else {
      summary = end_serial_run();
      serialRun_.seen.clear();
    }
  }
  // The line that ends a run of hidden messages carries the time the run was seen to end.
  std::string line = summary.empty() ? "" : head(event, EventKind::kSerial) + summary + "\n";
  line += head(event, event.kind) + event.text;
  if (keep_alive(event) && !verbose_) {
    line += " (more in the record)";
  }
  return line;
}

void TimelinePrinter::print(const BoardEvent& event) {
  const std::string line = timeline_.format(event);
  if (line.empty()) {
    return;
  }
  std::lock_guard lock(mutex_);
  for (FILE* file : {out_, copy_}) {
    if (file != nullptr) {
      fprintf(file, "%s\n", line.c_str());
      fflush(file);
    }
  }
}

}  // namespace sim::camsim
