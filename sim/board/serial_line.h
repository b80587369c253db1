// The board's serial lines: pseudo-terminals whose slaves the camera opens as /dev/ttyS0 (the
// Modem) and /dev/ttyS1 (the MCU), and a listener for a line that has no peer on it yet, which
// records every message the camera sends there by its member name.
#pragma once

#include <atomic>
#include <functional>
#include <string>
#include <thread>

namespace sim::board {

struct PtyPair {
  int master = -1;
  std::string slavePath;  // /dev/pts/N
};

// Opens a pseudo-terminal pair in raw mode; the slave stays closed until the camera opens it.
// Returns 0 or -1.
int open_pty(PtyPair* ret_pair);

// Reads a line's master side and reports each frame the camera sent (member name of the
// wrapper `wrapperName`, as libprotobuf decodes it) and any bytes that made no frame.
class SilentLineListener {
 public:
  struct Heard {
    std::string member;  // "" for bytes that made no message
    std::string detail;
  };

  // `wrapper` selects the message set: "kvt.kvt_ISP2Modem" or "kvt.kvt_ISP2MCU".
  SilentLineListener(int masterFd, std::string wrapper, std::function<void(const Heard&)> heard);
  ~SilentLineListener();
  SilentLineListener(const SilentLineListener&) = delete;
  SilentLineListener& operator=(const SilentLineListener&) = delete;

 private:
  void run();

  int fd_;
  std::string wrapper_;
  std::function<void(const Heard&)> heard_;
  int stopRead_ = -1;
  int stopWrite_ = -1;
  std::thread worker_;
};

}  // namespace sim::board
