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

std::string Timeline::clock_note(const BoardEvent& event) {
  const int64_t offset = event.boardEpochMs - event.elapsed.count();
  // Events of the board's threads may come a moment out of order: then the date and board
  // time go back together. Only a date that goes back on its own was set back, by as much as
  // it moved against board time. The board's own date changes (a scenario's date line, the
  // sleep) say so themselves.
  const int64_t back = lastOffsetMs_ - offset;
  const bool setBack = seenEvent_ && event.boardEpochMs < lastEpochMs_ && back > 1 &&
                       event.kind != EventKind::kClock;
  seenEvent_ = true;
  lastEpochMs_ = event.boardEpochMs;
  lastOffsetMs_ = offset;
  if (!setBack) {
    return "";
  }
  char text[128];
  if (back < 1000) {
    snprintf(text, sizeof text,
             "  (the camera's clock went back %lld ms: it took the MCU's whole-second time)",
             static_cast<long long>(back));
  } else {
    snprintf(text, sizeof text, "  (the camera's clock went back %.3f s: the camera set it)",
             static_cast<double>(back) / 1000.0);
  }
  return text;
}

std::string Timeline::after_power_cut(const BoardEvent& event) {
  if (event.kind == EventKind::kWake) {
    powered_ = true;
  } else if (event.kind == EventKind::kPowerCut || event.kind == EventKind::kCameraExit) {
    powered_ = false;
  } else if (!powered_ && event.wake > 0 && event.kind == EventKind::kPart) {
    return "after the power cut: ";
  }
  return "";
}

std::string Timeline::format(const BoardEvent& event) {
  std::lock_guard lock(mutex_);
  // A line left out passes its clock note on to the next line shown.
  std::string clock = clock_note(event);
  if (clock.empty()) {
    clock = std::move(pendingClock_);
  }
  pendingClock_.clear();
  const std::string after = after_power_cut(event);
  std::string summary;
  if (!verbose_) {
    if (keep_alive(event) && keepAlives_[event.wake]++ > 0) {
      pendingClock_ = clock;
      return "";
    }
    if (event.kind == EventKind::kSerial) {
      const bool sameRun = serialRun_.seen.count(event.field("member")) > 0;
      if (!count_serial(event)) {
        pendingClock_ = clock;
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
  line += head(event, event.kind) + after + event.text;
  if (keep_alive(event) && !verbose_) {
    line += " (more in the record)";
  }
  return line + clock;
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
