// Captures of the real camera_app on the board: a night PIR burst after a night time-lapse,
// and a media library fault during the bring-up of a PIR wake-up.
#include <algorithm>
#include <string>
#include <vector>

#include <gtest/gtest.h>

#include "camera_on_board.h"

namespace {

using sim::board::BoardEvent;
using sim::board::EventKind;

bool has_text(const BoardEvent& event, const std::string& part, const std::string& text) {
  return event.part == part && event.text.find(text) != std::string::npos;
}

bool gpio_change(const BoardEvent& event, int line) {
  return event.part == "gpio" && event.field("what") == "value" &&
         event.field("line") == std::to_string(line);
}

TEST(CaptureOnTheBoard, NightBurstKeepsTheFilterLightsTheLedsAndLeavesItsExposure) {
  scenario_test::TempDir dir;
  const auto events = scenario_test::run_story(R"(title night burst
date 2024-06-01 23:30:00
scene night
mcu night
card formatted 8G
tag dovu multishot 3
config multishot 3
wake timelapse for 40s
asleep 10m
wake pir for 40s
asleep 10m
wake pir exp-reuse 1 for 40s
)",
                                               dir.path() + "/run")
                          .events;

  // The filter coil is pulsed once, on the time-lapse wake-up, for at least 100 ms of board
  // time; never on a capture boot.
  std::vector<const BoardEvent*> coil;
  for (const BoardEvent& event : events) {
    if (gpio_change(event, 38)) {
      coil.push_back(&event);
    }
  }
  ASSERT_EQ(coil.size(), 2u);
  EXPECT_EQ(coil[0]->wake, 1);
  EXPECT_EQ(coil[0]->field("to"), "1");
  EXPECT_EQ(coil[1]->field("to"), "0");
  EXPECT_GE(coil[1]->elapsed - coil[0]->elapsed, std::chrono::milliseconds(100));

  // Wake-up 2, a PIR boot: snap3, then snap2 about 240 ms of board time later, then snap1 a
  // second after that (the files are seen when closed), each taken with the LEDs on, which go
  // off after the last.
  std::vector<const BoardEvent*> shots;
  std::string led = "0";
  std::string led_after_last;
  for (const BoardEvent& event : events) {
    // The boot firmware may light them just before the wake-up: follow the line throughout.
    if (gpio_change(event, 49)) {
      led = event.field("to");
      led_after_last = shots.size() == 3 ? led : led_after_last;
    }
    if (event.wake == 2 && has_text(event, "sensor", ".yuv written")) {
      EXPECT_EQ(led, "1") << event.text;
      shots.push_back(&event);
    }
  }
  ASSERT_EQ(shots.size(), 3u);
  for (int i = 0; i < 3; ++i) {
    EXPECT_NE(shots[i]->text.find("snap" + std::to_string(3 - i) + ".yuv"), std::string::npos);
  }
  EXPECT_GE(shots[1]->elapsed - shots[0]->elapsed, std::chrono::milliseconds(150));
  EXPECT_LE(shots[1]->elapsed - shots[0]->elapsed, std::chrono::milliseconds(450));
  EXPECT_GE(shots[2]->elapsed - shots[1]->elapsed, std::chrono::milliseconds(900));
  EXPECT_LE(shots[2]->elapsed - shots[1]->elapsed, std::chrono::milliseconds(1200));
  EXPECT_EQ(led_after_last, "0");

  // A finished capture leaves its pictures and its exposure value; the next capture boot's
  // sensor starts from that value.
  std::string last_ev;
  int pictures = 0;
  std::string next_start;
  for (const BoardEvent& event : events) {
    const std::string command = event.field("command");
    if (event.wake == 2 && command.find("last_ev_value") != std::string::npos) {
      last_ev = command.substr(command.rfind(' ') + 1);
    }
    pictures += event.wake == 2 && has_text(event, "pictures", "DCIM") ? 1 : 0;
    if (event.wake == 3 && next_start.empty() && has_text(event, "sensor", "exposure from ev ")) {
      next_start = event.text.substr(event.text.rfind(' ') + 1);
    }
  }
  ASSERT_FALSE(last_ev.empty());
  EXPECT_EQ(pictures, 3);
  EXPECT_EQ(next_start, last_ev);
}

// A night PIR boot whose bring-up fails: the IR LEDs the boot firmware lit go off, the capture
// error is recorded, and the next boot reports it.
TEST(CaptureOnTheBoard, BringUpFaultEndsInACaptureErrorThatTheNextBootReports) {
  scenario_test::TempDir dir;
  const std::string runDir = dir.path() + "/run";
  const auto events = scenario_test::run_story(R"(title bring-up fault
date 2024-06-01 23:00:00
scene night
mcu night
card formatted 8G
tag dovu prev_ir_mode 1
imp-fault IMP_ISP_EnableSensor once
wake pir for 40s
asleep 10m
wake timelapse for 30s
)",
                                               runDir)
                          .events;

  const auto tag_set = [&events](int wake, const std::string& what) {
    return std::any_of(events.begin(), events.end(), [&](const BoardEvent& event) {
      return event.wake == wake && event.field("command").find(what) != std::string::npos;
    });
  };
  EXPECT_TRUE(tag_set(1, "cap_error_reboot 1"));
  EXPECT_TRUE(tag_set(1, "cap_error_rebootEpoch"));
  EXPECT_FALSE(tag_set(1, "last_ev_value"));
  // Both LED banks are off when the first wake-up's power goes (the boot firmware may light
  // them just before the wake-up).
  std::string lit[2] = {"0", "0"};
  bool firmware_lit = false;
  for (const BoardEvent& event : events) {
    for (int bank = 0; bank < 2; ++bank) {
      if (event.wake <= 1 && gpio_change(event, 49 + bank)) {
        lit[bank] = event.field("to");
        firmware_lit = firmware_lit || lit[bank] == "1";
      }
    }
  }
  EXPECT_TRUE(firmware_lit);
  EXPECT_EQ(lit[0], "0");
  EXPECT_EQ(lit[1], "0");
  const std::string first = scenario_test::read_file(runDir + "/wake-01/app.log");
  EXPECT_NE(first.find("Sending EVENT_CAP_ERROR"), std::string::npos);

  // The next boot finds the record and reports it.
  const std::string second = scenario_test::read_file(runDir + "/wake-02/app.log");
  EXPECT_NE(second.find("Cap error was triggered last boot"), std::string::npos);
}

}  // namespace
