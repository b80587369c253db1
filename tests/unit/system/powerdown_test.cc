// The power-down state on a two-partition card: what it waits for, and that the logs are saved
// and the card unmounted (secondary first) before the MCU is told the processor may sleep; and
// captures that end in an error on such a card.
#include <unistd.h>

#include <algorithm>
#include <atomic>
#include <filesystem>
#include <fstream>
#include <string_view>
#include <thread>

#include "app/capture/capture_flags.h"
#include "app/capture/capture_orchestration.h"
#include "app/indicators/leds/led_state.h"
#include "app/links/modem/modem_sync_info.h"
#include "app/postprocess/naming/media_names.h"
#include "app/postprocess/photo_pipeline.h"
#include "app/postprocess/video_pipeline.h"
#include "app/records/reboot_log.h"
#include "app/system/states/state_handlers.h"
#include "platform/imp/host/imp_host.h"

#include "tests/support/card_fixture.h"
#include "tests/support/system_fixture.h"

namespace storage_test {
namespace {

std::atomic<bool> c_done{false};

class PowerdownTest : public test_support::SystemTest {
 protected:
  void SetUp() override {
    SystemTest::SetUp();
    reset_card();
    insert_card(2, 2);
  }
  void TearDown() override {
    os_restore();
    SystemTest::TearDown();
  }
  static void enter_from(int32_t previous) {
    sysInfo->prevState = previous;
    sysInfo->state = STATE_POWERDOWN;
    handle_powerdown(test_support::event_of_kind(EVENT_STATE_ENTRY));
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

  handle_powerdown(test_support::event_of_kind(MSG_MCU_RESP, MCU_RESP_SET_MODEM_POWER_STATE));
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
  watch_commands([](const char* command) {
    return std::string_view(command).starts_with("umount") ? 0 : record_and_run(command);
  });
  auto move_at_power_down = [] {
    sysInfo->moveFilesPending = 1;
    enter_from(STATE_SYNC);
    EXPECT_EQ(sysInfo->moveFilesPending, 0);
  };
  const std::string primary = "/sdcard/primary/";
  const std::string secondary = "/sdcard/secondary/";
  write_file(primary + "DCIM/100DSCIM/PICT0001.JPG", "owner's photo");
  write_file(primary + "TRANSMIT/PICT0001.JPG", "owner's copy");
  write_file(secondary + "DCIM/100DSCIM/PICT0002.JPG", "lending photo");
  write_file(secondary + "TRANSMIT/PICT0002.JPG", "lending copy");
  move_at_power_down();
  EXPECT_EQ(read_file(primary + "DCIM/100DSCIM/PICT0002.JPG"), "lending photo");
  EXPECT_EQ(read_file(primary + "TRANSMIT/PICT0002.JPG"), "lending copy");
  EXPECT_TRUE(fs::is_empty(secondary + "DCIM/100DSCIM"));
  EXPECT_TRUE(fs::is_empty(secondary + "TRANSMIT"));
  EXPECT_EQ(count_of("rm -r /sdcard/secondary/DCIM/*DSCIM/*"), 1);

  // Names the primary holds already: both kept, and the rest still moves.
  write_file(secondary + "DCIM/100DSCIM/PICT0001.JPG", "another photo 1");
  write_file(secondary + "TRANSMIT/PICT0001.JPG", "another copy 1");
  write_file(secondary + "DCIM/100DSCIM/PICT0003.JPG", "lending photo 3");
  write_file(secondary + "DCIM/100DSCIM/PICT0005.JPG", "lending photo 5");
  write_file(primary + "DCIM/100DSCIM/PICT0005.JPG", "lending ph");  // a move the power cut short
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

// A video whose multiplexing fails: the previews are still moved, then every file of its
// number is removed and the number is used again by the next video; the card's other
// pictures and the temporary files are as they should be.
TEST_F(PowerdownTest, AVideoWhoseMuxFailsLeavesNoFileOfItsNumber) {
  cameraConfig->cellular = 1;
  sh("mkdir -p /sdcard/primary/DCIM/100DSCIM /sdcard/primary/TRANSMIT");
  write_file("/sdcard/primary/DCIM/100DSCIM/PICT0004.JPG", 100);
  write_file("/sdcard/primary/TRANSMIT/PICT0004.JPG", 50);
  fileCounter.folderNumber = 100;
  fileCounter.fileNumber = 4;
  photoHandover.postProcessFailed = 0;
  for (int run = 0; run < 2; ++run) {
    write_file("/tmp/stream-0.h265", 64);  // not a stream ffmpeg can take
    write_file("/tmp/record_file.pcm", 64);
    write_file("/tmp/frame1.jpg", 10);
    write_file("/tmp/frame2.jpg", 10);
    ASSERT_EQ(video_post_process(), 0);
    EXPECT_EQ(photoHandover.postProcessFailed, 1);
    EXPECT_EQ(fileCounter.fileNumber, 5) << "the number is used again";
  }
  EXPECT_EQ(log_lines_with("FFMPEG Muxing failed"), 2);
  EXPECT_EQ(log_lines_with("Frame 1 : /sdcard/primary/TRANSMIT/VI0005_1.JPG"), 2);
  for (const char* gone :
       {"/sdcard/primary/DCIM/100DSCIM/VID0005.MP4", "/sdcard/primary/TRANSMIT/VI0005_1.JPG",
        "/sdcard/primary/TRANSMIT/VI0005_2.JPG", "/sdcard/primary/TRANSMIT/VI0005_3.JPG",
        "/tmp/stream-0.h265", "/tmp/record_file.pcm"}) {
    EXPECT_FALSE(std::filesystem::exists(gone)) << gone;
  }
  EXPECT_TRUE(std::filesystem::exists("/sdcard/primary/DCIM/100DSCIM/PICT0004.JPG"));
  EXPECT_TRUE(std::filesystem::exists("/sdcard/primary/TRANSMIT/PICT0004.JPG"));
}

// The first boot's farewell: an "Initial boot" entry in the reboot log unless the camera was
// restarted by the watchdog or a capture error, the test LED blinking ten times unless the
// watchdog's LED says otherwise, and the status LED red after a sync time-out. Seen at the
// pauses before the card is unmounted and before the LEDs go off.
TEST_F(PowerdownTest, FirstBootFarewell) {
  const struct {
    bool watchdog;  // restarted by the watchdog, whose LED the configuration shows
    bool timedOut;
    bool initialBoot, blinks, red;
  } cases[] = {
      {false, false, true, true, false},
      {true, false, false, false, false},
      {false, true, true, true, true},
  };
  for (const auto& c : cases) {
    SCOPED_TRACE(std::to_string(c.watchdog) + std::to_string(c.timedOut));
    SetUp();
    unlink(kRebootLogCardPath);
    sysInfo->wdmReboot = c.watchdog ? 1 : 0;
    cameraConfig->wdLEDStatus = 1;
    signalTimeout = c.timedOut ? 1 : 0;
    ledStates[LED_SD_RED].mode = LED_OFF;  // start-up switches every LED off
    std::string rebootLog;
    bool blinking = false;
    on_sleep = [&] {
      if (sleeps.back() == 5000) {
        rebootLog = test_support::read_file(kRebootLogCardPath);
      } else if (sleeps.back() == 1000) {
        blinking = ledStates[LED_STATUS].mode == LED_BLINK && ledStates[LED_STATUS].remaining == 10;
      }
    };
    enter_from(STATE_FIRSTBOOT);
    EXPECT_EQ(sleeps, (std::vector<unsigned>{5000, 1000}));
    EXPECT_EQ(rebootLog.find("Initial boot") != std::string::npos, c.initialBoot) << rebootLog;
    EXPECT_EQ(blinking, c.blinks);
    EXPECT_EQ(statusLedRed == STATUS_LED_ON, c.red);
  }
  signalTimeout = 0;
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
    system("umount /sdcard/primary");
  }
  return result;
}

TEST_F(PowerdownTest, CaptureThatLostTheCardLeavesItAloneOnceItReportedTheError) {
  watch_commands(run_and_unmount_midway);
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

// A capture on a good card that fails - a photo whose post-processing fails, a video whose
// recording does not start - ends with one EVENT_CAP_ERROR, after the line that says why, and
// no EVENT_CAP_DONE; nothing is left running.
TEST_F(PowerdownTest, AFailedCaptureEndsInOneCaptureErrorAndNoDone) {
  const struct {
    bool video;
    const char* why;
  } cases[] = {
      {false, "Normal capture TIMELAPSE: post-process failed"},
      {true, "Normal capture video: the recording did not start"},
  };
  test_support::TempDir sensor;
  // The video's bring-up fails at the sensor; the photo's snapshot is a file of noise that the
  // post-processing cannot take (the board image's tools are not here).
  std::ofstream(sensor.path() + "/faults") << "fail 1 IMP_ISP_EnableSensor always\n";
  imp_host::set_paths(sensor.path(), "/sys/class/gpio");
  for (const auto& c : cases) {
    SCOPED_TRACE(c.why);
    SetUp();
    counterRestored = true;
    captureFlags.yuvReady = c.video ? 0 : 1;  // the photo form is up for the photo
    captureFlags.captureIsVideo = c.video ? 1 : 0;
    sysInfo->captureType = 2;  // time-lapse
    captureFlags.captureStart = 1;
    sysInfo->captureOngoing = 1;
    std::thread photo([] {
      // The photo capture thread's part: one snapshot when asked.
      while (!c_done && captureFlags.photoDone != 0) {
        usleep(1000);
      }
      std::ofstream("/tmp/snap1.yuv") << std::string(4096, 'x');
      captureFlags.photoDone = 1;
    });
    normal_capture_once();
    c_done = true;
    captureFlags.photoDone = 0;
    photo.join();
    c_done = false;

    const std::string log = test_support::logged();
    const auto why = log.find(c.why);
    EXPECT_NE(why, std::string::npos);
    EXPECT_LT(why, log.find("Sending EVENT_CAP_ERROR"));
    std::vector<int32_t> kinds;
    for (const EventMessage& event : test_support::drain(sysQueue)) {
      kinds.push_back(event.kind);
    }
    EXPECT_EQ(kinds, std::vector<int32_t>{EVENT_CAP_ERROR});
    EXPECT_EQ(sysInfo->captureOngoing, 0);
    EXPECT_EQ(captureFlags.captureStart, 0);
  }
  imp_host::reset();
}

}  // namespace
}  // namespace storage_test
