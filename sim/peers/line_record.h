// What went over a peer's serial line, message by message, and its recording as JSON lines
// (one object per message: board time, line, direction, member, detail, retry, sent).
#pragma once

#include <chrono>
#include <cstdio>
#include <functional>
#include <mutex>
#include <string>
#include <string_view>
#include <vector>

namespace sim {

enum class PeerDirection : int { kCameraToPeer, kPeerToCamera };

struct LineMessage {
  std::chrono::milliseconds boardTime{0};
  PeerDirection direction = PeerDirection::kCameraToPeer;
  // Member name as in the schema, e.g. "get_camera_state_request"; empty for bytes that did not
  // make a message (garbage, a rejected frame).
  std::string member;
  // Field values, or what went wrong / which fault acted.
  std::string detail;
  // A request the camera sent again because its previous copy got no usable answer.
  bool retry = false;
  // False for a message the peer meant to send but did not put on the line (a fault withheld
  // it, or the camera was not listening).
  bool sent = true;
};
using LineMessageCallback = std::function<void(const LineMessage&)>;

// One JSON object on one line (no line end). `line` is "ttyS1", `peer` "mcu" or "modem".
std::string line_message_json(std::string_view line, std::string_view peer,
                              const LineMessage& message);
// Reads one line written by line_message_json; false when it is not one.
bool parse_line_message(std::string_view json, LineMessage* ret_message);

// A line's recording file, appended to from any thread.
class LineRecording {
 public:
  LineRecording() = default;
  ~LineRecording();
  LineRecording(const LineRecording&) = delete;
  LineRecording& operator=(const LineRecording&) = delete;

  // Starts (or moves) the recording to `path`. Returns 0 or -1.
  int open(const std::string& path, std::string line, std::string peer);
  void write(const LineMessage& message);

 private:
  std::mutex mutex_;
  FILE* file_ = nullptr;
  std::string line_;
  std::string peer_;
};

// Every message of a recording file, in order; lines that are not messages are skipped.
std::vector<LineMessage> read_line_recording(const std::string& path);

}  // namespace sim
