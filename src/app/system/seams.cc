#include "app/system/seams.h"

#include "app/links/mcu/mcu_link_manager.h"
#include "app/records/app_log.h"

const PendingThreads kThreadBodies = {
    .mcu_link_manager = mcu_link_manager_thread,
};

namespace {

int not_built(const char* what) {
  app_log(MOD_MAIN, LEVEL_DEBUG, "%s: not built yet", what);
  return -1;
}

}  // namespace

// clang-format off
int init_warning_led_locks() { return not_built("warning LED locks"); }
int read_temperature() { return not_built("temperature"); }
void set_all_led_records_off() { not_built("LED records"); }
int take_back_sd_card() { return not_built("SD card take-back"); }
int archive_logs_to_sd() { return not_built("log archival"); }
void show_signal_leds(int) { not_built("signal LED display"); }
// Without card detection the card's size is unknown, which rules out the dirty-bit check.
int sd_card_size_gb() { not_built("SD card size"); return 0; }
int find_dirty_partitions() { return not_built("dirty partition check"); }
int repair_partition(int) { return not_built("partition repair"); }
int check_sd_card() { return not_built("SD card check"); }
// Without card detection no partition is known to be usable.
bool primary_partition_usable() { not_built("primary partition state"); return false; }
bool secondary_holds_media() { not_built("secondary partition content"); return false; }
// clang-format on
