// The board's power model: what each part of the camera draws, and the charge a wake-up takes.
//
// The currents are the model's, not measurements of a camera: typical figures for a board of
// this kind (an application processor with DDR, a 2 MP sensor and its ISP, an 850 nm IR LED
// bank, an LTE-M Modem, an SD card) that a season profile can override line by line
// ("season current NAME MILLIAMPS"). Every figure derived from them is the model's figure.
#pragma once

#include <array>
#include <string_view>

namespace sim::season {

enum class Draw : int {
  kAsleep,             // the whole camera asleep: the MCU in its low-power mode, PIR biased
  kProcessor,          // the application processor awake (core, DDR, regulators)
  kSensor,             // the image sensor streaming into the ISP (sensor power line on)
  kIrLeds,             // the IR LED bank lit (either IR LED line on)
  kModemSearching,     // the Modem on: looking for a network or holding one
  kModemTransmitting,  // the Modem sending: the time an upload of pictures takes
  kCardIo,             // the SD card reading or writing
  kCount,
};

struct DrawEntry {
  Draw draw;
  std::string_view name;  // the profile's name for it
  double milliamps;
  std::string_view what;
};

inline constexpr std::array<DrawEntry, static_cast<int>(Draw::kCount)> kDefaultDraws = {{
    {Draw::kAsleep, "asleep", 0.12, "MCU in its low-power mode, PIR sensor biased"},
    {Draw::kProcessor, "processor", 180.0, "application processor, DDR and regulators awake"},
    {Draw::kSensor, "sensor", 95.0, "image sensor streaming and the ISP working"},
    {Draw::kIrLeds, "ir-leds", 850.0, "IR LED bank lit for a night capture"},
    {Draw::kModemSearching, "modem-searching", 110.0, "Modem on, searching or holding a cell"},
    {Draw::kModemTransmitting, "modem-transmitting", 420.0, "Modem transmitting an upload"},
    {Draw::kCardIo, "card-io", 45.0, "SD card reading or writing"},
}};

// How long the model takes for what the record does not time: the Modem's transmission of one
// uploaded picture, and the card's work for one media file written.
inline constexpr double kTransmitSecondsPerFile = 4.0;
inline constexpr double kCardSecondsPerFile = 0.6;

using DrawTable = std::array<double, static_cast<int>(Draw::kCount)>;

constexpr DrawTable default_draw_table() {
  DrawTable table{};
  for (const DrawEntry& entry : kDefaultDraws) {
    table[static_cast<int>(entry.draw)] = entry.milliamps;
  }
  return table;
}

// Seconds of each draw in one wake-up (kAsleep: the sleep before it).
using DrawSeconds = std::array<double, static_cast<int>(Draw::kCount)>;

// Milliampere-hours the seconds cost at the table's currents.
constexpr double charge_mah(const DrawTable& table, const DrawSeconds& seconds) {
  double mas = 0;
  for (int i = 0; i < static_cast<int>(Draw::kCount); ++i) {
    mas += table[i] * seconds[i];
  }
  return mas / 3600.0;
}

}  // namespace sim::season
