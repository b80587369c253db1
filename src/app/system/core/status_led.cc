#include "app/system/core/status_led.h"

#include <cstdio>
#include <mutex>

#include "app/records/log/app_log.h"
#include "app/system/core/event_queue.h"
#include "app/system/core/sys_info.h"

std::atomic<int> statusLedGreen{STATUS_LED_OFF};
std::atomic<int> statusLedRed{STATUS_LED_OFF};
std::atomic<int> statusLedBlue{STATUS_LED_OFF};

namespace {

// The check of the lit colours and the switch it allows, one caller at a time.
std::mutex statusLedLock;

void send_status_led_request(int32_t request, int mode) {
  EventMessage message{};
  message.kind = MSG_MCU_REQ;
  message.request = request;
  const char* text = request == MCU_REQ_SET_STATUS_LED_OFF ? "OFF"
                     : mode == STATUS_LED_ON               ? "ON"
                                                           : "BLINK";
  snprintf(message.text, sizeof message.text, "%s", text);
  app_log(MOD_MAIN, LEVEL_INFO, "ISP to MCU - MCU_REQ_SET_STATUS_LED");
  send_event(mcuQueue, message, kMcuQueueSendError);
}

void switch_all_off() {
  statusLedGreen = STATUS_LED_OFF;
  statusLedRed = STATUS_LED_OFF;
  statusLedBlue = STATUS_LED_OFF;
  send_status_led_request(MCU_REQ_SET_STATUS_LED_OFF, STATUS_LED_OFF);
}

// Lights `colour` alone in `mode`.
void light_alone(std::atomic<int>& colour, int32_t request, int mode) {
  statusLedGreen = STATUS_LED_OFF;
  statusLedRed = STATUS_LED_OFF;
  statusLedBlue = STATUS_LED_OFF;
  colour = mode;
  send_status_led_request(request, mode);
}

// Green and blue: ignored when the mode is already shown or while red is lit. Green also
// gives way to a lit blue (`blocker`); blue does not give way to green.
void set_subordinate(std::atomic<int>& colour, const std::atomic<int>* blocker, int32_t request,
                     int mode) {
  if (colour == mode || statusLedRed != STATUS_LED_OFF ||
      (blocker != nullptr && *blocker != STATUS_LED_OFF)) {
    return;
  }
  if (mode == STATUS_LED_OFF) {
    switch_all_off();
  } else {
    light_alone(colour, request, mode);
  }
}

}  // namespace

void set_status_led(int colour, int mode) {
  // The check of the lit colours and the switch it allows are one step: another thread's
  // request in between could otherwise darken a red that was just lit.
  std::lock_guard lock(statusLedLock);
  switch (colour) {
    case STATUS_LED_GREEN:
      set_subordinate(statusLedGreen, &statusLedBlue, MCU_REQ_SET_STATUS_LED_GREEN, mode);
      break;
    case STATUS_LED_BLUE:
      set_subordinate(statusLedBlue, nullptr, MCU_REQ_SET_STATUS_LED_BLUE, mode);
      break;
    case STATUS_LED_RED: {
      const int red = statusLedRed;
      if (mode == STATUS_LED_ON && red == STATUS_LED_OFF) {
        light_alone(statusLedRed, MCU_REQ_SET_STATUS_LED_RED, mode);
      } else if (mode == STATUS_LED_BLINK && red != STATUS_LED_BLINK) {
        light_alone(statusLedRed, MCU_REQ_SET_STATUS_LED_RED, mode);
      } else if (mode == STATUS_LED_OFF && red != STATUS_LED_OFF) {
        switch_all_off();
      }
      break;
    }
    default:
      break;
  }
}
