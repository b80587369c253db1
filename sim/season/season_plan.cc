#include "sim/season/season_plan.h"

#include <algorithm>
#include <cmath>
#include <ctime>
#include <sstream>

#include "sim/board/directive_words.h"

namespace sim::season {

namespace {

constexpr std::string_view kDefaultProfile =
    R"(title A field camera's season: deer by day and night, a daily sync, faults of the field
date 2024-06-01 06:00:00
card formatted 4G 2
# How the days go.
season pir-per-day 6
season night-share 0.4
season burst-share 0.3
season timelapse every 6h
season sync at 12:00
season config-change every 3
season queries-per-day 0.3
season format-share 0.1
season deer-at-sync 0.2
season temperature 14 8
# The faults of the field: the chance of each in a wake-up it fits (the Modem's: syncs only).
season fault power-cut 0.03
season fault card-cut 0.02
season fault card-dirty 0.02
season fault card-pulled 0.01
season fault modem-silent 0.03
season fault modem-no-signal 0.03
season fault modem-garbling 0.03
season fault modem-reboot 0.02
season fault mcu-late 0.02
season fault mcu-garbling 0.02
season fault hostile-server 0.05
season fault card-readonly 0.01
# Four lithium AA cells in series, 3000 mAh each, two banks.
season battery 6000
)";

constexpr int64_t kDayMs = 86400000;

// Deterministic draws from the seed: splitmix64 and distributions written here, so that the same
// seed gives the same season whatever the standard library.
class Draws {
 public:
  explicit Draws(uint64_t seed) : state_(seed) {}
  uint64_t next() {
    uint64_t z = (state_ += 0x9e3779b97f4a7c15ULL);
    z = (z ^ (z >> 30)) * 0xbf58476d1ce4e5b9ULL;
    z = (z ^ (z >> 27)) * 0x94d049bb133111ebULL;
    return z ^ (z >> 31);
  }
  double unit() { return static_cast<double>(next() >> 11) * 0x1.0p-53; }
  int64_t below(int64_t n) { return n <= 0 ? 0 : static_cast<int64_t>(unit() * n); }
  bool chance(double p) { return unit() < p; }
  // A Poisson count around `mean` (Knuth's method; means here are small).
  int count_around(double mean) {
    const double limit = std::exp(-mean);
    int k = 0;
    for (double p = unit(); p > limit; p *= unit()) {
      ++k;
    }
    return k;
  }

 private:
  uint64_t state_;
};

int fail(std::string* ret_error, std::string_view source, int line, const std::string& what) {
  if (ret_error != nullptr) {
    *ret_error = std::string(source) + ":" + std::to_string(line) + ": " + what;
  }
  return -1;
}

bool parse_real(const std::string& text, double low, double high, double* ret_value) {
  char* end = nullptr;
  const double value = std::strtod(text.c_str(), &end);
  if (text.empty() || *end != '\0' || !(value >= low && value <= high)) {
    return false;
  }
  *ret_value = value;
  return true;
}

std::vector<std::string> words_of(const std::string& line) {
  std::istringstream in(line);
  std::vector<std::string> words;
  for (std::string word; in >> word;) {
    words.push_back(word);
  }
  return words;
}

// One season line (the words after "season"). Empty string: good; else what is wrong.
std::string parse_season_line(const std::vector<std::string>& w, Profile* profile) {
  const std::size_t n = w.size();
  const std::string& what = n > 0 ? w[0] : std::string();
  double value = 0;
  if (what == "pir-per-day" && n == 2 && parse_real(w[1], 0, 200, &value)) {
    profile->pirPerDay = value;
  } else if (what == "night-share" && n == 2 && parse_real(w[1], 0, 1, &value)) {
    profile->nightShare = value;
  } else if (what == "burst-share" && n == 2 && parse_real(w[1], 0, 1, &value)) {
    profile->burstShare = value;
  } else if (what == "timelapse" && n == 2 && w[1] == "off") {
    profile->timelapseEveryS = 0;
  } else if (what == "timelapse" && n == 3 && w[1] == "every") {
    std::chrono::milliseconds every{};
    if (!sim::board::parse_duration(w[2], &every) || every < std::chrono::minutes(10)) {
      return "season timelapse every TIME (10m or more) | season timelapse off";
    }
    profile->timelapseEveryS = static_cast<int>(every.count() / 1000);
  } else if (what == "sync" && n == 3 && w[1] == "at") {
    int hour = -1;
    int minute = -1;
    if (std::sscanf(w[2].c_str(), "%d:%d", &hour, &minute) != 2 || hour < 0 || hour > 23 ||
        minute < 0 || minute > 59) {
      return "season sync at HH:MM";
    }
    profile->syncMinuteOfDay = hour * 60 + minute;
  } else if (what == "config-change" && n == 3 && w[1] == "every" &&
             parse_real(w[2], 0.1, 1000, &value)) {
    profile->configChangeEveryDays = value;
  } else if (what == "queries-per-day" && n == 2 && parse_real(w[1], 0, 20, &value)) {
    profile->queriesPerDay = value;
  } else if (what == "format-share" && n == 2 && parse_real(w[1], 0, 1, &value)) {
    profile->formatShare = value;
  } else if (what == "deer-at-sync" && n == 2 && parse_real(w[1], 0, 1, &value)) {
    profile->deerAtSync = value;
  } else if (what == "temperature" && n == 3 && parse_real(w[1], -40, 60, &value)) {
    profile->temperatureMean = value;
    if (!parse_real(w[2], 0, 40, &profile->temperatureSwing)) {
      return "season temperature MEAN SWING (degrees Celsius)";
    }
  } else if (what == "fault" && n == 3) {
    const auto info = std::find_if(kFaults.begin(), kFaults.end(),
                                   [&](const FaultInfo& f) { return f.name == w[1]; });
    if (info == kFaults.end()) {
      return "unknown fault " + w[1];
    }
    if (!parse_real(w[2], 0, 1, &value)) {
      return "season fault KIND RATE: the rate is a chance from 0 to 1";
    }
    profile->faultRates[static_cast<int>(info->fault)] = value;
  } else if (what == "current" && n == 3) {
    const auto entry = std::find_if(kDefaultDraws.begin(), kDefaultDraws.end(),
                                    [&](const DrawEntry& e) { return e.name == w[1]; });
    if (entry == kDefaultDraws.end() || !parse_real(w[2], 0, 10000, &value)) {
      return "season current NAME MILLIAMPS: NAME one of the power model's (asleep, processor, "
             "sensor, ir-leds, modem-searching, modem-transmitting, card-io)";
    }
    profile->draws[static_cast<int>(entry->draw)] = value;
  } else if (what == "battery" && n == 2 && parse_real(w[1], 1, 1e6, &value)) {
    profile->batteryMah = value;
  } else {
    return "not a season line (or a wrong value): season " + (n > 0 ? what : std::string());
  }
  return {};
}

std::string date_text(int64_t epochMs) {
  const time_t seconds = static_cast<time_t>(epochMs / 1000);
  tm parts{};
  gmtime_r(&seconds, &parts);
  char text[32];
  strftime(text, sizeof text, "%Y-%m-%d %H:%M:%S", &parts);
  return text;
}

std::string duration_text(int64_t ms) {
  return ms % 1000 == 0 ? std::to_string(ms / 1000) + "s" : std::to_string(ms) + "ms";
}

// What the plan keeps of the server between days.
struct ServerState {
  std::vector<std::string> lines;
  std::vector<std::string> passwords;
  bool video = false;
  int minFreeMb = 100;
};

// A configuration change the server makes: one field, drawn.
void change_configuration(Draws& draws, ServerState* server, std::vector<std::string>* before) {
  std::string line;
  switch (draws.below(7)) {
    case 0:
      server->video = !server->video;
      line = std::string("server config captureMode ") + (server->video ? "1" : "0");
      break;
    case 1:
      line = "server config multishot " + std::to_string(1 + draws.below(3));
      break;
    case 2:
      line = "server config timelapseDelay " + std::to_string(30 + 30 * draws.below(4));
      break;
    case 3:
      line = "server config syncFrequency " + std::to_string(1 + draws.below(2));
      break;
    case 4:
      line = "server config videoLength " + std::to_string(5 + 5 * draws.below(3));
      break;
    case 5:
      line = "server config pirSensitivity " + std::to_string(1 + draws.below(3));
      break;
    default: {
      const std::string password = "field" + std::to_string(1000 + draws.below(9000));
      server->passwords.push_back(password);
      line = "server password " + password;
      break;
    }
  }
  server->lines.push_back(line);
  before->push_back(line);
}

// Values a hostile server sends: out of range numbers and shell characters in the password.
void hostile_configuration(Draws& draws, ServerState* server, std::vector<std::string>* before) {
  static constexpr std::array<std::string_view, 5> kHostile = {
      "server config pirSensitivity 250",    "server config videoLength 4000000000",
      "server config multishot 0",           "server config timelapseDelay 0",
      "server password x;reboot$(halt)`id`",
  };
  const std::string line(kHostile[draws.below(kHostile.size())]);
  if (line.starts_with("server password ")) {
    server->passwords.push_back(line.substr(16));
  }
  server->lines.push_back(line);
  before->push_back(line);
}

// About how long the camera stays awake in a wake-up of each kind on the board, without
// faults (seed 7's 30-day season: a PIR wake-up 1.7 s, a time-lapse 2.4 s, a sync or query
// 20 s before a Modem's delays). A moment "while awake" is drawn within it: a power cut drawn
// over the whole budget fell after the handshake in 12 wake-ups of 13, where nothing is left
// to cut.
constexpr std::array<int64_t, static_cast<int>(WakeKind::kCount)> kAwakeMs = {
    1700,   // pir
    7000,   // video
    2400,   // timelapse
    20000,  // sync
    20000,  // query
};

int64_t awake_ms(WakeKind kind) {
  return kAwakeMs[static_cast<int>(kind)];
}

void add_fault(Draws& draws, Fault fault, PlannedWake* wake, ServerState* server) {
  const int64_t awakeMs = awake_ms(wake->kind);
  switch (fault) {
    case Fault::kPowerCut:
      // Any step can be struck: capture, post-processing, the move from the secondary, a
      // format or repair, the sync, the packing of the logs.
      wake->events.push_back({200 + draws.below(awakeMs), "power-cut"});
      break;
    case Fault::kCardCut:
      wake->before.push_back("card cut-power 1 " + std::to_string(8 + draws.below(4096)) + "K");
      break;
    case Fault::kCardFull:
      wake->before.push_back("card full 1");
      break;
    case Fault::kCardDirty:
      wake->before.push_back("card dirty 1");
      break;
    case Fault::kCardPulled: {
      const int64_t at = 200 + draws.below(awakeMs);
      wake->events.push_back({at, "card pull"});
      wake->events.push_back({at + 3000 + draws.below(10000), "card insert"});
      break;
    }
    case Fault::kModemSilent:
      wake->before.push_back("modem fault no-answer count " + std::to_string(2 + draws.below(6)));
      break;
    case Fault::kModemNoSignal:
      wake->before.push_back("modem searching forever");
      break;
    case Fault::kModemGarbling:
      wake->before.push_back("modem fault garbage bytes " + std::to_string(4 + draws.below(28)) +
                             " count " + std::to_string(1 + draws.below(3)));
      break;
    case Fault::kModemReboot:
      wake->before.push_back("modem reboot mid-sync");
      break;
    case Fault::kMcuLate:
      wake->before.push_back("fault mcu late-answer delay " + std::to_string(1 + draws.below(4)) +
                             "s count 1");
      break;
    case Fault::kMcuGarbling:
      wake->before.push_back("fault mcu garbage bytes " + std::to_string(2 + draws.below(14)) +
                             " count " + std::to_string(1 + draws.below(2)));
      break;
    case Fault::kHostileServer:
      hostile_configuration(draws, server, &wake->before);
      break;
    case Fault::kCardReadOnly:
      // The card's write-protect switch: it locks the whole card.
      wake->before.push_back("card readonly 1");
      wake->before.push_back("card readonly 2");
      break;
    case Fault::kCount:
      return;
  }
  wake->faults.push_back(fault);
}

bool is_night(int64_t epochMs) {
  const int hour = static_cast<int>((epochMs % kDayMs) / 3600000);
  return hour < 6 || hour >= 20;
}

// The scene, light and temperature at the moment of a wake-up.
void set_scene(const Profile& profile, bool deer, PlannedWake* wake) {
  wake->night = is_night(wake->epochMs);
  const double hours = static_cast<double>(wake->epochMs % kDayMs) / 3600000.0;
  const double temperature =
      profile.temperatureMean + profile.temperatureSwing * std::sin((hours - 9.0) * M_PI / 12.0);
  const char* light = wake->night ? "night" : "day";
  wake->before.push_back(std::string("scene ") + light);
  wake->before.push_back(std::string("mcu ") + light);
  wake->before.push_back("temperature " + std::to_string(std::lround(temperature)));
  wake->before.push_back(deer ? "scene crossing deer 8" : "scene crossing none");
}

}  // namespace

std::string_view default_profile_text() {
  return kDefaultProfile;
}

std::string_view wake_kind_name(WakeKind kind) {
  static constexpr std::array<std::string_view, static_cast<int>(WakeKind::kCount)> kNames = {
      "pir", "video", "timelapse", "sync", "query"};
  return kNames[static_cast<int>(kind)];
}

int parse_profile(std::string_view text, std::string_view sourceName, Profile* ret_profile,
                  std::string* ret_error) {
  Profile profile;
  for (const FaultInfo& info : kFaults) {
    profile.faultRates[static_cast<int>(info.fault)] = info.defaultRate;
  }
  std::istringstream lines{std::string(text)};
  int number = 0;
  for (std::string line; std::getline(lines, line);) {
    ++number;
    const std::vector<std::string> words = words_of(line.substr(0, line.find('#')));
    if (words.empty()) {
      continue;
    }
    if (words[0] == "season") {
      const std::string wrong = parse_season_line({words.begin() + 1, words.end()}, &profile);
      if (!wrong.empty()) {
        return fail(ret_error, sourceName, number, wrong);
      }
      continue;
    }
    if (words[0] == "wake" || words[0] == "at" || words[0] == "asleep") {
      return fail(ret_error, sourceName, number,
                  "a profile has set-up lines and season lines; the season makes the wake-ups");
    }
    if (words[0] == "date") {
      const std::string date = line.substr(line.find("date") + 5);
      if (!sim::board::parse_date_time(words.size() == 3 ? words[1] + " " + words[2] : date,
                                       &profile.startEpochMs)) {
        return fail(ret_error, sourceName, number, "date DATE TIME");
      }
    }
    profile.setup += line + "\n";
  }
  *ret_profile = std::move(profile);
  return 0;
}

SeasonPlan plan_season(const Profile& profile, uint64_t seed, int days) {
  SeasonPlan plan;
  plan.seed = seed;
  plan.days = days;
  Draws draws(seed);
  // Deer at the sync come from a stream of their own, so that a profile that changes their
  // share leaves every other draw of the season (and so its seeds' stories) as it was.
  Draws syncDeer(seed ^ 0x5ee0dee5a7c0ULL);
  // So do the faults drawn apart (see FaultInfo).
  Draws apart(seed ^ 0x10c4ed5d0ca7dULL);
  ServerState server;
  const int64_t firstMidnight = profile.startEpochMs - profile.startEpochMs % kDayMs;
  for (int day = 0; day < days; ++day) {
    const int64_t midnight = firstMidnight + day * kDayMs;
    std::vector<PlannedWake> wakes;
    const auto add = [&](int64_t at, WakeKind kind, std::string reason, int limitS) {
      PlannedWake wake;
      wake.day = day;
      wake.epochMs = at;
      wake.kind = kind;
      wake.reason = std::move(reason);
      wake.limitS = limitS;
      wakes.push_back(std::move(wake));
      return &wakes.back();
    };
    // Deer: by day between 06:00 and 20:00, by night between 20:00 and 06:00.
    for (int n = draws.count_around(profile.pirPerDay); n > 0; --n) {
      const bool night = draws.chance(profile.nightShare);
      const int64_t offset = night ? 20 * 3600000LL + draws.below(10 * 3600000LL) % kDayMs
                                   : 6 * 3600000LL + draws.below(14 * 3600000LL);
      const bool burst = draws.chance(profile.burstShare);
      PlannedWake* wake = add(midnight + offset % kDayMs, WakeKind::kPir, "pir", 90);
      if (burst) {
        // The second detection comes while the first one's pictures are taken.
        wake->events.push_back({200 + draws.below(awake_ms(WakeKind::kPir) - 200), "pir"});
      }
    }
    for (int64_t t = 1800000; profile.timelapseEveryS > 0 && t < kDayMs;
         t += profile.timelapseEveryS * 1000LL) {
      add(midnight + t, WakeKind::kTimelapse, "timelapse", 60);
    }
    PlannedWake* daily =
        add(midnight + profile.syncMinuteOfDay * 60000LL, WakeKind::kSync, "daily-sync", 420);
    if (draws.chance(1.0 / profile.configChangeEveryDays)) {
      change_configuration(draws, &server, &daily->before);
    }
    if (syncDeer.chance(profile.deerAtSync)) {
      // The Modem uploads for a minute before it gives the card back; the deer pass meanwhile,
      // so the camera photographs (or films) while its card is lent.
      daily->before.push_back(
          "modem fault late-answer return_camera_sd_card_control_request delay 60s count 1");
      daily->before.push_back("scene crossing deer 8");
      const int64_t first = 20000 + syncDeer.below(30000);
      daily->events.push_back({first, "pir"});
      if (syncDeer.chance(0.5)) {
        daily->events.push_back({first + 30000 + syncDeer.below(20000), "pir"});
      }
    }
    for (int n = draws.count_around(profile.queriesPerDay); n > 0; --n) {
      PlannedWake* query = add(midnight + 7 * 3600000LL + draws.below(12 * 3600000LL),
                               WakeKind::kQuery, "sync", 420);
      static constexpr std::array<int, 4> kQueries = {0, 1, 4, 5};
      query->formatAsked = draws.chance(profile.formatShare);
      const int type = query->formatAsked ? 2 : kQueries[draws.below(kQueries.size())];
      query->before.push_back("modem query " + std::to_string(type));
    }
    std::stable_sort(wakes.begin(), wakes.end(), [](const PlannedWake& a, const PlannedWake& b) {
      return a.epochMs < b.epochMs;
    });
    for (PlannedWake& wake : wakes) {
      if (wake.epochMs < profile.startEpochMs) {
        continue;  // before the season starts on its first day
      }
      // A wake-up starts a minute after the budget of the one before at the latest.
      if (!plan.wakes.empty()) {
        const PlannedWake& last = plan.wakes.back();
        wake.epochMs =
            std::max<int64_t>(wake.epochMs, last.epochMs + last.limitS * int64_t{1000} + 60000);
      }
      if (wake.kind == WakeKind::kPir && server.video) {
        wake.kind = WakeKind::kVideo;
        wake.limitS = 150;
      }
      const bool sync = wake.kind == WakeKind::kSync || wake.kind == WakeKind::kQuery;
      std::vector<std::string> own = std::move(wake.before);
      wake.before.clear();
      set_scene(profile, wake.kind == WakeKind::kPir || wake.kind == WakeKind::kVideo, &wake);
      wake.before.insert(wake.before.end(), own.begin(), own.end());
      for (const FaultInfo& info : kFaults) {
        const double rate = profile.faultRates[static_cast<int>(info.fault)];
        Draws& from = info.drawnApart ? apart : draws;
        if (rate > 0 && (sync || !info.syncOnly) && from.chance(rate)) {
          add_fault(from, info.fault, &wake, &server);
        }
      }
      std::stable_sort(wake.events.begin(), wake.events.end(),
                       [](const TimedLine& a, const TimedLine& b) { return a.atMs < b.atMs; });
      wake.serverLines = server.lines;
      wake.passwords = server.passwords;
      wake.minFreeMb = server.minFreeMb;
      plan.wakes.push_back(std::move(wake));
    }
  }
  return plan;
}

std::string wake_scenario_text(const PlannedWake& wake) {
  std::string text = "# day " + std::to_string(wake.day + 1) + ", " + date_text(wake.epochMs) +
                     ": " + std::string(wake_kind_name(wake.kind));
  for (std::size_t i = 0; i < wake.faults.size(); ++i) {
    text += (i == 0 ? "; faults: " : ", ") +
            std::string(kFaults[static_cast<int>(wake.faults[i])].name);
  }
  text += "\n";
  for (const std::string& line : wake.before) {
    text += line + "\n";
  }
  text += "wake " + wake.reason + " for " + std::to_string(wake.limitS) + "s\n";
  for (const TimedLine& event : wake.events) {
    text += "at " + duration_text(event.atMs) + " " + event.line + "\n";
  }
  return text;
}

std::string plan_text(const SeasonPlan& plan) {
  std::string text = "# season of " + std::to_string(plan.days) + " day(s), seed " +
                     std::to_string(plan.seed) + "\n";
  for (const PlannedWake& wake : plan.wakes) {
    text += "\n" + wake_scenario_text(wake);
  }
  return text;
}

}  // namespace sim::season
