#include "app/storage/led_requests.h"

#include "app/records/app_log.h"

namespace {

int not_built(const char* what) {
  app_log(MOD_SD_CONF, LEVEL_DEBUG, "%s: not built yet", what);
  return -1;
}

}  // namespace

int show_sd_good() {
  return not_built("SD LED records (good card)");
}

int show_sd_fault() {
  return not_built("SD LED records (card fault)");
}

int allow_warning_light_if_charged() {
  return not_built("warning light permission");
}

int sd_red_led_off() {
  return not_built("SD LED records (red LED state)");
}

int blink_test_led(int) {
  return not_built("test LED records");
}
