// The status-LED request rules: one request at most, lit red overriding green and blue.
#include "app/system/core/status_led.h"

#include <atomic>
#include <thread>

#include <gtest/gtest.h>

#include "app/system/core/event_queue.h"
#include "app/system/core/sys_info.h"

#include "tests/support/system_fixture.h"

namespace {

constexpr int ON = STATUS_LED_ON;
constexpr int OFF = STATUS_LED_OFF;
constexpr int BLINK = STATUS_LED_BLINK;
constexpr int NONE = 0;  // no request expected

struct Modes {
  int green, red, blue;
  bool operator==(const Modes&) const = default;
};

struct LedCase {
  const char* what;
  Modes before;
  int colour;
  int mode;
  int32_t request;  // NONE when nothing may be sent
  const char* text;
  Modes after;
};

// clang-format off
constexpr LedCase kCases[] = {
    {"green on from all off", {OFF, OFF, OFF}, STATUS_LED_GREEN, ON, MCU_REQ_SET_STATUS_LED_GREEN, "ON", {ON, OFF, OFF}},
    {"green blink from green on", {ON, OFF, OFF}, STATUS_LED_GREEN, BLINK, MCU_REQ_SET_STATUS_LED_GREEN, "BLINK", {BLINK, OFF, OFF}},
    {"green again in its mode", {ON, OFF, OFF}, STATUS_LED_GREEN, ON, NONE, "", {ON, OFF, OFF}},
    {"green while red blinks", {OFF, BLINK, OFF}, STATUS_LED_GREEN, ON, NONE, "", {OFF, BLINK, OFF}},
    {"green while blue is lit", {OFF, OFF, ON}, STATUS_LED_GREEN, BLINK, NONE, "", {OFF, OFF, ON}},
    {"green off", {BLINK, OFF, OFF}, STATUS_LED_GREEN, OFF, MCU_REQ_SET_STATUS_LED_OFF, "OFF", {OFF, OFF, OFF}},
    {"blue over a lit green", {ON, OFF, OFF}, STATUS_LED_BLUE, BLINK, MCU_REQ_SET_STATUS_LED_BLUE, "BLINK", {OFF, OFF, BLINK}},
    {"blue while red is on", {OFF, ON, OFF}, STATUS_LED_BLUE, ON, NONE, "", {OFF, ON, OFF}},
    {"blue off", {OFF, OFF, ON}, STATUS_LED_BLUE, OFF, MCU_REQ_SET_STATUS_LED_OFF, "OFF", {OFF, OFF, OFF}},
    {"red on over green", {ON, OFF, OFF}, STATUS_LED_RED, ON, MCU_REQ_SET_STATUS_LED_RED, "ON", {OFF, ON, OFF}},
    {"red on while red blinks", {OFF, BLINK, OFF}, STATUS_LED_RED, ON, NONE, "", {OFF, BLINK, OFF}},
    {"red blink while red is on", {OFF, ON, OFF}, STATUS_LED_RED, BLINK, MCU_REQ_SET_STATUS_LED_RED, "BLINK", {OFF, BLINK, OFF}},
    {"red blink again", {OFF, BLINK, OFF}, STATUS_LED_RED, BLINK, NONE, "", {OFF, BLINK, OFF}},
    {"red off while lit", {OFF, BLINK, OFF}, STATUS_LED_RED, OFF, MCU_REQ_SET_STATUS_LED_OFF, "OFF", {OFF, OFF, OFF}},
    {"red off while off", {ON, OFF, OFF}, STATUS_LED_RED, OFF, NONE, "", {ON, OFF, OFF}},
    {"unknown mode", {OFF, OFF, OFF}, STATUS_LED_RED, 7, NONE, "", {OFF, OFF, OFF}},
    {"unknown colour", {OFF, OFF, OFF}, 3, ON, NONE, "", {OFF, OFF, OFF}},
};
// clang-format on

using StatusLedTest = test_support::QueueTest;

TEST_F(StatusLedTest, SendsAtMostTheOneRequestTheRulesAllow) {
  for (const LedCase& c : kCases) {
    SCOPED_TRACE(c.what);
    statusLedGreen = c.before.green;
    statusLedRed = c.before.red;
    statusLedBlue = c.before.blue;
    lastMcuRequest = MCU_REQ_GET_CAMERA_STATE;

    set_status_led(c.colour, c.mode);

    std::vector<EventMessage> sent = test_support::drain(mcuQueue);
    ASSERT_EQ(sent.size(), c.request == NONE ? 0u : 1u);
    if (c.request != NONE) {
      EXPECT_EQ(sent[0].kind, MSG_MCU_REQ);
      EXPECT_EQ(sent[0].request, c.request);
      EXPECT_STREQ(sent[0].text, c.text);
    }
    EXPECT_EQ((Modes{statusLedGreen, statusLedRed, statusLedBlue}), c.after);
    EXPECT_EQ(lastMcuRequest, MCU_REQ_GET_CAMERA_STATE) << "status LED requests are never retried";
  }
}

// Red lit by one thread stays lit while another thread switches green on and off: the
// precedence check and the switch it guards must be one step, or green can darken red.
TEST_F(StatusLedTest, RedStaysLitWhileAnotherThreadDrivesGreen) {
  statusLedGreen = OFF;
  statusLedRed = OFF;
  statusLedBlue = OFF;
  std::atomic<bool> done{false};
  testing::internal::CaptureStderr();  // a full queue is reported there; only the LEDs count
  std::thread reader([&] {
    while (!done) {
      test_support::drain(mcuQueue);
    }
  });
  std::thread green([&] {
    while (!done) {
      set_status_led(STATUS_LED_GREEN, ON);
      set_status_led(STATUS_LED_GREEN, OFF);
    }
  });
  int darkened = 0;
  for (int round = 0; round < 100000 && darkened == 0; ++round) {
    set_status_led(STATUS_LED_RED, ON);
    darkened += statusLedRed != ON;
    set_status_led(STATUS_LED_RED, OFF);
  }
  done = true;
  green.join();
  reader.join();
  testing::internal::GetCapturedStderr();
  EXPECT_EQ(darkened, 0) << "green switched a lit red off";
}

}  // namespace
