// The season's report: season.json (the figures) and season.html (one page, its plots inline
// SVG drawn here, no script).
#include <algorithm>
#include <array>
#include <cstdio>
#include <fstream>
#include <iterator>
#include <map>
#include <sstream>

#include "sim/season/season_run.h"

#include <nlohmann/json.hpp>

namespace sim::season {

namespace {

constexpr int kKinds = static_cast<int>(WakeKind::kCount);

struct DayFigures {
  int wakes = 0;
  int pictures = 0;
  int videos = 0;
  double cardFill = 0;
  std::array<double, kKinds> awakeByKind{};
  std::map<std::string, int> faults;
  double chargeMah = 0;
};

std::vector<DayFigures> day_figures(const SeasonResult& result) {
  std::vector<DayFigures> days(static_cast<std::size_t>(std::max(result.plan.days, 0)));
  double fill = 0;
  for (const WakeRecord& wake : result.wakes) {
    DayFigures& day = days.at(static_cast<std::size_t>(wake.day));
    ++day.wakes;
    day.pictures += wake.pictures;
    day.videos += wake.videos;
    fill = wake.cardFill;
    day.cardFill = fill;
    day.awakeByKind[static_cast<int>(wake.kind)] += wake.awakeS;
    for (const std::string& fault : wake.faults) {
      ++day.faults[fault];
    }
    day.chargeMah += wake.chargeMah;
  }
  return days;
}

std::string escape(const std::string& text) {
  std::string out;
  for (const char c : text) {
    switch (c) {
      case '<':
        out += "&lt;";
        break;
      case '>':
        out += "&gt;";
        break;
      case '&':
        out += "&amp;";
        break;
      case '"':
        out += "&quot;";
        break;
      default:
        out += c;
    }
  }
  return out;
}

std::string number(double value, int decimals = 1) {
  char text[64];
  snprintf(text, sizeof text, "%.*f", decimals, value);
  return text;
}

// A bar chart: one group of bars per label, one bar per series, stacked side by side.
std::string svg_bars(const std::string& title, const std::vector<std::string>& labels,
                     const std::vector<std::pair<std::string, std::vector<double>>>& series,
                     const std::string& unit) {
  static constexpr std::array<const char*, 6> kColours = {"#3b6ea5", "#e08a2c", "#4e9a4e",
                                                          "#a33f3f", "#7d5ba6", "#777777"};
  constexpr int kWidth = 720;
  constexpr int kHeight = 240;
  constexpr int kLeft = 56;
  constexpr int kBottom = 36;
  constexpr int kTop = 28;
  double top = 0;
  for (const auto& [name, values] : series) {
    for (const double v : values) {
      top = std::max(top, v);
    }
  }
  top = top <= 0 ? 1 : top * 1.1;
  const double plotWidth = kWidth - kLeft - 10;
  const double plotHeight = kHeight - kBottom - kTop;
  const double group = labels.empty() ? plotWidth : plotWidth / static_cast<double>(labels.size());
  const double bar = group * 0.8 / static_cast<double>(std::max<std::size_t>(series.size(), 1));
  std::ostringstream svg;
  svg << "<svg xmlns='http://www.w3.org/2000/svg' width='" << kWidth << "' height='" << kHeight
      << "' font-family='sans-serif' font-size='11'>\n<text x='" << kLeft << "' y='16' "
      << "font-size='13' font-weight='bold'>" << escape(title) << "</text>\n";
  svg << "<line x1='" << kLeft << "' y1='" << kTop + plotHeight << "' x2='" << kWidth - 10
      << "' y2='" << kTop + plotHeight << "' stroke='black'/>\n";
  for (int tick = 0; tick <= 4; ++tick) {
    const double value = top * tick / 4.0;
    const double y = kTop + plotHeight - plotHeight * tick / 4.0;
    svg << "<text x='" << kLeft - 4 << "' y='" << y + 4 << "' text-anchor='end'>"
        << number(value, top < 10 ? 2 : 0) << "</text><line x1='" << kLeft << "' y1='" << y
        << "' x2='" << kWidth - 10 << "' y2='" << y << "' stroke='#ddd'/>\n";
  }
  svg << "<text x='12' y='" << kTop + plotHeight / 2 << "' transform='rotate(-90 12 "
      << kTop + plotHeight / 2 << ")' text-anchor='middle'>" << escape(unit) << "</text>\n";
  for (std::size_t i = 0; i < labels.size(); ++i) {
    const double x0 = kLeft + group * static_cast<double>(i) + group * 0.1;
    for (std::size_t s = 0; s < series.size(); ++s) {
      const double value = i < series[s].second.size() ? series[s].second[i] : 0;
      const double height = plotHeight * value / top;
      svg << "<rect x='" << number(x0 + bar * static_cast<double>(s)) << "' y='"
          << number(kTop + plotHeight - height) << "' width='" << number(bar) << "' height='"
          << number(height) << "' fill='" << kColours[s % kColours.size()] << "'><title>"
          << escape(series[s].first) << ": " << number(value, 2) << "</title></rect>\n";
    }
    if (labels.size() <= 40 || i % (labels.size() / 20 + 1) == 0) {
      svg << "<text x='" << number(x0 + group * 0.4) << "' y='" << kTop + plotHeight + 14
          << "' text-anchor='middle'>" << escape(labels[i]) << "</text>\n";
    }
  }
  double legendX = kLeft;
  for (std::size_t s = 0; s < series.size() && series.size() > 1; ++s) {
    svg << "<rect x='" << legendX << "' y='" << kHeight - 12 << "' width='10' height='10' fill='"
        << kColours[s % kColours.size()] << "'/><text x='" << legendX + 14 << "' y='" << kHeight - 3
        << "'>" << escape(series[s].first) << "</text>\n";
    legendX += 24 + 7 * static_cast<double>(series[s].first.size());
  }
  svg << "</svg>\n";
  return svg.str();
}

std::string base64(const std::string& bytes) {
  static constexpr char kDigits[] =
      "ABCDEFGHIJKLMNOPQRSTUVWXYZabcdefghijklmnopqrstuvwxyz0123456789+/";
  std::string out;
  std::size_t i = 0;
  for (; i + 2 < bytes.size(); i += 3) {
    const uint32_t n = static_cast<uint8_t>(bytes[i]) << 16 |
                       static_cast<uint8_t>(bytes[i + 1]) << 8 | static_cast<uint8_t>(bytes[i + 2]);
    out += {kDigits[n >> 18], kDigits[(n >> 12) & 63], kDigits[(n >> 6) & 63], kDigits[n & 63]};
  }
  if (i + 1 == bytes.size()) {
    const uint32_t n = static_cast<uint8_t>(bytes[i]) << 16;
    out += {kDigits[n >> 18], kDigits[(n >> 12) & 63], '=', '='};
  } else if (i + 2 == bytes.size()) {
    const uint32_t n = static_cast<uint8_t>(bytes[i]) << 16 | static_cast<uint8_t>(bytes[i + 1])
                                                                  << 8;
    out += {kDigits[n >> 18], kDigits[(n >> 12) & 63], kDigits[(n >> 6) & 63], '='};
  }
  return out;
}

// The tile as an image inside the page.
std::string inline_png(const std::string& path) {
  std::ifstream in(path, std::ios::binary);
  const std::string bytes{std::istreambuf_iterator<char>(in), std::istreambuf_iterator<char>()};
  return bytes.empty() ? std::string()
                       : "<img alt='' src='data:image/png;base64," + base64(bytes) + "'>";
}

}  // namespace

int write_season_report(const SeasonResult& result, const SeasonOptions& options,
                        const std::string& dir) {
  const std::vector<DayFigures> days = day_figures(result);
  // Energy by wake-up kind (the awake part; the sleep is counted on its own).
  std::array<double, kKinds> kindCharge{};
  std::array<int, kKinds> kindCount{};
  std::array<double, kKinds> kindAwake{};
  double asleepCharge = 0;
  double totalCharge = 0;
  for (const WakeRecord& wake : result.wakes) {
    DrawSeconds awake = wake.draws;
    awake[static_cast<int>(Draw::kAsleep)] = 0;
    const double charge = charge_mah(result.profile.draws, awake);
    kindCharge[static_cast<int>(wake.kind)] += charge;
    ++kindCount[static_cast<int>(wake.kind)];
    kindAwake[static_cast<int>(wake.kind)] += wake.awakeS;
    asleepCharge += wake.chargeMah - charge;
    totalCharge += wake.chargeMah;
  }
  const int daysLived = result.wakes.empty() ? 0 : result.wakes.back().day + 1;
  const double perDay = daysLived > 0 ? totalCharge / daysLived : 0;
  const double batteryDays = perDay > 0 ? result.profile.batteryMah / perDay : 0;

  nlohmann::json json;
  json["seed"] = options.seed;
  json["days"] = options.days;
  json["profile"] = options.profileName;
  json["wake_ups"] = result.wakes.size();
  json["host_seconds"] = result.hostSeconds;
  json["host_seconds_per_day"] = daysLived > 0 ? result.hostSeconds / daysLived : 0;
  json["ledger_files"] = result.ledgerSize;
  json["removed_by_oldest_media_rule"] = result.removedByRule;
  json["removed_by_format"] = result.removedByFormat;
  json["findings"] = nlohmann::json::array();
  for (const Finding& finding : result.findings) {
    json["findings"].push_back({{"invariant", finding.invariant}, {"text", finding.text}});
  }
  if (result.failedWake != 0) {
    json["failed_wake_up"] = result.failedWake;
    json["failed_day"] = result.wakes.back().day + 1;
  }
  nlohmann::json energy;
  energy["note"] = "figures of the board's power model (sim/season/power_model.h), not measured";
  energy["battery_mah"] = result.profile.batteryMah;
  energy["mah_per_day"] = perDay;
  energy["days_of_battery"] = batteryDays;
  energy["asleep_mah"] = asleepCharge;
  for (int k = 0; k < kKinds; ++k) {
    const std::string name(wake_kind_name(static_cast<WakeKind>(k)));
    energy["mah_per_wake_up"][name] = kindCount[k] > 0 ? kindCharge[k] / kindCount[k] : 0;
  }
  for (const DrawEntry& entry : kDefaultDraws) {
    energy["currents_ma"][std::string(entry.name)] =
        result.profile.draws[static_cast<int>(entry.draw)];
  }
  json["energy"] = energy;
  for (std::size_t d = 0; d < days.size(); ++d) {
    const DayFigures& day = days[d];
    nlohmann::json entry{
        {"day", d + 1},         {"wake_ups", day.wakes},     {"pictures", day.pictures},
        {"videos", day.videos}, {"card_fill", day.cardFill}, {"mah", day.chargeMah},
        {"faults", day.faults}};
    for (int k = 0; k < kKinds; ++k) {
      entry["awake_seconds"][std::string(wake_kind_name(static_cast<WakeKind>(k)))] =
          day.awakeByKind[k];
    }
    json["per_day"].push_back(entry);
  }
  for (const WakeRecord& wake : result.wakes) {
    json["wake_ups_detail"].push_back({{"n", wake.index},
                                       {"day", wake.day + 1},
                                       {"kind", wake_kind_name(wake.kind)},
                                       {"epoch_ms", wake.epochMs},
                                       {"awake_s", wake.awakeS},
                                       {"end", wake.end},
                                       {"faults", wake.faults},
                                       {"pictures", wake.pictures},
                                       {"videos", wake.videos},
                                       {"mah", wake.chargeMah},
                                       {"host_s", wake.hostS}});
  }
  std::ofstream jsonFile(dir + "/season.json");
  jsonFile << json.dump(1) << "\n";

  std::vector<std::string> labels;
  std::vector<double> pictures;
  std::vector<double> videos;
  std::vector<double> fill;
  std::vector<double> faults;
  std::vector<double> charge;
  std::vector<std::pair<std::string, std::vector<double>>> awake(kKinds);
  for (int k = 0; k < kKinds; ++k) {
    awake[k].first = wake_kind_name(static_cast<WakeKind>(k));
  }
  for (std::size_t d = 0; d < days.size(); ++d) {
    labels.push_back(std::to_string(d + 1));
    pictures.push_back(days[d].pictures);
    videos.push_back(days[d].videos);
    fill.push_back(days[d].cardFill * 100);
    int count = 0;
    for (const auto& [name, n] : days[d].faults) {
      count += n;
    }
    faults.push_back(count);
    charge.push_back(days[d].chargeMah);
    for (int k = 0; k < kKinds; ++k) {
      awake[k].second.push_back(days[d].awakeByKind[k]);
    }
  }
  std::ofstream html(dir + "/season.html");
  html << "<!DOCTYPE html>\n<html><head><meta charset='utf-8'><title>Season, seed " << options.seed
       << "</title>\n<style>body{font-family:sans-serif;max-width:60em;margin:1em auto}"
          "table{border-collapse:collapse}td,th{border:1px solid #ccc;padding:2px 6px}"
          ".bad{color:#a00;font-weight:bold}.ok{color:#060}</style></head><body>\n";
  html << "<h1>Season of " << options.days << " day(s), seed " << options.seed << "</h1>\n<p>"
       << escape(options.profileName) << "; " << result.wakes.size() << " wake-up(s) lived in "
       << number(result.hostSeconds, 0) << " s of host time.</p>\n";
  if (result.findings.empty()) {
    html << "<p class='ok'>Every invariant held after every wake-up (" << result.ledgerSize
         << " media files in the ledger; " << result.removedByRule
         << " removed by the oldest-media rule, " << result.removedByFormat
         << " by requested formats).</p>\n";
  } else {
    html << "<p class='bad'>Broken on day " << result.wakes.back().day + 1 << ", wake-up "
         << result.failedWake << ":</p><ul>\n";
    for (const Finding& finding : result.findings) {
      html << "<li>invariant " << finding.invariant << ": " << escape(finding.text) << "</li>\n";
    }
    html << "</ul><p>Reproducer: <code>reproducer/replay.scenario</code>.</p>\n";
  }
  html << svg_bars("Pictures and videos per day", labels,
                   {{"pictures", pictures}, {"videos", videos}}, "files");
  html << svg_bars("Card fill at the end of each day (primary partition)", labels, {{"fill", fill}},
                   "%");
  html << svg_bars("Awake seconds per wake-up kind, per day", labels, awake, "s");
  html << svg_bars("Faults injected per day (all survived unless marked above)", labels,
                   {{"faults", faults}}, "faults");
  html << svg_bars("Charge per day (power model)", labels, {{"mAh", charge}}, "mAh");
  html << "<h2>Energy (the power model's figures, not measurements)</h2>\n<table><tr><th>wake-up "
          "kind</th><th>wake-ups</th><th>awake s (mean)</th><th>mAh per wake-up</th></tr>\n";
  for (int k = 0; k < kKinds; ++k) {
    if (kindCount[k] == 0) {
      continue;
    }
    html << "<tr><td>" << wake_kind_name(static_cast<WakeKind>(k)) << "</td><td>" << kindCount[k]
         << "</td><td>" << number(kindAwake[k] / kindCount[k]) << "</td><td>"
         << number(kindCharge[k] / kindCount[k], 3) << "</td></tr>\n";
  }
  html << "</table>\n<p>Asleep: " << number(asleepCharge, 2)
       << " mAh. Per day: " << number(perDay, 2) << " mAh; a "
       << number(result.profile.batteryMah, 0) << " mAh battery lasts about "
       << number(batteryDays, 0)
       << " days by the model.</p>\n<h2>Faults</h2><table><tr><th>day</th><th>faults "
          "injected</th></tr>\n";
  for (std::size_t d = 0; d < days.size(); ++d) {
    std::string list;
    for (const auto& [name, n] : days[d].faults) {
      list += (list.empty() ? "" : ", ") + name + (n > 1 ? " x" + std::to_string(n) : "");
    }
    html << "<tr><td>" << d + 1 << "</td><td>" << escape(list.empty() ? "none" : list)
         << "</td></tr>\n";
  }
  html << "</table>\n<h2>Contact sheets</h2>\n";
  for (std::size_t d = 0; d < days.size(); ++d) {
    std::string tiles;
    for (const WakeRecord& wake : result.wakes) {
      for (const std::string& tile : wake.tiles) {
        tiles += static_cast<std::size_t>(wake.day) == d ? inline_png(tile) : std::string();
      }
    }
    html << "<h3>Day " << d + 1 << "</h3>\n<div>" << (tiles.empty() ? "no new photos" : tiles)
         << "</div>\n";
  }
  html << "</body></html>\n";
  return jsonFile && html ? 0 : -1;
}

}  // namespace sim::season
