// A season of a camera's life planned from a seed and a profile: each day's wake-ups as
// scenario text, with the faults of the field drawn from the seed.
//
// A profile is a scenario file's set-up (title, date, card, scene, server, ...) plus season
// lines that say how the days go and how often each fault strikes:
//   season pir-per-day N            deer crossings a day (PIR wake-ups), on average
//   season night-share F            the share of them between 20:00 and 06:00
//   season burst-share F            the share with a second detection while awake
//   season timelapse every TIME|off the MCU's time-lapse ticks
//   season sync at HH:MM            the daily sync
//   season config-change every N    a server configuration change every N days, on average
//   season queries-per-day F        instant queries (extra syncs) a day, on average
//   season format-share F           the share of instant queries that ask for a format
//   season deer-at-sync F           the share of daily syncs during which deer pass while the
//                                   Modem holds the card (uploading for a minute)
//   season temperature MEAN SWING   the day's temperature cycle, degrees Celsius
//   season fault KIND RATE          the chance (0..1) of the fault in a wake-up it fits
//   season current NAME MILLIAMPS   a line of the power model (sim/season/power_model.h)
//   season battery MAH              the battery the report's days of battery are for
// The same seed and profile always give the same season.
#pragma once

#include <algorithm>
#include <array>
#include <cstdint>
#include <string>
#include <string_view>
#include <vector>

#include "sim/season/power_model.h"

namespace sim::season {

// The faults a season draws. Each fits some wake-ups (the Modem's only syncs).
enum class Fault : int {
  kPowerCut,       // the supply goes at a random moment of the wake-up
  kCardCut,        // the supply goes while the primary partition is written
  kCardFull,       // the primary partition full before the wake-up
  kCardDirty,      // the primary partition's dirty bit set before the wake-up
  kCardPulled,     // the card leaves the slot and comes back while awake
  kModemSilent,    // the Modem answers nothing for a while
  kModemNoSignal,  // the Modem never finds a network
  kModemGarbling,  // bytes of rubbish on the Modem's line
  kModemReboot,    // the Modem reboots in the middle of the sync
  kMcuLate,        // the MCU answers late
  kMcuGarbling,    // bytes of rubbish on the MCU's line
  kHostileServer,  // out-of-range numbers or shell characters from the server
  kCardReadOnly,   // the card's lock switch on for one wake-up
  kCount,
};

struct FaultInfo {
  Fault fault;
  std::string_view name;
  double defaultRate;
  bool syncOnly;
  // Drawn from a stream of its own: a fault added after seeds were kept as regression cases,
  // so a season with it keeps every other draw (and so its story) as it was.
  bool drawnApart = false;
};

inline constexpr std::array<FaultInfo, static_cast<int>(Fault::kCount)> kFaults = {{
    {Fault::kPowerCut, "power-cut", 0.03, false},
    {Fault::kCardCut, "card-cut", 0.02, false},
    {Fault::kCardFull, "card-full", 0.0, false},
    {Fault::kCardDirty, "card-dirty", 0.02, false},
    {Fault::kCardPulled, "card-pulled", 0.01, false},
    {Fault::kModemSilent, "modem-silent", 0.03, true},
    {Fault::kModemNoSignal, "modem-no-signal", 0.03, true},
    {Fault::kModemGarbling, "modem-garbling", 0.03, true},
    {Fault::kModemReboot, "modem-reboot", 0.02, true},
    {Fault::kMcuLate, "mcu-late", 0.02, false},
    {Fault::kMcuGarbling, "mcu-garbling", 0.02, false},
    {Fault::kHostileServer, "hostile-server", 0.05, true},
    {Fault::kCardReadOnly, "card-readonly", 0.01, false, true},
}};

inline bool has_fault(const std::vector<Fault>& faults, Fault fault) {
  return std::find(faults.begin(), faults.end(), fault) != faults.end();
}

struct Profile {
  std::string setup;                     // the scenario set-up lines, as written
  int64_t startEpochMs = 1717221600000;  // the set-up's date (default 2024-06-01 06:00:00)
  double pirPerDay = 6;
  double nightShare = 0.4;
  double burstShare = 0.3;
  int timelapseEveryS = 6 * 3600;  // 0: none
  int syncMinuteOfDay = 12 * 60;
  double configChangeEveryDays = 3;
  double queriesPerDay = 0.3;
  double formatShare = 0.1;
  double deerAtSync = 0.2;
  double temperatureMean = 14;
  double temperatureSwing = 8;
  std::array<double, static_cast<int>(Fault::kCount)> faultRates{};
  DrawTable draws = default_draw_table();
  double batteryMah = 12000;
};

// The default profile: a field camera in early summer on a 4 GB card.
std::string_view default_profile_text();

// Parses a profile. Returns 0, or -1 with "NAME:LINE: what is wrong". The set-up lines are
// kept as they are; the board checks them when it runs them.
int parse_profile(std::string_view text, std::string_view sourceName, Profile* ret_profile,
                  std::string* ret_error);

// What kind of wake-up: the names of the report.
enum class WakeKind : int { kPir, kVideo, kTimelapse, kSync, kQuery, kCount };
std::string_view wake_kind_name(WakeKind kind);

struct TimedLine {
  int64_t atMs = 0;  // after the power-up
  std::string line;  // a timed directive without its "at TIME"
};

struct PlannedWake {
  int day = 0;  // 0: the first day
  int64_t epochMs = 0;
  WakeKind kind = WakeKind::kPir;
  std::string reason;               // "pir", "daily-sync", ...
  int limitS = 90;                  // its budget of board time
  std::vector<std::string> before;  // set-up directives played just before the power-up
  std::vector<TimedLine> events;    // in time order
  std::vector<Fault> faults;
  bool formatAsked = false;  // an instant query that formats the card
  bool night = false;
  // The server's state after this wake-up's changes: every "server ..." line so far, and the
  // passwords it has used (the camera may have stored pictures under each).
  std::vector<std::string> serverLines;
  std::vector<std::string> passwords;
  int minFreeMb = 100;  // the server's minimum free space on the card
};

struct SeasonPlan {
  uint64_t seed = 0;
  int days = 0;
  std::vector<PlannedWake> wakes;  // in time order
};

SeasonPlan plan_season(const Profile& profile, uint64_t seed, int days);

// The scenario lines of one wake-up: its set-up directives, the wake line and its events.
std::string wake_scenario_text(const PlannedWake& wake);

// The day's wake-ups of `plan`, as the season runs them, for a person to read.
std::string plan_text(const SeasonPlan& plan);

}  // namespace sim::season
