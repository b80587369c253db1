// What the link tests share: a configured pseudo-terminal pair standing in for a serial port,
// and the lines the application log wrote (each test runs in its own sandbox, where
// /tmp/app.log is the test's own).
#pragma once

#include <poll.h>
#include <pty.h>
#include <unistd.h>

#include <chrono>
#include <cstdint>
#include <string>
#include <string_view>
#include <thread>
#include <vector>

#include <gtest/gtest.h>

#include "app/links/serial_port.h"
#include "app/records/log/app_log.h"
#include "sim/peers/peer_framer.h"

#include "tests/support/file_lines.h"

namespace links_test {

// Generous bound for anything the tests wait on; never reached when the code works.
inline constexpr auto kPatience = std::chrono::seconds(20);

// The camera's end (`port`, configured like a serial port) and the peer's end (`peer`).
class PtyPair {
 public:
  PtyPair() {
    if (openpty(&peer, &port, name_, nullptr, nullptr) != 0) {
      ADD_FAILURE() << "openpty failed";
      return;
    }
    EXPECT_EQ(configure_port(port, B115200), 0);
  }
  ~PtyPair() {
    if (writer_.joinable()) {
      writer_.join();
    }
    close(port);
    close(peer);
  }
  PtyPair(const PtyPair&) = delete;
  PtyPair& operator=(const PtyPair&) = delete;

  // The path of the camera's end, for code that opens the port by name.
  const char* port_path() const { return name_; }

  // The peer writes `bytes` at once.
  void peer_writes(const std::vector<uint8_t>& bytes) const {
    std::size_t done = 0;
    while (done < bytes.size()) {
      ssize_t written = write(peer, bytes.data() + done, bytes.size() - done);
      ASSERT_GT(written, 0);
      done += static_cast<std::size_t>(written);
    }
  }

  // The peer writes `bytes` one at a time with `pause` between them, on a thread of its own.
  void peer_trickles(std::vector<uint8_t> bytes, std::chrono::milliseconds pause) {
    writer_ = std::thread([this, bytes = std::move(bytes), pause] {
      for (uint8_t byte : bytes) {
        std::this_thread::sleep_for(pause);
        if (write(peer, &byte, 1) != 1) {
          return;
        }
      }
    });
  }

  // Reads what the camera wrote until `deframer` holds a complete frame or nothing more comes.
  bool peer_reads_frame(sim::Deframer& deframer, std::string* ret_payload) const {
    const auto deadline = std::chrono::steady_clock::now() + kPatience;
    while (!deframer.pop(ret_payload)) {
      if (std::chrono::steady_clock::now() > deadline || !wait_readable(peer)) {
        return false;
      }
      uint8_t buffer[512];
      ssize_t count = read(peer, buffer, sizeof buffer);
      if (count <= 0) {
        return false;
      }
      deframer.feed(std::span<const uint8_t>(buffer, static_cast<std::size_t>(count)));
    }
    return true;
  }

  // True when `fd` has something to read within `limit`.
  static bool wait_readable(int fd, std::chrono::milliseconds limit = kPatience) {
    pollfd entry{fd, POLLIN, 0};
    return poll(&entry, 1, static_cast<int>(limit.count())) == 1;
  }

  int port = -1;
  int peer = -1;

 private:
  char name_[128] = {};
  std::thread writer_;
};

// The camera's end reads the start byte, as the link loop does before calling read_frame.
inline void consume_start_byte(int port) {
  uint8_t byte = 0;
  ASSERT_EQ(read(port, &byte, 1), 1);
  ASSERT_EQ(byte, 0xDE);
}

// Starts each test with an empty application log.
inline void clear_app_log() {
  app_log_close();
  unlink(kAppLogPath);
}

// The messages of the log lines of `module` at `level` ("<time> : MODULE : LEVEL : message").
inline std::vector<std::string> log_messages(std::string_view module, std::string_view level) {
  app_log_close();
  const std::string marker = " : " + std::string(module) + " : " + std::string(level) + " : ";
  std::vector<std::string> messages;
  for (const std::string& line : test_support::read_lines(kAppLogPath)) {
    const auto at = line.find(marker);
    if (at != std::string::npos) {
      messages.push_back(line.substr(at + marker.size()));
    }
  }
  return messages;
}

}  // namespace links_test
