// STATE_POWERDOWN, the last state of every run: wait for the SD monitor, captures and a format,
// switch the Modem off, move media to the primary partition, archive the logs, unmount the card
// and tell the MCU that the processor is ready to sleep, after which the MCU cuts power.
#include <ctime>

#include "app/config/camera_config.h"
#include "app/indicators/leds/led_requests.h"
#include "app/links/modem/modem_sync_info.h"
#include "app/records/archive/log_archive.h"
#include "app/records/log/app_log.h"
#include "app/records/reboot_log.h"
#include "app/storage/media_move.h"
#include "app/storage/sd_card.h"
#include "app/system/core/event_queue.h"
#include "app/system/core/shell.h"
#include "app/system/core/status_led.h"
#include "app/system/core/sys_info.h"
#include "app/system/os/os.h"
#include "app/system/state_machine.h"
#include "app/system/states/state_handlers.h"

namespace {

constexpr unsigned kWaitPollMs = 1;
constexpr unsigned kModemSettleMs = 5000;
constexpr unsigned kModemOffDelayMs = 10000;
constexpr unsigned kInstantModemOffDelayMs = 2000;
constexpr unsigned kUnmountSettleMs = 1000;
constexpr int kFirstBootTestLedSeconds = 10;
constexpr int kModelWithoutTestLed = 6;

enum class Unmount { kPlain, kForced };

// The Modem sync time-out of this run expired in a test capture, a first boot or test mode.
bool modem_sync_timed_out() {
  return signalTimeout != 0;
}

void set_flag(Flag SysInfo::*flag, int8_t value) {
  SemLock lock(&sysInfoLock);
  sysInfo->*flag = value;
}

bool shows_leds(int32_t previous) {
  return previous == STATE_CAPTURETEST || previous == STATE_FIRSTBOOT || sysInfo->testMode;
}

void write_first_boot_record() {
  time_t now = time(nullptr);
  if (now == static_cast<time_t>(-1)) {
    app_log(MOD_PWR_DWN, LEVEL_ERR, "Could not fetch correct time for reboot log.");
  }
  struct tm local {};
  if (localtime_r(&now, &local) != nullptr) {
    now = mktime(&local);
  }
  write_reboot_log(REBOOT_SOURCE_ISP, REBOOT_INITIAL_BOOT, now);
}

void move_pending_files() {
  if (!sysInfo->moveFilesPending || is_primary_usable() != 1) {
    return;
  }
  app_log(MOD_PWR_DWN, LEVEL_INFO, "Started moving files from Secondary to Primary");
  move_secondary_media();
  app_log(MOD_PWR_DWN, LEVEL_INFO, "Moved files from Secondary to Primary");
  set_flag(&SysInfo::moveFilesPending, 0);
}

void switch_leds_off(Unmount kind) {
  const bool plain = kind == Unmount::kPlain;
  app_log(MOD_PWR_DWN, LEVEL_INFO, plain ? "Setting Test LED : OFF" : "Setting test LED : OFF");
  app_log(MOD_PWR_DWN, LEVEL_INFO,
          plain ? "Setting all signal LEDs : OFF" : "Setting ALL SIGNAL LEDs : OFF");
  app_log(MOD_PWR_DWN, LEVEL_INFO, "Setting all battery LEDs : OFF");
  app_log(MOD_PWR_DWN, LEVEL_INFO, "Setting SD LED : OFF");
  set_all_led_records_off();
}

// The common tail of both paths: after it the card is unmounted and the MCU may cut power.
void finish_and_sleep(const EventMessage& event, Unmount kind) {
  move_pending_files();
  archive_logs_if_sd_ready();
  run_shell("sync");
  const bool plain = kind == Unmount::kPlain;
  if (is_secondary_usable() == 1) {
    run_shell(plain ? "umount  /sdcard/secondary" : "umount -f /sdcard/secondary");
  }
  if (is_primary_usable() == 1) {
    run_shell(plain ? "umount  /sdcard/primary" : "umount -f /sdcard/primary");
  }
  if (plain) {
    os_sleep_ms(kUnmountSettleMs);
  }
  request_mcu(MOD_PWR_DWN, event, MCU_REQ_SET_ISP_READY_TO_SLEEP);
  if (shows_leds(sysInfo->prevState)) {
    switch_leds_off(kind);
  }
}

void first_boot_farewell() {
  if (!(sysInfo->wdmReboot && cameraConfig->wdLEDStatus)) {
    if (!sysInfo->capErrorReboot && sd_red_led_off() == 1 &&
        cameraConfig->orve_model != kModelWithoutTestLed) {
      app_log(MOD_PWR_DWN, LEVEL_INFO, "Setting test LED : Blink for 10 seconds");
      blink_test_led(kFirstBootTestLedSeconds);
    }
  }
  if (modem_sync_timed_out()) {
    set_status_led(STATUS_LED_RED, STATUS_LED_ON);
  }
}

void enter_powerdown(const EventMessage& event) {
  const int32_t previous = sysInfo->prevState;
  const bool after_first_boot = previous == STATE_FIRSTBOOT;
  if (!sysInfo->wdmReboot && !sysInfo->capErrorReboot && after_first_boot) {
    write_first_boot_record();
  }
  log_state_change();
  // A sync or first boot has just tidied the card; every other run asks for a free-space pass.
  // The pass is asked for once a capture still running has ended: the capture is what mounts
  // the card on a PIR wake-up, and the monitor passes over a card that is not mounted.
  if (previous != STATE_FIRSTBOOT && previous != STATE_SYNC && !formatOngoing) {
    while (sysInfo->captureOngoing == 1) {
      os_sleep_ms(kWaitPollMs);
    }
    set_flag(&SysInfo::sdCheckRequest, 1);
  }
  while (sysInfo->sdCheckRequest || sysInfo->captureOngoing == 1 || formatOngoing) {
    os_sleep_ms(kWaitPollMs);
  }
  const bool instant_mode = cameraConfig->instantModeActive != 0;
  if ((sysInfo->modemPowered && !instant_mode) || after_first_boot) {
    os_sleep_ms(kModemSettleMs);
  }
  if (after_first_boot) {
    first_boot_farewell();
  }
  if (sysInfo->modemPowered) {
    os_sleep_ms(!instant_mode || after_first_boot ? kModemOffDelayMs : kInstantModemOffDelayMs);
    request_mcu(MOD_PWR_DWN, event, MCU_REQ_SET_MODEM_POWER_STATE_OFF);
    return;
  }
  finish_and_sleep(event, Unmount::kPlain);
}

}  // namespace

void handle_powerdown(EventMessage event) {
  if (event.kind == EVENT_STATE_ENTRY) {
    enter_powerdown(event);
    return;
  }
  if (event.kind != MSG_MCU_RESP) {
    return;
  }
  if (event.response == MCU_RESP_SET_MODEM_POWER_STATE) {
    app_log(MOD_PWR_DWN, LEVEL_INFO, "MCU to ISP - MCU_RESP_SET_MODEM_POWER_STATE");
    app_log(MOD_PWR_DWN, LEVEL_INFO, "rt->capture_ongoing : %d",
            static_cast<int>(sysInfo->captureOngoing));
    finish_and_sleep(event, Unmount::kForced);
  } else if (event.response == MCU_RESP_SET_ISP_READY_TO_SLEEP) {
    app_log(MOD_PWR_DWN, LEVEL_INFO, "MCU to ISP - MCU_RESP_SET_ISP_READY_TO_SLEEP");
  }
}
