// The board clock: the page arithmetic, the board's side of it, and the shim that makes every
// process of the sandbox see it. Runs inside a test sandbox: the shim turns date -s into a
// board clock set, and a test that got that wrong must not reach the host's clock.
//
// The rules: a lone sleeper makes board time jump; computing holds it to the processor time
// used; sleepers wake in the order of their deadlines; a wait that is posted before its
// deadline returns then, without a jump to the deadline; the chip's hardware work costs no
// board time, and board time stands still while it works; setting the date leaves monotonic
// time alone.

#include <cstdint>
#include <map>
#include <sstream>
#include <string>

#include <gtest/gtest.h>

#include "sim/board/board_time.h"
#include "sim/clock/board_clock_page.h"

#include "tests/support/eventually.h"
#include "tests/support/file_lines.h"

namespace {

using std::chrono::milliseconds;

constexpr int64_t kSecond = board_clock::kNsPerSecond;
constexpr int64_t kMs = 1000000;
constexpr int64_t kJune2024Ms = 1717243200000;

TEST(BoardClockPage, DateAndTheCamerasMonotonicClockFollowBoardTime) {
  board_clock::Date date = {kJune2024Ms * kMs, 0, 0};
  EXPECT_EQ(board_clock::board_real(date, 30 * kSecond), kJune2024Ms * kMs + 30 * kSecond);
  // Setting the date at board time 40 s: from then on the date runs from the new value.
  date = board_clock::with_real(date, 40 * kSecond, 946684800 * kSecond);
  EXPECT_EQ(board_clock::board_real(date, 48 * kSecond), (946684800 + 8) * kSecond);
  EXPECT_EQ(board_clock::mono_of_real(date, 946684808 * kSecond), 48 * kSecond);
  // A power-up at board time 60 s: the camera's monotonic clock starts with the kernel's boot.
  date.bootMono = 60 * kSecond;
  EXPECT_EQ(board_clock::camera_mono(date, 60 * kSecond), board_clock::kKernelBootNs);
  EXPECT_EQ(board_clock::mono_of_camera(date, board_clock::kKernelBootNs + kSecond), 61 * kSecond);
}

TEST(BoardClockPage, TimespecsOfNegativeTimesAreNormal) {
  const timespec time = board_clock::to_timespec(-1);
  EXPECT_EQ(time.tv_sec, -1);
  EXPECT_EQ(time.tv_nsec, kSecond - 1);
  EXPECT_EQ(board_clock::to_ns(time), -1);
}

// The lines "<name> <number>" a program printed.
std::map<std::string, long long> numbers(const std::string& text) {
  std::map<std::string, long long> values;
  std::istringstream lines(text);
  for (std::string name; lines >> name;) {
    lines >> values[name];
  }
  return values;
}

class BoardClockShim : public ::testing::Test {
 protected:
  void SetUp() override {
    std::string error;
    ASSERT_EQ(clock_.create("/tmp/board-clock-test", 0, kJune2024Ms, &error), 0) << error;
  }

  // Runs `command` with the board clock shim; returns its standard output.
  std::string run(const std::string& command) {
    const std::string line = "env BOARD_CLOCK=" + clock_.path() +
                             " LD_PRELOAD=" SIM_CLOCK_SHIM_PATH
                             " ASAN_OPTIONS=verify_asan_link_order=0 sh -c '" +
                             command + "'";
    return test_support::command_output(line);
  }

  sim::board::BoardTime clock_;
};

TEST_F(BoardClockShim, ALoneSleeperMakesBoardTimeJump) {
  // A thousand board seconds: were board time host time, the test would time out.
  EXPECT_EQ(run("sleep 1000 && echo woke"), "woke\n");
  EXPECT_GE(clock_.elapsed(), milliseconds(1000 * 1000));
  EXPECT_GT(clock_.usage().jumps, 0);
}

TEST_F(BoardClockShim, SleepersWakeInTheOrderOfTheirDeadlines) {
  const milliseconds before = clock_.elapsed();
  const std::string order = run(
      "rm -f /tmp/board-clock-go; "
      "after() { while [ ! -e /tmp/board-clock-go ]; do sleep 0.01; done; sleep $1; echo $2; }; "
      "after 3 c & after 1 a & after 2 b & after 0.5 first & "
      "sleep 0.5; touch /tmp/board-clock-go; wait");
  EXPECT_EQ(order, "first\na\nb\nc\n");
  EXPECT_GE(clock_.elapsed() - before, milliseconds(3000)) << "three board seconds passed";
}

TEST_F(BoardClockShim, ComputingAdvancesBoardTimeByTheProcessorTimeUsedAndNeverJumps) {
  // One thread computes for 300 ms of processor time while another sleeps 100 board seconds:
  // while it computes, board time moves by about what it used, however busy the host is, and
  // the sleeper wakes only once it is done.
  const std::string report = run(CLOCK_WAITS_PATH " compute 300 100000");
  std::map<std::string, long long> at = numbers(report);
  ASSERT_EQ(at.size(), 3u) << report;
  const long long spun = at["spin_end"] - at["spin_start"];
  EXPECT_GE(spun, 290) << report;
  EXPECT_LT(spun, 5000) << "board time jumped while a thread computed:\n" << report;
  EXPECT_GE(at["sleeper_woke"] - at["spin_start"], 99000) << report;
  EXPECT_LT(report.find("spin_end"), report.find("sleeper_woke")) << report;
}

TEST_F(BoardClockShim, TheChipsHardwareWorkCostsNoBoardTime) {
  const sim::board::BoardTime::Usage before = clock_.usage();
  const std::string report = run(CLOCK_WAITS_PATH " hardware 400");
  std::map<std::string, long long> at = numbers(report);
  ASSERT_EQ(at.size(), 2u) << report;
  // Both threads' work is the hardware's: the camera's own processor time is nearly nothing.
  EXPECT_LT(at["end"] - at["start"], 100) << report;
  // The board counts a piece of hardware work when it has ended.
  EXPECT_TRUE(test_support::eventually(
      [&] { return clock_.usage().hardwareCpu - before.hardwareCpu >= milliseconds(380); }));
}

// While the hardware works, board time stands still: the camera's own thread that computes
// beside it for as long moves board time only by what it computes after the hardware's work
// ended.
TEST_F(BoardClockShim, BoardTimeStandsStillWhileTheHardwareWorks) {
  const std::string report = run(CLOCK_WAITS_PATH " beside 400");
  std::map<std::string, long long> at = numbers(report);
  ASSERT_EQ(at.size(), 3u) << report;
  EXPECT_LT(at["end"] - at["start"], 100) << "the camera's computation was charged:\n" << report;
  EXPECT_LT(at["camera_done"] - at["start"], 500) << report;
}

TEST_F(BoardClockShim, AWaitPostedBeforeItsDeadlineEndsThenWithoutAJump) {
  const std::string report = run(CLOCK_WAITS_PATH " posted 100000");
  std::map<std::string, long long> at = numbers(report);
  for (const char* way : {"sem", "mq"}) {
    const std::string name(way);
    ASSERT_EQ(at.count(name + "_waited"), 1u) << report;
    EXPECT_EQ(at[name + "_result"], 0) << way << " was not posted:\n" << report;
    EXPECT_GE(at[name + "_waited"], 900) << report;
    EXPECT_LT(at[name + "_waited"], 5000) << way << " waited for its deadline:\n" << report;
  }
}

TEST_F(BoardClockShim, EveryWayOfWaitingWaitsItsFullBoardTime) {
  // 200 board seconds each, 3 for the condition variables, whose waits only their host timer
  // ends (board time does not pass their deadline while they wait).
  const std::string report = run(CLOCK_WAITS_PATH " waits 200000 3000");
  std::map<std::string, long long> took = numbers(report);
  for (const char* way :
       {"sleep", "usleep", "nanosleep", "clock_nanosleep", "clock_nanosleep_abs", "sleep_for",
        "select", "pselect", "poll", "ppoll", "epoll_wait", "sem_timedwait", "mq_timedreceive"}) {
    ASSERT_EQ(took.count(way), 1u) << way << " missing from:\n" << report;
    EXPECT_GE(took[way], 200000) << way << " came back early (board milliseconds)";
  }
  for (const char* way : {"pthread_cond_timedwait", "condition_variable_wait_for"}) {
    ASSERT_EQ(took.count(way), 1u) << way << " missing from:\n" << report;
    EXPECT_GE(took[way], 3000) << way << " came back early (board milliseconds)";
  }
  // Ended by a byte after about half of its time, select leaves what it did not wait. The
  // writer's half starts a little before the select does, so the halves are not exact; what
  // was waited and what was left add up to the whole time-out, give or take the rounding of
  // the two clock reads around it.
  ASSERT_EQ(took.count("select_left"), 1u) << report;
  ASSERT_EQ(took.count("select_waited"), 1u) << report;
  EXPECT_GT(took["select_left"], 50000) << report;
  EXPECT_LT(took["select_waited"], 150000) << report;
  EXPECT_NEAR(took["select_left"] + took["select_waited"], 200000, 50) << report;
}

TEST_F(BoardClockShim, ProgramsSeeTheBoardsDateAndDateSetsItWithoutMovingMonotonicTime) {
  const long long seen = std::stoll(run("date +%s"));
  EXPECT_GE(seen, kJune2024Ms / 1000);
  EXPECT_LT(seen, kJune2024Ms / 1000 + 600);

  const long long monoBefore = numbers(run(CLOCK_WAITS_PATH " mono"))["mono"];
  EXPECT_EQ(run("date -s @1000000000 >/dev/null && echo set"), "set\n");
  const long long monoAfter = numbers(run(CLOCK_WAITS_PATH " mono"))["mono"];
  const long long after = std::stoll(run("date +%s"));
  EXPECT_GE(after, 1000000000);
  EXPECT_LT(after, 1000000000 + 600);
  EXPECT_GE(clock_.epoch_ms(), int64_t{1000000000} * 1000) << "the board sees the set too";
  EXPECT_LT(clock_.epoch_ms(), int64_t{1000000600} * 1000);
  EXPECT_GE(monoAfter, monoBefore);
  EXPECT_LT(monoAfter - monoBefore, 60000) << "setting the date moved monotonic time";

  // The board sets it from outside; the programs follow.
  clock_.set_epoch_ms(kJune2024Ms);
  EXPECT_GE(std::stoll(run("date +%s")), kJune2024Ms / 1000);
}

TEST_F(BoardClockShim, EachPowerUpStartsTheCamerasMonotonicClockNearZero) {
  run("sleep 500");
  clock_.power_up();
  const long long mono = numbers(run(CLOCK_WAITS_PATH " mono"))["mono"];
  EXPECT_GE(mono, board_clock::kKernelBootNs / kMs);
  EXPECT_LT(mono, board_clock::kKernelBootNs / kMs + 60000) << "it ran on from before";
}

}  // namespace
