// The parts of the board, in the order they attach and power up. A new part is one folder
// under sim/ and one line here.
#include "sim/assembly/board_assembly.h"

#include <array>

#include "sim/adc/adc_part.h"
#include "sim/card/card_part.h"
#include "sim/clock/clock_part.h"
#include "sim/factory/factory_part.h"
#include "sim/gpio/gpio_part.h"
#include "sim/ledpanel/ledpanel_part.h"
#include "sim/mcu/mcu_part.h"
#include "sim/modem/modem_part.h"
#include "sim/pictures/pictures_part.h"
#include "sim/sensor/sensor_part.h"
#include "sim/tagstore/tagstore_part.h"
#include "sim/usb/usb_gadget_part.h"
#include "sim/videos/videos_part.h"
#include "sim/wdm/watchdog_part.h"

namespace sim::assembly {

namespace {

using sim::board::DirectiveSyntax;
using sim::board::PartRegistration;

// The clock first (every other part's times are its), the GPIO tree before the parts that
// add to /sys, the MCU last of the board's own parts; new parts go after it.
const std::array kParts = {
    PartRegistration{"clock", sim::clock::make_clock_part, sim::clock::kClockDirectives},
    PartRegistration{"gpio", sim::gpio::make_gpio_part, sim::gpio::kGpioDirectives},
    PartRegistration{"tagstore", sim::tagstore::make_tag_store_part,
                     sim::tagstore::kTagStoreDirectives},
    PartRegistration{"watchdog", sim::wdm::make_watchdog_part, sim::wdm::kWatchdogDirectives},
    PartRegistration{"mcu", sim::mcu::make_mcu_part, sim::mcu::kMcuDirectives},
    PartRegistration{"sensor", sim::sensor::make_sensor_part, sim::sensor::kSensorDirectives},
    PartRegistration{"adc", sim::adc::make_adc_part, sim::adc::kAdcDirectives},
    PartRegistration{"factory", sim::factory::make_factory_part, sim::factory::kFactoryDirectives},
    PartRegistration{"card", sim::card::make_card_part, sim::card::kCardDirectives},
    PartRegistration{"pictures", sim::pictures::make_pictures_part,
                     sim::pictures::kPicturesDirectives},
    PartRegistration{"usb", sim::usb::make_usb_gadget_part, {}},
    PartRegistration{"modem", sim::modem::make_modem_part, sim::modem::kModemDirectives},
    PartRegistration{"ledpanel", sim::ledpanel::make_ledpanel_part,
                     sim::ledpanel::kLedPanelDirectives},
    PartRegistration{"videos", sim::videos::make_videos_part, sim::videos::kVideosDirectives},
};

}  // namespace

std::span<const PartRegistration> board_parts() {
  return kParts;
}

const DirectiveSyntax* find_directive(std::string_view word) {
  for (const PartRegistration& part : board_parts()) {
    for (const DirectiveSyntax& directive : part.directives) {
      if (directive.word == word) {
        return &directive;
      }
    }
  }
  return nullptr;
}

}  // namespace sim::assembly
