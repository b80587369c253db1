// The season's report: season.json (the figures), plots/ (each plot's data, gnuplot script and
// the SVG gnuplot draws from them) and season.html (one page, the plots inline, no script).
#include "sim/season/season_report.h"

#include <regex.h>

#include <algorithm>
#include <array>
#include <cstdio>
#include <filesystem>
#include <fstream>
#include <iterator>
#include <map>
#include <string_view>
#include <vector>

#include "sim/card/card_image.h"
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

// A chart of the report: one group of bars per day, one bar per series. gnuplot draws it from
// plots/<name>.dat with plots/<name>.gp into plots/<name>.svg.
struct Chart {
  std::string_view name;  // also the SVG's name, so a gnuplot identifier
  std::string_view title;
  std::string_view unit;
  std::vector<std::string> series;
  double (*value)(const DayFigures& day, std::size_t series);
};

std::vector<Chart> charts() {
  std::vector<std::string> kinds;
  for (int k = 0; k < kKinds; ++k) {
    kinds.emplace_back(wake_kind_name(static_cast<WakeKind>(k)));
  }
  return {
      {"pictures",
       "Pictures and videos per day",
       "files",
       {"pictures", "videos"},
       [](const DayFigures& day, std::size_t s) -> double {
         return s == 0 ? day.pictures : day.videos;
       }},
      {"fill",
       "Card fill at the end of each day (primary partition)",
       "%",
       {"fill"},
       [](const DayFigures& day, std::size_t) { return day.cardFill * 100; }},
      {"awake", "Awake seconds per wake-up kind, per day", "s", kinds,
       [](const DayFigures& day, std::size_t s) { return day.awakeByKind.at(s); }},
      {"faults",
       "Faults injected per day (all survived unless marked above)",
       "faults",
       {"faults"},
       [](const DayFigures& day, std::size_t) {
         double count = 0;
         for (const auto& [name, n] : day.faults) {
           count += n;
         }
         return count;
       }},
      {"charge",
       "Charge per day (power model)",
       "mAh",
       {"mAh"},
       [](const DayFigures& day, std::size_t) { return day.chargeMah; }},
  };
}

// The data and the script, written so that `gnuplot NAME.gp` in plots/ draws the chart again.
int write_chart_files(const Chart& chart, const std::vector<DayFigures>& days,
                      const std::string& base) {
  std::ofstream data(base + ".dat");
  data << "\"day\"";
  for (const std::string& series : chart.series) {
    data << " \"" << series << "\"";
  }
  double top = 0;
  for (std::size_t d = 0; d < days.size(); ++d) {
    data << "\n" << d + 1;
    for (std::size_t s = 0; s < chart.series.size(); ++s) {
      const double value = chart.value(days[d], s);
      top = std::max(top, value);
      data << " " << number(value, 3);
    }
  }
  data << "\n";
  // The bars of a day stand side by side in 0.8 of its width; at most about 20 days are labelled.
  const std::size_t count = chart.series.size();
  const std::string width = number(0.8 / static_cast<double>(count), 4);
  const std::string name(chart.name);
  std::ofstream script(base + ".gp");
  // No `mouse` option: gnuplot's SVG then holds no script.
  script << "set terminal svg size 720,260 dynamic noenhanced font \"DejaVu Sans,10\" name \""
         << name << "\"\n"
         << "set output '" << name << ".svg'\n"
         << "set title \"" << chart.title << "\"\n"
         << "set ylabel \"" << chart.unit << "\"\n"
         << "set xlabel \"day\"\n"
         << "set xrange [0.5:" << days.size() << ".5]\n"
         << "set xtics 1, " << (days.size() + 19) / 20 << " out nomirror\n"
         << "set yrange [0:" << (top > 0 ? "*" : "1") << "]\n"
         << "set offsets 0, 0, graph 0.1, 0\n"
         << "set grid ytics\n"
         << "set style fill solid border -1\n"
         << "set boxwidth " << width << " absolute\n"
         << (count > 1 ? "set key outside right top\n" : "unset key\n")
         << "plot for [i=2:" << count + 1 << "] '" << name << ".dat' using ($1-0.4+(i-1.5)*"
         << width << "):i with boxes title columnheader(i)\n";
  return data && script ? 0 : -1;
}

// gnuplot's words on a failure: its last line holds the file, the line and the error.
std::string last_line(const std::string& text) {
  const std::size_t end = text.find_last_not_of(" \n");
  if (end == std::string::npos) {
    return "no message";
  }
  const std::size_t newline = text.rfind('\n', end);
  const std::size_t start = newline == std::string::npos ? 0 : newline + 1;
  return text.substr(start, end + 1 - start);
}

// Draws `chart` in `plotsDir` and returns its SVG to inline in the page, or "" with `ret_why`.
std::string draw_chart(const Chart& chart, const std::vector<DayFigures>& days,
                       const std::string& plotsDir, std::string* ret_why) {
  const std::string base = plotsDir + "/" + std::string(chart.name);
  if (write_chart_files(chart, days, base) != 0) {
    *ret_why = "cannot write " + base + ".dat and .gp";
    return "";
  }
  std::error_code error;
  std::filesystem::remove(base + ".svg", error);
  // gnuplot runs the script in plots/, where its file names are.
  std::string quoted;
  for (const char c : plotsDir) {
    quoted += c == '\'' ? std::string("''") : std::string(1, c);
  }
  std::string output;
  const int status = sim::card::run_program(
      {"gnuplot", "-e", "cd '" + quoted + "'", std::string(chart.name) + ".gp"}, &output);
  if (status == 127 && output.empty()) {
    *ret_why = "gnuplot could not be run (is it installed?)";
    return "";
  }
  if (status != 0) {
    *ret_why = "gnuplot failed (" + std::to_string(status) + "): " + last_line(output);
    return "";
  }
  std::ifstream in(base + ".svg");
  const std::string svg{std::istreambuf_iterator<char>(in), std::istreambuf_iterator<char>()};
  const std::size_t start = svg.find("<svg");
  if (start == std::string::npos) {
    *ret_why = "gnuplot left no SVG";
    return "";
  }
  // The page runs no script, and an inline SVG would run one: refuse and remove a plot that
  // carries any.
  if (svg_carries_script(svg)) {
    std::filesystem::remove(base + ".svg", error);
    *ret_why = "gnuplot's SVG held a script; it was removed";
    return "";
  }
  return svg.substr(start);
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
  json["removed_after_a_cut"] = result.removedAfterCut;
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
         << " by requested formats, " << result.removedAfterCut
         << " as what a cut left of a capture).</p>\n";
  } else {
    html << "<p class='bad'>Broken on day " << result.wakes.back().day + 1 << ", wake-up "
         << result.failedWake << ":</p><ul>\n";
    for (const Finding& finding : result.findings) {
      html << "<li>invariant " << finding.invariant << ": " << escape(finding.text) << "</li>\n";
    }
    html << "</ul><p>Reproducer: <code>reproducer/replay.scenario</code>.</p>\n";
  }
  // Each plot is inlined, so season.html stays one file that can be copied or mailed on its own
  // (its contact sheets are inline too); plots/ keeps the SVG with the data and script it came
  // from.
  const std::string plotsDir = dir + "/plots";
  std::error_code error;
  std::filesystem::create_directories(plotsDir, error);
  for (const Chart& chart : charts()) {
    std::string why;
    const std::string svg = draw_chart(chart, days, plotsDir, &why);
    if (svg.empty()) {
      html << "<p class='bad'>The plot \"" << chart.title
           << "\" could not be drawn: " << escape(why) << ". Its data and gnuplot script: plots/"
           << chart.name << ".dat, plots/" << chart.name << ".gp.</p>\n";
    } else {
      html << "<div>" << svg << "</div>\n";
    }
  }
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

bool svg_carries_script(const std::string& svg) {
  regex_t script;
  if (regcomp(&script, "<script|[[:space:]]on[a-z]+[[:space:]]*=",
              REG_EXTENDED | REG_ICASE | REG_NOSUB) != 0) {
    return true;  // cannot tell: refused as if it did
  }
  const bool found = regexec(&script, svg.c_str(), 0, nullptr, 0) == 0;
  regfree(&script);
  return found;
}

}  // namespace sim::season
