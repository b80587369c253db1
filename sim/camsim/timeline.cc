#include "sim/camsim/timeline.h"

#include <array>

namespace sim::camsim {

using sim::board::BoardEvent;
using sim::board::EventKind;

namespace {

struct Label {
  EventKind kind;
  const char* label;
};

constexpr std::array kLabels = {
    Label{EventKind::kSetup, "SETUP"},      Label{EventKind::kWake, "WAKE"},
    Label{EventKind::kPowerCut, "POWER"},   Label{EventKind::kCameraExit, "EXIT"},
    Label{EventKind::kState, "STATE"},      Label{EventKind::kLog, "LOG"},
    Label{EventKind::kSerial, "SERIAL"},    Label{EventKind::kStatusLed, "LED"},
    Label{EventKind::kModemPower, "MODEM"}, Label{EventKind::kGpio, "GPIO"},
    Label{EventKind::kWatchdog, "WDT"},     Label{EventKind::kWatchdogGap, "WDT-GAP"},
    Label{EventKind::kTagWrite, "TAG"},     Label{EventKind::kClock, "CLOCK"},
    Label{EventKind::kFault, "FAULT"},      Label{EventKind::kNotification, "NOTIFY"},
};

const char* label(EventKind kind) {
  for (const Label& entry : kLabels) {
    if (entry.kind == kind) {
      return entry.label;
    }
  }
  return "?";
}

}  // namespace

std::string Timeline::format(const BoardEvent& event) {
  if (event.kind == EventKind::kWatchdog && !verbose_) {
    std::lock_guard lock(mutex_);
    if (keepAlives_[event.wake]++ > 0) {
      return "";
    }
  }
  std::string time = sim::board::format_board_time(event.boardEpochMs);
  time[10] = ' ';
  const std::string wake = event.wake > 0 ? "w" + std::to_string(event.wake) : "";
  char head[96];
  snprintf(head, sizeof head, "%+10.3fs  %s  %-3s %-8s ",
           static_cast<double>(event.elapsed.count()) / 1000.0, time.c_str(), wake.c_str(),
           label(event.kind));
  std::string line = head + event.text;
  if (event.kind == EventKind::kWatchdog && !verbose_) {
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
