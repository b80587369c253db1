// The power-down state on a two-partition card: what it waits for, and that the logs are saved
// and the card unmounted (secondary first) before the MCU is told the processor may sleep.
#include <algorithm>
#include <filesystem>
#include <fstream>
#include <string_view>

#include "app/capture/capture_flags.h"
#include "app/capture/capture_orchestration.h"
#include "app/postprocess/media_names.h"
#include "app/system/state_handlers.h"

#include "tests/support/system_fixture.h"
#include "tests/unit/storage/card_fixture.h"

namespace storage_test {
namespace {

class PowerdownTest : public test_support::SystemTest {
 protected:
  void SetUp() override {
    SystemTest::SetUp();
    reset_card();
    insert_card(2, 2);
  }
  void TearDown() override {
    reset_storage_shell();
    SystemTest::TearDown();
  }
  static void enter_from(int32_t previous) {
    sysInfo->prevState = previous;
    sysInfo->state = STATE_POWERDOWN;
    EventMessage entry{};
    entry.kind = EVENT_STATE_ENTRY;
    handle_powerdown(entry);
  }
  static std::ptrdiff_t position(const std::string& command) {
    auto found = std::find(commands.begin(), commands.end(), command);
    return found == commands.end() ? -1 : found - commands.begin();
  }
};

TEST_F(PowerdownTest, CaptureRunWaitsForMonitorAndCaptureThenUnmountsBeforeReadyToSleep) {
  sysInfo->captureOngoing = 1;
  int polls = 0;
  bool queue_empty_at_pause = false;
  on_sleep = [&] {
    if (sleeps.back() == 1) {
      // The capture ends after 3 polls; only then is the monitor asked for its pass (a PIR
      // capture mounts the card), which it serves 2 polls later.
      ++polls;
      EXPECT_EQ(sysInfo->sdCheckRequest, polls > 3 ? 1 : 0) << polls;
      if (polls == 3) {
        sysInfo->captureOngoing = 0;
      } else if (polls == 5) {
        sysInfo->sdCheckRequest = 0;
      }
    } else if (sleeps.back() == 1000) {
      mq_attr attributes{};
      mq_getattr(mcuQueue, &attributes);
      queue_empty_at_pause = attributes.mq_curmsgs == 0;
    }
  };
  enter_from(STATE_CAPTUREDETECTION);
  EXPECT_EQ(sleeps, (std::vector<unsigned>{1, 1, 1, 1, 1, 1000}));
  EXPECT_TRUE(queue_empty_at_pause);
  EXPECT_EQ(mcu_requests_sent(), std::vector<int32_t>{MCU_REQ_SET_ISP_READY_TO_SLEEP});
  const auto logs = position("cp /tmp/app.log /sdcard/primary/logs/app_0001.log");
  const auto secondary = position("umount  /sdcard/secondary");
  const auto primary = position("umount  /sdcard/primary");
  EXPECT_GE(logs, 0);
  EXPECT_LT(logs, secondary);
  EXPECT_LT(secondary, primary);
}

TEST_F(PowerdownTest, PoweredModemIsSwitchedOffFirstAndTheCardUnmountedByForce) {
  sysInfo->modemPowered = 1;
  on_sleep = [] { EXPECT_EQ(sysInfo->sdCheckRequest, 0); };  // a sync has just tidied the card
  enter_from(STATE_SYNC);
  EXPECT_EQ(sleeps, (std::vector<unsigned>{5000, 10000}));
  EXPECT_EQ(mcu_requests_sent(), std::vector<int32_t>{MCU_REQ_SET_MODEM_POWER_STATE_OFF});
  EXPECT_EQ(position("umount -f /sdcard/secondary"), -1);

  EventMessage answer{};
  answer.kind = MSG_MCU_RESP;
  answer.response = MCU_RESP_SET_MODEM_POWER_STATE;
  handle_powerdown(answer);
  EXPECT_EQ(mcu_requests_sent(), std::vector<int32_t>{MCU_REQ_SET_ISP_READY_TO_SLEEP});
  EXPECT_LT(position("umount -f /sdcard/secondary"), position("umount -f /sdcard/primary"));
  EXPECT_EQ(sleeps.size(), 2u);  // no pause on the forced path
}

// The pictures taken on the secondary during a sync end up on the primary at power-down; none
// of the owner's is replaced, and none is removed before its copy is whole.
TEST_F(PowerdownTest, MoveFromTheSecondaryKeepsEveryPicture) {
  namespace fs = std::filesystem;
  using test_support::read_file;
  // The card stays mounted between the three power-downs (unmounting a tmpfs empties it).
  set_storage_shell({[](const char* command) {
                       return std::string_view(command).starts_with("umount")
                                  ? 0
                                  : record_and_run(command);
                     },
                     record_sleep});
  auto put = [](const std::string& path, const std::string& text) {
    fs::create_directories(fs::path(path).parent_path());
    std::ofstream(path) << text;
  };
  auto move_at_power_down = [] {
    sysInfo->moveFilesPending = 1;
    enter_from(STATE_SYNC);
    EXPECT_EQ(sysInfo->moveFilesPending, 0);
  };
  const std::string primary = "/sdcard/primary/";
  const std::string secondary = "/sdcard/secondary/";
  put(primary + "DCIM/100DSCIM/PICT0001.JPG", "owner's photo");
  put(primary + "TRANSMIT/PICT0001.JPG", "owner's copy");
  put(secondary + "DCIM/100DSCIM/PICT0002.JPG", "lending photo");
  put(secondary + "TRANSMIT/PICT0002.JPG", "lending copy");
  move_at_power_down();
  EXPECT_EQ(read_file(primary + "DCIM/100DSCIM/PICT0002.JPG"), "lending photo");
  EXPECT_EQ(read_file(primary + "TRANSMIT/PICT0002.JPG"), "lending copy");
  EXPECT_TRUE(fs::is_empty(secondary + "DCIM/100DSCIM"));
  EXPECT_TRUE(fs::is_empty(secondary + "TRANSMIT"));
  EXPECT_EQ(count_of("rm -r /sdcard/secondary/DCIM/*DSCIM/*"), 1);

  // Names the primary holds already: both kept, and the rest still moves.
  put(secondary + "DCIM/100DSCIM/PICT0001.JPG", "another photo 1");
  put(secondary + "TRANSMIT/PICT0001.JPG", "another copy 1");
  put(secondary + "DCIM/100DSCIM/PICT0003.JPG", "lending photo 3");
  put(secondary + "DCIM/100DSCIM/PICT0005.JPG", "lending photo 5");
  put(primary + "DCIM/100DSCIM/PICT0005.JPG", "lending ph");  // a move the power cut short
  move_at_power_down();
  EXPECT_EQ(read_file(primary + "DCIM/100DSCIM/PICT0005.JPG"), "lending photo 5");
  EXPECT_EQ(read_file(primary + "DCIM/100DSCIM/PICT0001.JPG"), "owner's photo");
  EXPECT_EQ(read_file(primary + "TRANSMIT/PICT0001.JPG"), "owner's copy");
  EXPECT_EQ(read_file(secondary + "DCIM/100DSCIM/PICT0001.JPG"), "another photo 1");
  EXPECT_EQ(read_file(secondary + "TRANSMIT/PICT0001.JPG"), "another copy 1");
  EXPECT_EQ(read_file(primary + "DCIM/100DSCIM/PICT0003.JPG"), "lending photo 3");
  EXPECT_FALSE(fs::exists(secondary + "DCIM/100DSCIM/PICT0003.JPG"));
  EXPECT_EQ(count_of("rm -r /sdcard/secondary/DCIM/*DSCIM/*"), 1);

  // A primary without room: the video that does not fit stays whole where it is, and no piece
  // of it is left on the primary.
  fs::remove(secondary + "DCIM/100DSCIM/PICT0001.JPG");
  fs::remove(secondary + "TRANSMIT/PICT0001.JPG");
  ASSERT_FALSE(fs::exists(secondary + "DCIM/100DSCIM/PICT0005.JPG"));
  sh("dd if=/dev/zero of=/sdcard/primary/filler bs=1M count=7 2>/dev/null");
  write_file(secondary + "DCIM/100DSCIM/VID0004.MP4", 2 << 20);
  move_at_power_down();
  EXPECT_EQ(fs::file_size(secondary + "DCIM/100DSCIM/VID0004.MP4"), 2u << 20);
  EXPECT_FALSE(fs::exists(primary + "DCIM/100DSCIM/VID0004.MP4"));
}

// Card commands run after the capture said it was over, when power-down may unmount the card.
std::vector<std::string> after_capture_end;
int primary_checks = 0;

// Records like the fixture; the card's primary goes away after the capture's second check.
int run_and_unmount_midway(const char* command) {
  if (sysInfo->captureOngoing != 1) {
    after_capture_end.emplace_back(command);
  }
  const int result = record_and_run(command);
  if (std::string_view(command) == "mount | grep -nri mmcblk0p1 > /dev/null" &&
      ++primary_checks == 2) {
    run_shell("umount /sdcard/primary");
  }
  return result;
}

TEST_F(PowerdownTest, CaptureThatLostTheCardLeavesItAloneOnceItReportedTheError) {
  set_storage_shell({run_and_unmount_midway, record_sleep});
  counterRestored = true;
  captureFlags.yuvReady = 1;
  sysInfo->captureType = 2;  // time-lapse
  captureFlags.captureStart = 1;
  sysInfo->captureOngoing = 1;
  normal_capture_once();
  ASSERT_EQ(log_lines_with("Normal capture TIMELAPSE: SDCARD not mounted"), 1);
  EXPECT_EQ(log_lines_with("Normal capture video: After post-process SDCARD not mounted"), 1);
  EXPECT_EQ(sysInfo->captureOngoing, 0);
  EXPECT_EQ(after_capture_end, std::vector<std::string>{});
}

}  // namespace
}  // namespace storage_test
