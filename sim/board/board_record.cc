#include "sim/board/board_record.h"

#include <time.h>

#include <array>
#include <utility>

#include <nlohmann/json.hpp>

namespace sim::board {

namespace {

struct KindName {
  EventKind kind;
  std::string_view name;
};

constexpr std::array kKindNames = {
    KindName{EventKind::kSetup, "setup"},        KindName{EventKind::kWake, "wake"},
    KindName{EventKind::kPowerCut, "power-cut"}, KindName{EventKind::kCameraExit, "camera-exit"},
    KindName{EventKind::kState, "state"},        KindName{EventKind::kLog, "log"},
    KindName{EventKind::kSerial, "serial"},      KindName{EventKind::kClock, "clock"},
    KindName{EventKind::kFault, "fault"},        KindName{EventKind::kPart, "part"},
};

}  // namespace

std::string_view event_kind_name(EventKind kind) {
  for (const KindName& entry : kKindNames) {
    if (entry.kind == kind) {
      return entry.name;
    }
  }
  return "unknown";
}

std::string BoardEvent::field(std::string_view name) const {
  for (const Field& entry : fields) {
    if (entry.name != name) {
      continue;
    }
    if (const auto* words = std::get_if<std::string>(&entry.value)) {
      return *words;
    }
    if (const auto* number = std::get_if<int64_t>(&entry.value)) {
      return std::to_string(*number);
    }
    return std::get<bool>(entry.value) ? "true" : "false";
  }
  return "";
}

std::string format_board_time(int64_t epochMs) {
  const time_t seconds =
      static_cast<time_t>(epochMs >= 0 ? epochMs / 1000 : (epochMs - 999) / 1000);
  const int millis = static_cast<int>(epochMs - static_cast<int64_t>(seconds) * 1000);
  tm parts{};
  gmtime_r(&seconds, &parts);
  char text[40];
  snprintf(text, sizeof text, "%04d-%02d-%02dT%02d:%02d:%02d.%03d", parts.tm_year + 1900,
           parts.tm_mon + 1, parts.tm_mday, parts.tm_hour, parts.tm_min, parts.tm_sec, millis);
  return text;
}

std::string to_json_line(const BoardEvent& event) {
  nlohmann::ordered_json line = {
      {"t_ms", event.elapsed.count()},
      {"board_time", format_board_time(event.boardEpochMs)},
      {"wake", event.wake},
      {"kind", event.kind == EventKind::kPart && !event.part.empty() ? std::string_view(event.part)
                                                                     : event_kind_name(event.kind)},
      {"text", event.text},
  };
  for (const Field& field : event.fields) {
    std::visit([&](const auto& value) { line[field.name] = value; }, field.value);
  }
  // What the camera printed may hold any bytes: they are replaced, never a reason to throw.
  return line.dump(-1, ' ', false, nlohmann::ordered_json::error_handler_t::replace);
}

BoardRecord::~BoardRecord() {
  if (file_ != nullptr) {
    fclose(file_);
  }
}

int BoardRecord::open_file(const std::string& path) {
  std::lock_guard lock(mutex_);
  FILE* file = fopen(path.c_str(), "ae");
  if (file == nullptr) {
    return -1;
  }
  if (file_ != nullptr) {
    fclose(file_);
  }
  file_ = file;
  return 0;
}

void BoardRecord::add_listener(Listener listener) {
  std::lock_guard lock(mutex_);
  listeners_.push_back(std::move(listener));
}

void BoardRecord::set_stamp(std::function<void(BoardEvent&)> stamp) {
  std::lock_guard order(addMutex_);
  stamp_ = std::move(stamp);
}

void BoardRecord::add(BoardEvent event) {
  std::lock_guard order(addMutex_);
  if (stamp_) {
    stamp_(event);
  }
  std::vector<Listener> listeners;
  {
    std::lock_guard lock(mutex_);
    if (file_ != nullptr) {
      const std::string line = to_json_line(event) + "\n";
      fwrite(line.data(), 1, line.size(), file_);
      fflush(file_);
    }
    events_.push_back(event);
    listeners = listeners_;
  }
  added_.notify_all();
  for (const Listener& listener : listeners) {
    listener(event);
  }
}

std::vector<BoardEvent> BoardRecord::events() const {
  std::lock_guard lock(mutex_);
  return events_;
}

std::vector<BoardEvent> BoardRecord::events(EventKind kind) const {
  std::lock_guard lock(mutex_);
  std::vector<BoardEvent> found;
  for (const BoardEvent& event : events_) {
    if (event.kind == kind) {
      found.push_back(event);
    }
  }
  return found;
}

std::vector<BoardEvent> BoardRecord::events(std::string_view part) const {
  std::lock_guard lock(mutex_);
  std::vector<BoardEvent> found;
  for (const BoardEvent& event : events_) {
    if (event.kind == EventKind::kPart && event.part == part) {
      found.push_back(event);
    }
  }
  return found;
}

bool BoardRecord::wait_for(const std::function<bool(const BoardEvent&)>& match,
                           std::chrono::milliseconds hostTimeout, BoardEvent* ret_event) const {
  std::unique_lock lock(mutex_);
  std::size_t checked = 0;
  const auto deadline = std::chrono::steady_clock::now() + hostTimeout;
  for (;;) {
    for (; checked < events_.size(); ++checked) {
      if (match(events_[checked])) {
        if (ret_event != nullptr) {
          *ret_event = events_[checked];
        }
        return true;
      }
    }
    if (added_.wait_until(lock, deadline) == std::cv_status::timeout && checked == events_.size()) {
      return false;
    }
  }
}

}  // namespace sim::board
