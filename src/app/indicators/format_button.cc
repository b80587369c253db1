#include <pthread.h>

#include <cstdio>
#include <cstdlib>

#include "app/config/camera_config.h"
#include "app/indicators/indicators.h"
#include "app/indicators/leds/led_requests.h"
#include "app/indicators/leds/led_state.h"
#include "app/records/log/app_log.h"
#include "app/storage/sd_card.h"
#include "app/storage/sd_format.h"
#include "app/storage/sd_monitor.h"
#include "app/system/core/shell.h"
#include "app/system/core/status_led.h"
#include "app/system/core/sys_info.h"
#include "app/system/os/os.h"

std::atomic<uint8_t> formatButtonDown{0};
std::atomic<uint32_t> formatLedShown{0};
namespace {

constexpr uint32_t kSamplePeriodMs = 250;
constexpr uint32_t kSettleMs = 1000;
constexpr uint32_t kStopPollMs = 10;
constexpr int32_t kLentStatusPeriodMs = 2000;
constexpr int32_t kWaitingStatusPeriodMs = 1000;

std::atomic<bool> stopRequested{false};
std::atomic<bool> monitorRunning{false};
std::atomic<bool> buttonFormatRequested{false};

// The button's level: 0 pressed, 1 released, -1 unreadable.
int read_button() {
  FILE* file = fopen("/sys/class/gpio/gpio63/value", "r");
  if (file == nullptr) {
    app_log(MOD_MAIN, LEVEL_ERR, "ERROR : fgets at format button");
    return -1;
  }
  char text[3] = {};
  const bool read = fgets(text, sizeof text, file) != nullptr;
  fclose(file);
  if (!read) {
    app_log(MOD_MAIN, LEVEL_ERR, "ERROR : fgets at format button");
    return -1;
  }
  return static_cast<int>(strtol(text, nullptr, 10));
}

void set_status_period(int32_t period_ms) {
  SemLock lock(&configLock);
  cameraConfig->statusLedBlinkPeriodMs = period_ms;
}

// The MCU status LED after a good format, by card state, battery and signal.
void show_status_after_success() {
  const bool good_power = batteryPercent >= kLowCharge && cameraConfig->signalStrength != 0;
  if (good_power) {
    formatLedShown = 1;
  }
  if (sdState == SD_PRIMARY_AWAY) {
    set_status_period(kLentStatusPeriodMs);
    set_status_led(STATUS_LED_RED, STATUS_LED_BLINK);
    SemLock lock(&sysInfoLock);
    sysInfo->rtcValid = 1;
    sysInfo->fuelGaugeValid = 1;
  } else if (sdState == SD_FAULT && (formatLedShown == 1 || good_power)) {
    set_status_led(STATUS_LED_RED, STATUS_LED_OFF);
    set_status_led(STATUS_LED_GREEN, STATUS_LED_ON);
  } else if (sysInfo->fuelGaugeValid && sysInfo->installDateReceived && formatLedShown != 1) {
    set_status_led(STATUS_LED_RED, STATUS_LED_ON);
  } else {
    set_status_led(STATUS_LED_RED, STATUS_LED_OFF);
    set_status_period(kWaitingStatusPeriodMs);
    set_status_led(STATUS_LED_GREEN, STATUS_LED_BLINK);
  }
}

}  // namespace

bool formatButtonPressed() {
  return formatButtonDown != 0;
}

bool format_button_sample(FormatButtonMonitor& monitor, int level) {
  ++monitor.count;
  if (level != 0) {
    formatButtonDown = 0;
    monitor.count = 0;
    return false;
  }
  formatButtonDown = 1;
  return monitor.count == kFormatHoldSamples;
}

int format_and_show() {
  formatButtonDown = 0;
  app_log(MOD_MAIN, LEVEL_INFO, "Format button pressed");
  app_log(MOD_MAIN, LEVEL_INFO, "Setting SD LED green : BLINK");
  show_sd_formatting();
  while (sdMonitorBusy || sysInfo->sdCheckRequest) {
    os_sleep_ms(kSamplePeriodMs);
  }
  while (sysInfo->fsckOngoing) {
    os_sleep_ms(kSamplePeriodMs);
  }
  os_sleep_ms(kSettleMs);
  app_log(MOD_MAIN, LEVEL_INFO, "Format ongoing");
  const int result = format_sd_card();
  if (result != 0) {
    app_log(MOD_MAIN, LEVEL_INFO, "SD Format Failed");
    app_log(MOD_MAIN, LEVEL_INFO, "Setting SD LED red : BLINK");
    show_sd_fault();
    formatLedShown = 0;
    set_status_led(STATUS_LED_RED, STATUS_LED_ON);
    return result;
  }
  run_shell("sync");
  os_sleep_ms(kSettleMs);
  app_log(MOD_MAIN, LEVEL_INFO, "SD Format Success");
  app_log(MOD_MAIN, LEVEL_INFO, "Setting SD LED green : ON");
  show_sd_good();
  show_status_after_success();
  return 0;
}

void stop_format_button() {
  stopRequested = true;
  while (monitorRunning) {
    os_sleep_ms(kStopPollMs);
  }
}

void* format_button_monitor_thread(void*) {
  monitorRunning = true;
  app_log(MOD_MAIN, LEVEL_INFO, "FORMAT BUTTON MONITOR THREAD STARTED");
  run_shell("echo 63 >/sys/class/gpio/export");
  FormatButtonMonitor monitor;
  while (!stopRequested) {
    os_sleep_ms(kSamplePeriodMs);
    if (!format_button_sample(monitor, read_button())) {
      continue;
    }
    // A format already running (asked by the server) is not followed by a second one.
    int8_t idle = 0;
    if (formatOngoing.compare_exchange_strong(idle, 1)) {
      buttonFormatRequested = true;
      break;
    }
    monitor.count = 0;
  }
  monitorRunning = false;
  return nullptr;
}

void* format_button_handler_thread(void*) {
  while (!buttonFormatRequested) {
    if (stopRequested && !monitorRunning) {
      return nullptr;
    }
    os_sleep_ms(kSamplePeriodMs);
  }
  format_and_show();
  formatOngoing = 0;
  return nullptr;
}
