// The board's record: everything that happened on the board during a scenario, in the order
// the board saw it, each with its board time. Written to the run folder as JSON lines and
// handed to listeners (camsim's live timeline) as it happens; tests read and wait on it.
#pragma once

#include <chrono>
#include <condition_variable>
#include <cstdint>
#include <cstdio>
#include <functional>
#include <mutex>
#include <string>
#include <string_view>
#include <variant>
#include <vector>

namespace sim::board {

// What kind of thing happened. The names are the "kind" values of the JSON lines.
enum class EventKind : int {
  kSetup,       // the board's set-up and notes of the scenario
  kWake,        // power on: the MCU woke the application processor
  kPowerCut,    // power off: the MCU (or the scenario) removed power
  kCameraExit,  // camera_app ended by itself while powered
  kState,       // the application's state change, from its console
  kLog,         // an application log line of level ERR or FATAL
  kSerial,      // a message on a serial line (any peer's, or a line without one)
  kClock,       // the board clock was set
  kFault,       // the scenario could not do one of its lines
  kPart,        // something one of the board's parts did; `part` names the part
};
std::string_view event_kind_name(EventKind kind);

using FieldValue = std::variant<std::string, int64_t, bool>;
struct Field {
  std::string name;
  FieldValue value;
};

struct BoardEvent {
  // Board time since the scenario started (runs with time compression, not with clock sets).
  std::chrono::milliseconds elapsed{0};
  // The camera's date and time then (milliseconds since 1970, UTC).
  int64_t boardEpochMs = 0;
  int wake = 0;  // the wake-up it belongs to (0 before the first)
  EventKind kind = EventKind::kSetup;
  std::string part;  // kPart: the part's name, which is also the event's kind in the JSON
  std::string text;  // one line for people
  std::vector<Field> fields;

  // The value of a field as text ("" when absent).
  std::string field(std::string_view name) const;
};

// "2024-06-01T12:00:05.120" (UTC).
std::string format_board_time(int64_t epochMs);
// One JSON object on one line, without the line end.
std::string to_json_line(const BoardEvent& event);

class BoardRecord {
 public:
  using Listener = std::function<void(const BoardEvent&)>;

  BoardRecord() = default;
  ~BoardRecord();
  BoardRecord(const BoardRecord&) = delete;
  BoardRecord& operator=(const BoardRecord&) = delete;

  // Appends every later event to `path` as a JSON line. Returns 0 or -1.
  int open_file(const std::string& path);
  // Listeners run on the thread that adds the event, one event at a time and in the record's
  // order; they may read the record but must not add to it.
  void add_listener(Listener listener);

  // Fills in the time (and whatever else) of each event as it is added, under the lock that
  // orders the record, so that the times of the record never run backwards.
  void set_stamp(std::function<void(BoardEvent&)> stamp);

  void add(BoardEvent event);

  std::vector<BoardEvent> events() const;
  std::vector<BoardEvent> events(EventKind kind) const;
  // The lines of one part ("gpio", "mcu", ...).
  std::vector<BoardEvent> events(std::string_view part) const;
  // Waits (host time, bounded) until an event satisfies `match`; it may have come before the
  // call. Returns it, or nothing on time-out.
  bool wait_for(const std::function<bool(const BoardEvent&)>& match,
                std::chrono::milliseconds hostTimeout, BoardEvent* ret_event = nullptr) const;

 private:
  // Held while an event is added and handed to the listeners, so they see the record's order.
  std::mutex addMutex_;
  mutable std::mutex mutex_;
  mutable std::condition_variable added_;
  std::vector<BoardEvent> events_;
  std::vector<Listener> listeners_;
  std::function<void(BoardEvent&)> stamp_;
  FILE* file_ = nullptr;
};

}  // namespace sim::board
