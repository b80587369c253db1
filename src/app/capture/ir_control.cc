#include "app/capture/ir_control.h"

#include <atomic>

#include "app/capture/capture_flags.h"
#include "app/records/boot_tags.h"
#include "app/records/log/app_log.h"
#include "app/system/core/shell.h"
#include "app/system/core/sys_info.h"
#include "app/system/os/os.h"

namespace {

constexpr uint32_t kCoilPulseUs = 100 * 1000;

std::atomic<int> g_ir_cut_count{0};
std::atomic<uint8_t> g_ir_gpio_exported{0};
std::atomic<IrOffDecision> g_ir_off_decision{nullptr};

void export_ir_gpios() {
  if (g_ir_gpio_exported) {
    return;
  }
  run_shell("echo 49 > /sys/class/gpio/export");
  run_shell("echo 50 > /sys/class/gpio/export");
  run_shell("echo 'out' > /sys/class/gpio/gpio49/direction");
  run_shell("echo 'out' > /sys/class/gpio/gpio50/direction");
  g_ir_gpio_exported = 1;
}

}  // namespace

void set_ir_cut_filter() {
  if (sysInfo->boot_reason != 0 || g_ir_cut_count != 0) {
    ++g_ir_cut_count;
    return;
  }
  if (sysInfo->day_night_val == 0) {
    app_log(MOD_PHOTO_AV, LEVEL_INFO, "Setting IR Cut Filter : Day mode");
    run_shell("echo 0 > /sys/class/gpio/gpio38/value");
    run_shell("echo 1 > /sys/class/gpio/gpio41/value");
    os_sleep_us(kCoilPulseUs);
    run_shell("echo 0 > /sys/class/gpio/gpio41/value");
  } else {
    app_log(MOD_PHOTO_AV, LEVEL_INFO, "Setting IR Cut Filter : Night mode");
    run_shell("echo 1 > /sys/class/gpio/gpio38/value");
    run_shell("echo 0 > /sys/class/gpio/gpio41/value");
    os_sleep_us(kCoilPulseUs);
    run_shell("echo 0 > /sys/class/gpio/gpio38/value");
  }
  ++g_ir_cut_count;
}

void ir_led_on() {
  export_ir_gpios();
  if (sysInfo->day_night_val != 1 && sysInfo->prev_ir_mode != 1) {
    return;
  }
  if (bootTags.irIntensity != 0) {
    run_shell("echo 1 > /sys/class/gpio/gpio49/value");
    app_log(MOD_PHOTO_AV, LEVEL_INFO, "Setting IR LED ON: lowglow mode");
  } else {
    run_shell("echo 1 > /sys/class/gpio/gpio50/value");
    app_log(MOD_PHOTO_AV, LEVEL_INFO, "Setting IR LED ON: noglow mode");
  }
  SemLock lock(&sysInfoLock);
  captureFlags.irLedOn = 1;
  captureFlags.irLedJustOn = 1;
}

void ir_led_off() {
  export_ir_gpios();
  if (!captureFlags.irLedOn) {
    return;
  }
  app_log(MOD_PHOTO_AV, LEVEL_INFO, "IR OFF");
  run_shell("echo 0 > /sys/class/gpio/gpio49/value");
  run_shell("echo 0 > /sys/class/gpio/gpio50/value");
  set_locked(captureFlags.irLedOn, 0);
  // On model 1 the decision after a night capture waits for the light to go off, so that the
  // Modem is not powered while the LEDs still draw current.
  IrOffDecision decision = g_ir_off_decision;
  if (!sysInfo->modemPowered && sysInfo->installDateReceived && sysInfo->orve_model == 1 &&
      decision != nullptr) {
    decision();
  }
}

void ir_led_off_after_capture() {
  if (sysInfo->boot_reason == 1 && sysInfo->prev_ir_mode == 1) {
    set_locked(captureFlags.irLedOn, 1);
  }
  ir_led_off();
}

void set_ir_off_decision(IrOffDecision decision) {
  g_ir_off_decision = decision;
}

int ir_cut_count() {
  return g_ir_cut_count;
}

void reset_ir_control() {
  g_ir_cut_count = 0;
  g_ir_gpio_exported = 0;
}
