#include <array>
#include <string_view>

#include "app/config/camera_config.h"
#include "app/indicators/indicators.h"
#include "app/indicators/leds/led_requests.h"
#include "app/indicators/leds/led_state.h"
#include "app/indicators/leds/warning_light.h"
#include "app/records/log/app_log.h"
#include "app/storage/sd_card.h"
#include "app/system/core/status_led.h"
#include "app/system/core/sys_info.h"

namespace {

// One row per charge band: the lowest charge of the band, the number of LEDs lit from LED 1.
struct BatteryBand {
  uint32_t lowest;
  int lit;  // -1: LED 1 blinks alone
  std::string_view message;
};
constexpr std::array<BatteryBand, 6> kBatteryBands = {{
    {0, -1, "Setting battery LED 1 : BLINK"},
    {15, 1, "Setting battery LED 1 : ON"},
    {26, 2, "Setting battery LED 1,2 : ON"},
    {51, 3, "Setting battery LED 1,2,3 : ON"},
    {76, 4, "Setting battery LED 1,2,3,4 : ON"},
    {101, 0, "Setting battery LED 1,2,3,4 : OFF"},
}};

constexpr std::array<std::string_view, 6> kSignalMessages = {
    "Setting signal LED 1 : BLINK",    "Setting signal LED 1 : ON",
    "Setting signal LED 1,2 : ON",     "Setting signal LED 1,2,3 : ON",
    "Setting signal LED 1,2,3,4 : ON", "Setting signal LED 1,2,3,4,5 : ON",
};

// Lights `lit` LEDs of a row from its first; -1 blinks the first alone.
void show_row(LedId first, int count, int lit) {
  for (int i = 0; i < count; ++i) {
    set_led(static_cast<LedId>(first + i), i < lit ? LED_ON : LED_OFF);
  }
  if (lit < 0) {
    set_led_blink(first, kBlinkPeriodTicks, true);
  }
}

void first_boot_red_if(bool low) {
  if (low && sysInfo->state == STATE_FIRSTBOOT) {
    set_status_led(STATUS_LED_RED, STATUS_LED_ON);
  }
}

int show_battery() {
  FuelGaugeEntryValue entry{};
  {
    SemLock lock(&configLock);
    const int index = cameraConfig->fuelGaugeIndex;
    if (index >= 0 && index < static_cast<int>(kMaxFuelGaugeEntries)) {
      entry = cameraConfig->fuelGauge[index];
    }
  }
  app_log(MOD_LED_MGR, LEVEL_INFO, "FUEL GUAGE TYPE  : %d", static_cast<int>(entry.batteryType));
  batteryPercent = entry.batteryPercent;
  const BatteryBand* band = &kBatteryBands[0];
  for (const BatteryBand& row : kBatteryBands) {
    if (entry.batteryPercent >= row.lowest) {
      band = &row;
    }
  }
  app_log(MOD_LED_MGR, LEVEL_INFO, "%.*s", static_cast<int>(band->message.size()),
          band->message.data());
  show_row(LED_BATTERY_1, 4, band->lit);
  first_boot_red_if(entry.batteryPercent < kLowCharge);
  return 1;
}

void show_sd_state() {
  if (sdState == SD_MOUNTED || sdState == SD_PRIMARY_AWAY) {
    show_sd_good();
  } else {
    show_sd_fault();
  }
}

int show_signal(int have_value) {
  if (have_value == 0) {
    app_log(MOD_LED_MGR, LEVEL_INFO, "SETTING ALL SIGNAL LEDs : BLINK");
    for (int led = LED_SIGNAL_1; led <= LED_SIGNAL_5; ++led) {
      set_led_blink(static_cast<LedId>(led), kBlinkPeriodTicks, true);
    }
    return 4;
  }
  const int32_t raw = cameraConfig->signalStrength;
  const int strength = raw < 0 ? 0 : raw > 5 ? 5 : raw;
  const std::string_view message = kSignalMessages[strength];
  app_log(MOD_LED_MGR, LEVEL_INFO, "%.*s", static_cast<int>(message.size()), message.data());
  show_row(LED_SIGNAL_1, 5, strength == 0 ? -1 : strength);
  first_boot_red_if(strength == 0);
  if (!formatOngoing) {
    if (sysInfo->testMode) {
      check_sd_card();
    }
    show_sd_state();
  }
  return 4;
}

}  // namespace

int show_battery_and_signal(int which, int have_value) {
  return which == 0 ? show_battery() : show_signal(have_value);
}

void show_signal_leds(int have_value) {
  show_battery_and_signal(1, have_value);
}

void show_battery_leds() {
  show_battery_and_signal(0, 1);
}
