#include "app/system/seams.h"

#include "app/AV-Common.h"
#include "app/capture/capture_orchestration.h"
#include "app/capture/photo_capture.h"
#include "app/links/mcu/mcu_link_manager.h"
#include "app/records/app_log.h"
#include "app/storage/sd_monitor.h"

const PendingThreads kThreadBodies = {
    .ev_wait = photo_capture_thread,
    .capture_top_half = capture_top_half,
    .sensor_release = sensor_deinit_thread,
    .mcu_link_manager = mcu_link_manager_thread,
    .capture_photo_video = normal_capture_thread,
    .sd_card_monitor = sd_monitor_thread,
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
int take_back_sd_card() { return not_built("SD card take-back"); }
void show_signal_leds(int) { not_built("signal LED display"); }
// clang-format on
