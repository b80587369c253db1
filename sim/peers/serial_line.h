// A peer's serial line: a pseudo-terminal pair whose slave the camera opens as /dev/ttyS0 (the
// Modem) or /dev/ttyS1 (the MCU), and the peer's side of it, the master.
//
// The master is non-blocking: a peer never waits on a camera that stopped reading (it is off,
// or stuck), so stopping a peer always returns.
#pragma once

#include <sys/types.h>

#include <chrono>
#include <cstdint>
#include <functional>
#include <span>
#include <string>
#include <thread>

namespace sim {

struct PtyPair {
  int master = -1;
  std::string slavePath;  // /dev/pts/N
};

// Opens a pseudo-terminal pair in raw mode with a non-blocking master; the slave stays closed
// until the camera opens it. Returns 0 or -1.
int open_pty(PtyPair* ret_pair);
void close_pty(PtyPair* pair);

// True while nobody holds the slave of this master open (the camera is off).
bool line_hung_up(int masterFd);

// The board counts the bytes its peers move on each line, so that its clock knows when bytes
// are still on their way between the two ends: `wrote` and `read` count what goes through
// write_bounded() and line_taken() on `masterFd` from now on (nullptr: no longer).
void meter_line(int masterFd, int64_t* wrote, int64_t* read);
// read(2) on a line's master. The bytes stay on their way for the clock until the peer has
// dealt with them (answered, cut the power) and says so with line_taken(): board time must not
// jump past a camera's time-out while the peer is still working out its answer.
ssize_t read_line(int masterFd, void* buffer, std::size_t size);
void line_taken(int masterFd, ssize_t bytes);

// Writes every byte to the line, waiting for room at most `timeout` (host time) in all, and
// gives up at once when `stopFd` (if >= 0) turns readable. Nothing is written while the line is
// hung up: a powered-off camera hears nothing, and the bytes must not wait in the line for its
// next power-up. Returns 0, or -1 when not everything was written.
int write_bounded(int fd, std::span<const uint8_t> bytes, std::chrono::milliseconds timeout,
                  int stopFd = -1);

// Reads a line that has no peer on it and reports each frame the camera sent there (the member
// name of the wrapper message, decoded with libprotobuf) and bytes that made no frame.
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

}  // namespace sim
