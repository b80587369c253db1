#include "app/system/seams.h"

#include "app/AV-Common.h"
#include "app/capture/capture_orchestration.h"
#include "app/capture/photo_capture.h"
#include "app/links/mcu/mcu_link_manager.h"
#include "app/links/modem/modem_link_manager.h"
#include "app/records/app_log.h"
#include "app/storage/sd_monitor.h"
#include "app/system/sync_states.h"

const PendingThreads kThreadBodies = {
    .ev_wait = photo_capture_thread,
    .capture_top_half = capture_top_half,
    .sensor_release = sensor_deinit_thread,
    .mcu_link_manager = mcu_link_manager_thread,
    .modem_link_manager = modem_link_manager_thread,
    .capture_photo_video = normal_capture_thread,
    .sd_card_monitor = sd_monitor_thread,
    .modem_sync_timeout = modem_sync_timeout_thread,
};

namespace {

int not_built(const char* what) {
  app_log(MOD_MAIN, LEVEL_DEBUG, "%s: not built yet", what);
  return -1;
}

}  // namespace

// clang-format off
int init_warning_led_locks() { return not_built("warning LED locks"); }
void set_all_led_records_off() { not_built("LED records"); }
void show_signal_leds(int) { not_built("signal LED display"); }
void show_battery_leds() { not_built("battery LEDs"); }
void show_signal_timeout_leds() { not_built("signal LED time-out display"); }
void show_sd_formatting() { not_built("SD LED format display"); }
// Without the LED manager no LED is known to be lit.
bool sd_red_led_on() { not_built("SD LED state"); return false; }
void set_test_led_on() { not_built("test LED"); }
void stop_format_button() { not_built("format button"); }
// Without the format button nothing can be pressed.
bool formatButtonPressed() { not_built("format button state"); return false; }
void trigger_warning_led(int) { not_built("warning light"); }
// clang-format on
