#include "sim/peers/line_record.h"

#include <fstream>

#include <nlohmann/json.hpp>

namespace sim {

std::string line_message_json(std::string_view line, std::string_view peer,
                              const LineMessage& message) {
  const bool toPeer = message.direction == PeerDirection::kCameraToPeer;
  const nlohmann::json object = {
      {"t_ms", message.boardTime.count()},
      {"line", line},
      {"from", toPeer ? std::string_view("camera") : peer},
      {"to", toPeer ? peer : std::string_view("camera")},
      {"member", message.member},
      {"detail", message.detail},
      {"retry", message.retry},
      {"sent", message.sent},
  };
  // Bytes of a broken frame may be anything: they are replaced, never a reason to throw.
  return object.dump(-1, ' ', false, nlohmann::json::error_handler_t::replace);
}

bool parse_line_message(std::string_view json, LineMessage* ret_message) {
  const nlohmann::json object = nlohmann::json::parse(json, nullptr, false);
  if (!object.is_object() || !object.contains("t_ms") || !object["t_ms"].is_number_integer() ||
      !object.contains("from")) {
    return false;
  }
  LineMessage message;
  message.boardTime = std::chrono::milliseconds(object["t_ms"].get<int64_t>());
  message.direction = object.value("from", "") == "camera" ? PeerDirection::kCameraToPeer
                                                           : PeerDirection::kPeerToCamera;
  message.member = object.value("member", "");
  message.detail = object.value("detail", "");
  message.retry = object.value("retry", false);
  message.sent = object.value("sent", true);
  *ret_message = std::move(message);
  return true;
}

LineRecording::~LineRecording() {
  if (file_ != nullptr) {
    fclose(file_);
  }
}

int LineRecording::open(const std::string& path, std::string line, std::string peer) {
  FILE* file = fopen(path.c_str(), "ae");
  if (file == nullptr) {
    return -1;
  }
  std::lock_guard lock(mutex_);
  if (file_ != nullptr) {
    fclose(file_);
  }
  file_ = file;
  line_ = std::move(line);
  peer_ = std::move(peer);
  return 0;
}

void LineRecording::write(const LineMessage& message) {
  std::lock_guard lock(mutex_);
  if (file_ == nullptr) {
    return;
  }
  const std::string text = line_message_json(line_, peer_, message) + "\n";
  fwrite(text.data(), 1, text.size(), file_);
  fflush(file_);
}

std::vector<LineMessage> read_line_recording(const std::string& path) {
  std::vector<LineMessage> messages;
  std::ifstream file(path);
  for (std::string text; std::getline(file, text);) {
    LineMessage message;
    if (parse_line_message(text, &message)) {
      messages.push_back(std::move(message));
    }
  }
  return messages;
}

}  // namespace sim
