// The real camera_app on a fresh board in a temporary run folder, for scenario tests, with
// helpers that wait on the board's record and on the camera's console.
#pragma once

#include <chrono>
#include <memory>
#include <string>
#include <string_view>
#include <vector>

#include <gtest/gtest.h>

#include "sim/board/board.h"

#include "tests/support/eventually.h"
#include "tests/support/file_lines.h"

namespace scenario_test {

// Generous bound for anything that must happen; never used to measure speed.
inline constexpr std::chrono::seconds kPatience{120};

using test_support::read_file;
using test_support::TempDir;

// What a sanitizer build prints when it finds something; none may appear.
inline bool has_sanitizer_report(const std::string& errors) {
  for (const char* mark :
       {"AddressSanitizer", "ThreadSanitizer", "LeakSanitizer", "runtime error:"}) {
    if (errors.find(mark) != std::string::npos) {
      return true;
    }
  }
  return false;
}

// Counts the events of `kind` in the record, or of one part's lines of one kind ("what").
inline std::size_t count(sim::board::Board& board, sim::board::EventKind kind) {
  return board.record().events(kind).size();
}
inline std::size_t count(sim::board::Board& board, std::string_view part, std::string_view what) {
  std::size_t found = 0;
  for (const sim::board::BoardEvent& event : board.record().events(part)) {
    found += event.field("what") == what ? 1 : 0;
  }
  return found;
}

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

  // Waits until the record holds `count` lines of `part` of the kind `what` ("keepalive") from
  // the current wake-up.
  bool wait_part(std::string_view part, std::string_view what, std::size_t count) {
    const int wake = board_->wake_count();
    std::size_t seen = 0;
    return board_->record().wait_for(
        [&](const sim::board::BoardEvent& event) {
          return event.wake == wake && event.kind == sim::board::EventKind::kPart &&
                 event.part == part && event.field("what") == what && ++seen >= count;
        },
        kPatience);
  }

  // Cuts the power; every process of the wake-up is gone afterwards.
  void power_off() {
    board_->cut_power("test over");
    ASSERT_TRUE(board_->wait_power_off(kPatience));
    EXPECT_EQ(board_->processes_alive(), 0);
  }

  std::string wake_file(int wake, const char* name) const {
    return read_file(board_->wake_dir(wake) + "/" + name);
  }

  // The console of the wake-up so far.
  std::string console_now() const { return read_file(board_->wake_dir(1) + "/console.log"); }

  // Waits (host time, bounded) until the console holds `text` `count` times.
  bool wait_console(const std::string& text, int count = 1) const {
    return test_support::eventually([&] { return occurrences(console_now(), text) >= count; },
                                    kPatience);
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
