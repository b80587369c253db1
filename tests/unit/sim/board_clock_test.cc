// The board clock: the page arithmetic, the board's side of it, and the shim that makes every
// process of the sandbox see it. Runs inside a test sandbox: the shim turns date -s into a
// board clock set, and a test that got that wrong must not reach the host's clock.
#include <stdio.h>

#include <cstdint>
#include <map>
#include <sstream>
#include <string>

#include <gtest/gtest.h>

#include "sim/board/board_time.h"
#include "sim/clock/board_clock_page.h"

namespace {

using board_clock::Snapshot;
using std::chrono::milliseconds;

constexpr int64_t kSecond = board_clock::kNsPerSecond;
constexpr int64_t kJune2024Ms = 1717243200000;

Snapshot snapshot(uint32_t speed) {
  Snapshot clock;
  clock.speed = speed;
  clock.hostOrigin = 1000 * kSecond;
  clock.monoAnchor = 1000 * kSecond;
  clock.realAnchor = kJune2024Ms * 1000000;
  return clock;
}

TEST(BoardClockPage, CompressionScalesBoardTimeAndItsInverseWaits) {
  const Snapshot clock = snapshot(10);
  const int64_t host = clock.hostOrigin + 3 * kSecond;
  EXPECT_EQ(board_clock::board_mono(clock, host), clock.hostOrigin + 30 * kSecond);
  EXPECT_EQ(board_clock::board_real(clock, host), clock.realAnchor + 30 * kSecond);
  EXPECT_EQ(board_clock::host_mono(clock, board_clock::board_mono(clock, host)), host);
  EXPECT_EQ(board_clock::host_duration(clock, 5 * kSecond), kSecond / 2);
  // A wait asked for is never rounded away: a polling loop still yields.
  EXPECT_EQ(board_clock::host_duration(snapshot(1000), 1), 1);
  EXPECT_EQ(board_clock::host_duration(clock, 0), 0);
}

TEST(BoardClockPage, SettingTheDateMovesRealTimeOnlyAndFromThatMomentOn) {
  const Snapshot clock = snapshot(4);
  const int64_t host = clock.hostOrigin + 10 * kSecond;
  const int64_t monoBefore = board_clock::board_mono(clock, host);
  const Snapshot set = board_clock::with_real(clock, host, 946684800 * kSecond);
  EXPECT_EQ(board_clock::board_real(set, host), 946684800 * kSecond);
  EXPECT_EQ(board_clock::board_mono(set, host), monoBefore);
  EXPECT_EQ(board_clock::board_real(set, host + kSecond), (946684800 + 4) * kSecond);
  // A deadline in board date and time is reached when board monotonic time gets there.
  EXPECT_EQ(board_clock::mono_of_real(set, 946684808 * kSecond), monoBefore + 8 * kSecond);
}

TEST(BoardClockPage, TimespecsOfNegativeTimesAreNormal) {
  const timespec time = board_clock::to_timespec(-1);
  EXPECT_EQ(time.tv_sec, -1);
  EXPECT_EQ(time.tv_nsec, kSecond - 1);
  EXPECT_EQ(board_clock::to_ns(time), -1);
}

// Runs `command` with the board clock shim on `page`; returns its standard output.
std::string run_on_board(const sim::board::BoardTime& clock, const std::string& command) {
  const std::string line = "env BOARD_CLOCK=" + clock.path() +
                           " LD_PRELOAD=" SIM_CLOCK_SHIM_PATH
                           " ASAN_OPTIONS=verify_asan_link_order=0 sh -c '" +
                           command + "'";
  FILE* pipe = popen(line.c_str(), "r");
  std::string output;
  char buffer[512];
  while (pipe != nullptr && fgets(buffer, sizeof buffer, pipe) != nullptr) {
    output += buffer;
  }
  if (pipe != nullptr) {
    pclose(pipe);
  }
  return output;
}

class BoardClockShim : public ::testing::Test {
 protected:
  void make(uint32_t speed) {
    std::string error;
    ASSERT_EQ(clock_.create("/tmp/board-clock-test", speed, kJune2024Ms, &error), 0) << error;
  }
  sim::board::BoardTime clock_;
};

TEST_F(BoardClockShim, ProgramsSeeTheBoardsDateAndDateSetsIt) {
  make(1);
  const long long seen = std::stoll(run_on_board(clock_, "date +%s"));
  EXPECT_GE(seen, kJune2024Ms / 1000);
  EXPECT_LT(seen, kJune2024Ms / 1000 + 600);

  EXPECT_EQ(run_on_board(clock_, "date -s @1000000000 >/dev/null && echo set"), "set\n");
  const long long after = std::stoll(run_on_board(clock_, "date +%s"));
  EXPECT_GE(after, 1000000000);
  EXPECT_LT(after, 1000000000 + 600);
  EXPECT_GE(clock_.epoch_ms(), int64_t{1000000000} * 1000) << "the board sees the set too";
  EXPECT_LT(clock_.epoch_ms(), int64_t{1000000600} * 1000);

  // The board sets it from outside; the programs follow.
  clock_.set_epoch_ms(kJune2024Ms);
  EXPECT_GE(std::stoll(run_on_board(clock_, "date +%s")), kJune2024Ms / 1000);
}

TEST_F(BoardClockShim, CompressionKeepsTheOrderOfEvents) {
  make(10);
  const milliseconds before = clock_.elapsed();
  // Four processes wait for one start signal, then sleep different board times; they finish
  // in the order of their sleeps (a tenth of a host second apart at this speed).
  const std::string order = run_on_board(
      clock_,
      "rm -f /tmp/board-clock-go; "
      "after() { while [ ! -e /tmp/board-clock-go ]; do sleep 0.01; done; sleep $1; echo $2; }; "
      "after 3 c & after 1 a & after 2 b & after 0.5 first & "
      "sleep 0.5; touch /tmp/board-clock-go; wait");
  EXPECT_EQ(order, "first\na\nb\nc\n");
  EXPECT_GE(clock_.elapsed() - before, milliseconds(3000)) << "three board seconds passed";
}

TEST_F(BoardClockShim, EveryWayOfWaitingIsCompressedAndWaitsItsFullBoardTime) {
  // 200 board seconds each: without compression the waits would outlast the test's time-out.
  make(1000);
  const std::string report = run_on_board(clock_, CLOCK_WAITS_PATH " 200000");
  std::map<std::string, long long> took;
  std::istringstream lines(report);
  for (std::string way; lines >> way;) {
    lines >> took[way];
  }
  for (const char* way :
       {"sleep", "usleep", "nanosleep", "clock_nanosleep", "clock_nanosleep_abs", "sleep_for",
        "select", "pselect", "poll", "ppoll", "epoll_wait", "sem_timedwait",
        "pthread_cond_timedwait", "condition_variable_wait_for", "mq_timedreceive"}) {
    ASSERT_EQ(took.count(way), 1u) << way << " missing from:\n" << report;
    EXPECT_GE(took[way], 200000) << way << " came back early (board milliseconds)";
  }
  // Ended by a byte after about half of its time, select leaves about the other half.
  ASSERT_EQ(took.count("select_left"), 1u) << report;
  EXPECT_GT(took["select_left"], 0) << report;
  EXPECT_LE(took["select_left"], 100000) << report;
}

}  // namespace
