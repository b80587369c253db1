// The board's power: what a wake-up gives the processor (the kernel command line, the lines,
// the partitions that persist) and what a power cut takes away.
#include <unistd.h>

#include <chrono>
#include <string>
#include <vector>

#include <gtest/gtest.h>

#include "sim/board/board.h"

#include "tests/unit/sim/board/probe_board.h"

namespace {

using board_test::kPatience;
using board_test::ProbeBoard;
using sim::board::EventKind;
using sim::board::WakeUpRequest;

struct CmdlineCase {
  const char* what;
  sim::WakeReason reason;
  int bootReason;
  int expReuse;
  int adc;
  bool damaged;
  const char* brackets;  // the last word of /proc/cmdline
};

class BootCommandLine : public ::testing::TestWithParam<CmdlineCase> {};

TEST_P(BootCommandLine, ComesFromTheTagStoreAndTheWakeUp) {
  const CmdlineCase& c = GetParam();
  sim::board::BoardSetup setup;
  setup.tags = {
      {"dovu", "cap_mode", 1}, {"dovu", "prev_ir_mode", 1}, {"dovu", "last_ev_value", 12}};
  setup.tagStoreDamaged = c.damaged;
  setup.markers.riscv_fw = 1;
  ProbeBoard probe(setup);
  ASSERT_TRUE(probe.ok());
  probe.script({"sh cat /proc/cmdline > /config/out/cmdline", "done"});
  WakeUpRequest request;
  request.reason = c.reason;
  request.bootReason = c.bootReason;
  request.expReuse = c.expReuse;
  request.adc = c.adc;
  ASSERT_EQ(probe.wake(request), 0);
  ASSERT_TRUE(probe.wait_done());

  const std::string cmdline = probe.out("cmdline");
  ASSERT_FALSE(cmdline.empty());
  EXPECT_EQ(cmdline.back(), '\n') << "the line end of /proc/cmdline ends the bracket list";
  const std::string last = cmdline.substr(cmdline.find_last_of(' ') + 1);
  EXPECT_EQ(last, std::string(c.brackets) + "\n") << cmdline;
  EXPECT_EQ(cmdline.rfind("console=ttyS1", 0), 0u) << cmdline;
  if (c.damaged) {
    EXPECT_EQ(cmdline.find("dovu="), std::string::npos) << "a damaged store has no tags";
  } else {
    EXPECT_NE(cmdline.find("cap_mode=1;"), std::string::npos) << cmdline;
    EXPECT_NE(cmdline.find(" tagbk=0 riscv_fw=1 sensor_setting_fw=0 "), std::string::npos)
        << "the boot loader's verdicts: " << cmdline;
  }
  EXPECT_EQ(probe.board().last_cmdline() + "\n", cmdline) << "the record's copy is what ran";
}

INSTANTIATE_TEST_SUITE_P(
    Board, BootCommandLine,
    ::testing::Values(CmdlineCase{"pir", sim::WakeReason::kPir, -1, 0, 0, false,
                                  "[1],[1],[0],[0],[1],[12],[0]"},
                      CmdlineCase{"timelapse", sim::WakeReason::kTimelapse, 7, 1, 230, false,
                                  "[7],[1],[0],[1],[1],[12],[230]"},
                      CmdlineCase{"damaged_store", sim::WakeReason::kPir, -1, 0, 300, true,
                                  "[1],[0],[1],[0],[0],[0],[300]"}),
    [](const ::testing::TestParamInfo<CmdlineCase>& param) { return param.param.what; });

TEST(BoardPower, CutLeavesNoProcessOfTheApplicationAliveAndOnlyThenCanItWake) {
  ProbeBoard probe;
  ASSERT_TRUE(probe.ok());
  probe.script({"children 3", "sh sleep 1000 & sleep 1000 & echo started", "done"});
  ASSERT_EQ(probe.wake(), 0);
  ASSERT_TRUE(probe.wait_done());
  // The probe, its three children, two shell sleeps, the watchdog daemon and the sandbox's
  // process 1.
  EXPECT_GE(probe.board().processes_alive(), 7);
  // A wake-up while powered is refused.
  std::string error;
  EXPECT_EQ(probe.board().wake({}, &error), -1);
  EXPECT_NE(error.find("already powered"), std::string::npos);
  EXPECT_EQ(probe.board().wake_count(), 1);

  probe.board().cut_power("test");
  ASSERT_TRUE(probe.board().wait_power_off(board_test::kPatience));
  EXPECT_EQ(probe.board().processes_alive(), 0);
  EXPECT_FALSE(probe.board().powered());
  const auto cuts = probe.board().record().events(EventKind::kPowerCut);
  ASSERT_EQ(cuts.size(), 1u);
  EXPECT_EQ(cuts[0].field("why"), "test");
  EXPECT_TRUE(probe.board().record().events(EventKind::kCameraExit).empty());
}

// A camera still up when its time runs out leaves what each of its threads was doing: the
// kernel's view of every task and gdb's stacks.
TEST(BoardPower, ACameraStillUpWhenItsTimeRunsOutLeavesTheStacksOfItsThreads) {
  ProbeBoard probe;
  ASSERT_TRUE(probe.ok());
  probe.script({"sh sleep 1000 & echo started", "done"});
  ASSERT_EQ(probe.wake(), 0);
  ASSERT_TRUE(probe.wait_done());
  EXPECT_FALSE(probe.board().run_until_power_off(std::chrono::seconds(2)));

  std::string path;
  for (const auto& event : probe.board().record().events(EventKind::kPowerCut)) {
    if (!event.field("stacks").empty()) {
      path = event.field("stacks");
    }
  }
  ASSERT_EQ(path, probe.board().run_dir() + "/wake-01/stacks.txt");
  const std::string stacks = board_test::read_file(path);
  EXPECT_NE(stacks.find(": sleep 1000"), std::string::npos) << stacks;
  EXPECT_NE(stacks.find("wdm_daemon"), std::string::npos) << "the watchdog daemon beside it";
  EXPECT_NE(stacks.find(", state S, waiting in "), std::string::npos) << stacks;
  // The probe's own thread, in user space: paused in its main function.
  EXPECT_NE(stacks.find("pause ()"), std::string::npos) << stacks;
  EXPECT_NE(stacks.find("board_probe_main.cc"), std::string::npos) << stacks;
}

// The MCU cuts the power from its own thread, which takes the board's parts down while the
// camera's processes are already gone: the next wake-up waits for it. Powering the parts up
// meanwhile raced with it (two threads joining the USB gadget's watcher hung the board).
TEST(BoardPower, AWakeUpRightAfterTheMcusCutFindsThePartsDown) {
  ProbeBoard probe;
  ASSERT_TRUE(probe.ok());
  for (int wake = 1; wake <= 3; ++wake) {
    SCOPED_TRACE("wake-up " + std::to_string(wake));
    probe.script({"send-mcu isp_ready_to_sleep_request"});
    ASSERT_EQ(probe.wake(), 0);
    ASSERT_TRUE(probe.board().wait_power_off(board_test::kPatience));
    const auto cuts = probe.board().record().events(EventKind::kPowerCut);
    ASSERT_EQ(cuts.size(), static_cast<std::size_t>(wake));
    EXPECT_NE(cuts.back().field("why").find("ready-to-sleep"), std::string::npos);
  }
}

TEST(BoardPower, TheMcuAnswerToReadyToSleepCutsThePower) {
  ProbeBoard probe;
  ASSERT_TRUE(probe.ok());
  probe.script({"children 2", "send-mcu isp_ready_to_sleep_request"});
  ASSERT_EQ(probe.wake(), 0);
  ASSERT_TRUE(probe.board().wait_power_off(board_test::kPatience));
  EXPECT_EQ(probe.board().processes_alive(), 0);

  const auto cuts = probe.board().record().events(EventKind::kPowerCut);
  ASSERT_EQ(cuts.size(), 1u);
  EXPECT_NE(cuts[0].field("why").find("ready-to-sleep"), std::string::npos);
  // The answer went out before the power went.
  EXPECT_EQ(probe.board().mcu().sent("isp_ready_to_sleep_response"), 1);
}

TEST(BoardPower, PartitionsPersistAndTheProcessorsRamDoesNot) {
  ProbeBoard probe;
  ASSERT_TRUE(probe.ok());
  probe.script({"sh echo kept > /config/kept && echo card > /sdcard/primary/card.txt",
                "sh echo 'a log line' > /tmp/app.log && echo scratch > /tmp/scratch", "done"});
  ASSERT_EQ(probe.wake(), 0);
  ASSERT_TRUE(probe.wait_done());
  probe.board().cut_power("first");
  ASSERT_TRUE(probe.board().wait_power_off(board_test::kPatience));

  const std::string wake1 = probe.board().wake_dir(1);
  EXPECT_EQ(board_test::read_file(wake1 + "/app.log"), "a log line\n");
  EXPECT_FALSE(std::filesystem::exists(wake1 + "/tmp")) << "the RAM is gone with the power";

  probe.script({"sh cat /config/kept /sdcard/primary/card.txt > /config/seen",
                "sh test ! -e /tmp/scratch", "done"});
  ASSERT_EQ(probe.wake({sim::WakeReason::kPir}), 0);
  ASSERT_TRUE(probe.wait_done());
  EXPECT_EQ(board_test::read_file(probe.config_path("seen")), "kept\ncard\n");
  for (const std::string& line : probe.out_lines("sh")) {
    EXPECT_EQ(line.rfind("0 ", 0), 0u) << line;
  }
  EXPECT_EQ(probe.board().wake_count(), 2);
}

TEST(BoardClock, TheMcuClockStartsAtTheBoardsDateUnlessGivenItsOwn) {
  sim::board::BoardSetup setup;
  setup.startEpochMs = int64_t{1740816000} * 1000;  // 2025-03-01
  ProbeBoard following(setup);
  ASSERT_TRUE(following.ok());
  EXPECT_GE(following.board().mcu().rtc_epoch(), 1740816000);
  EXPECT_LT(following.board().mcu().rtc_epoch(), 1740816000 + 600);

  setup.mcuRtcFromDate = false;
  setup.mcu.rtcEpoch = 1577836800;  // 2020-01-01: an RTC that is off
  ProbeBoard own(setup);
  ASSERT_TRUE(own.ok());
  EXPECT_GE(own.board().mcu().rtc_epoch(), 1577836800);
  EXPECT_LT(own.board().mcu().rtc_epoch(), 1577836800 + 600);

  // Time asleep moves both the date and the MCU's clock.
  own.board().pass_time_asleep(std::chrono::hours(1));
  EXPECT_GE(own.board().mcu().rtc_epoch(), 1577836800 + 3600);
  EXPECT_GE(own.board().time().epoch_ms(), (int64_t{1740816000} + 3600) * 1000);
}

TEST(BoardPower, ACameraThatEndsByItselfIsRecordedAsSuch) {
  sim::board::BoardSetup setup;
  setup.paths.cameraApp = "/bin/false";
  ProbeBoard probe(setup);
  ASSERT_TRUE(probe.ok());
  ASSERT_EQ(probe.wake(), 0);
  ASSERT_TRUE(probe.board().wait_power_off(board_test::kPatience));
  const auto exits = probe.board().record().events(EventKind::kCameraExit);
  ASSERT_EQ(exits.size(), 1u);
  EXPECT_EQ(exits[0].field("status"), "1");
  EXPECT_TRUE(probe.board().record().events(EventKind::kPowerCut).empty());
}

// The watchdog daemon counts silences from the camera's first keep-alive: a camera still
// starting has not stopped feeding it.
TEST(BoardWatchdog, ASilenceCountsOnlyOnceTheCameraFeedsIt) {
  sim::board::BoardSetup setup;
  setup.watchdogLimitMs = 1000;
  ProbeBoard probe(setup);
  ASSERT_TRUE(probe.ok());
  probe.script({"sleep-ms 3000", "keepalive", "sleep-ms 3000", "done"});
  ASSERT_EQ(probe.wake(), 0);
  ASSERT_TRUE(probe.wait_done());
  probe.board().cut_power("test over");
  ASSERT_TRUE(probe.board().wait_power_off(kPatience));
  std::vector<std::string> seen;
  for (const sim::board::BoardEvent& event : probe.board().record().events("watchdog")) {
    seen.push_back(event.field("what"));
  }
  EXPECT_EQ(seen, (std::vector<std::string>{"keepalive", "gap"}));
}

}  // namespace
