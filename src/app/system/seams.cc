#include "app/system/seams.h"

#include "app/records/app_log.h"

const PendingThreads kThreadBodies = {};

namespace {

int not_built(const char* what) {
  app_log(MOD_MAIN, LOG_DEBUG, "%s: not built yet", what);
  return -1;
}

}  // namespace

int init_warning_led_locks() {
  return not_built("warning LED locks");
}
int read_wdm_record() {
  return not_built("watchdog record");
}
int read_cap_error_record() {
  return not_built("capture-error record");
}
int read_temperature() {
  return not_built("temperature");
}
void set_all_led_records_off() {
  not_built("LED records");
}
int take_back_sd_card() {
  return not_built("SD card take-back");
}
int archive_logs_to_sd() {
  return not_built("log archival");
}
int move_secondary_to_primary() {
  return not_built("secondary-to-primary move");
}
