// A fixture for scenarios of one wake-up: the real camera_app on a fresh board, with helpers
// that wait on the board's record and on the camera's console.
#pragma once

#include <chrono>
#include <memory>
#include <string>
#include <thread>
#include <vector>

#include <gtest/gtest.h>

#include "sim/board/board.h"

#include "scenario_board.h"

namespace scenario_test {

class CameraOnTheBoard : public ::testing::Test {
 protected:
  void make(sim::board::BoardSetup setup = {}, uint32_t speed = 5) {
    setup.runDir = dir_.path() + "/run";
    setup.speed = speed;
    std::string error;
    board_ = sim::board::Board::create(setup, &error);
    ASSERT_NE(board_, nullptr) << error;
  }

  void wake(sim::WakeReason reason) {
    std::string error;
    ASSERT_EQ(board_->wake({reason}, &error), 0) << error;
  }

  bool wait_state(const std::string& state) {
    return board_->record().wait_for(
        [&](const sim::board::BoardEvent& event) {
          return event.kind == sim::board::EventKind::kState && event.field("to") == state;
        },
        kPatience);
  }

  // The console of the wake-up so far.
  std::string console_now() const { return read_file(board_->wake_dir(1) + "/console.log"); }

  // Waits (host time, bounded) until the console holds `text` `count` times.
  bool wait_console(const std::string& text, int count = 1) const {
    const auto deadline = std::chrono::steady_clock::now() + kPatience;
    while (std::chrono::steady_clock::now() < deadline) {
      if (occurrences(console_now(), text) >= count) {
        return true;
      }
      std::this_thread::sleep_for(std::chrono::milliseconds(20));
    }
    return false;
  }

  // Cuts the power and returns the whole console of the wake-up.
  std::string console() {
    board_->cut_power("test over");
    EXPECT_TRUE(board_->wait_power_off(kPatience));
    return console_now();
  }

  // Board times at which the MCU received `member`.
  std::vector<std::chrono::milliseconds> received_at(const std::string& member) const {
    std::vector<std::chrono::milliseconds> times;
    for (const sim::McuRecord& record : board_->mcu().history()) {
      if (record.direction == sim::PeerDirection::kCameraToPeer && record.member == member) {
        times.push_back(record.boardTime);
      }
    }
    return times;
  }

  static int occurrences(const std::string& text, const std::string& part) {
    int found = 0;
    for (std::size_t at = text.find(part); at != std::string::npos;
         at = text.find(part, at + part.size())) {
      ++found;
    }
    return found;
  }

  TempDir dir_;
  std::unique_ptr<sim::board::Board> board_;
};

}  // namespace scenario_test
