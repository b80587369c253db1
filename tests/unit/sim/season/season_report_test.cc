// The season's report: gnuplot draws its plots from the data and scripts it leaves in plots/, the
// page inlines them with no script, and without gnuplot the report is still written.
#include "sim/season/season_report.h"

#include <stdlib.h>

#include <array>
#include <string>
#include <vector>

#include <gtest/gtest.h>

#include "sim/season/season_run.h"

#include "tests/support/file_lines.h"

namespace sim::season {
namespace {

using test_support::read_file;

constexpr std::array<const char*, 5> kPlots = {"pictures", "fill", "awake", "faults", "charge"};

// Two days: a motion wake-up with three pictures on the first, a sync with a fault on the second.
SeasonResult two_days() {
  SeasonResult result;
  result.plan.days = 2;
  WakeRecord pir;
  pir.index = 1;
  pir.pictures = 3;
  pir.awakeS = 12;
  pir.cardFill = 0.25;
  pir.chargeMah = 1.5;
  WakeRecord sync = pir;
  sync.index = 2;
  sync.day = 1;
  sync.kind = WakeKind::kSync;
  sync.pictures = 0;
  sync.faults = {"modem-silent"};
  result.wakes = {pir, sync};
  return result;
}

std::size_t count(const std::string& text, const std::string& word) {
  std::size_t n = 0;
  for (std::size_t at = text.find(word); at != std::string::npos; at = text.find(word, at + 1)) {
    ++n;
  }
  return n;
}

TEST(SeasonReport, GnuplotDrawsEachPlotAndThePageInlinesThemWithoutScript) {
  test_support::TempDir dir;
  ASSERT_EQ(write_season_report(two_days(), SeasonOptions{}, dir.path()), 0);
  const std::string page = read_file(dir.path() + "/season.html");
  for (const char* name : kPlots) {
    const std::string base = dir.path() + "/plots/" + name;
    const std::string svg = read_file(base + ".svg");
    const std::size_t start = svg.find("<svg");
    ASSERT_NE(start, std::string::npos) << name;
    EXPECT_NE(svg.find("Produced by GNUPLOT"), std::string::npos) << name;
    EXPECT_EQ(svg.find("<script"), std::string::npos) << name;
    EXPECT_NE(read_file(base + ".gp").find("set output '" + std::string(name) + ".svg'"),
              std::string::npos);
    // The page holds gnuplot's drawing as it is in the file, after its XML declaration.
    EXPECT_NE(page.find(svg.substr(start)), std::string::npos) << name;
  }
  EXPECT_EQ(count(page, "<svg"), kPlots.size());
  EXPECT_EQ(count(page, "<script"), 0u);
  EXPECT_EQ(count(page, "could not be drawn"), 0u);
  const std::string awake = read_file(dir.path() + "/plots/awake.svg");
  for (const char* text :
       {"Awake seconds per wake-up kind, per day", "<text>s</text>", "pir", "timelapse"}) {
    EXPECT_NE(awake.find(text), std::string::npos) << text;
  }
  EXPECT_NE(read_file(dir.path() + "/plots/charge.svg").find("Charge per day (power model)"),
            std::string::npos);
  EXPECT_EQ(test_support::read_lines(dir.path() + "/plots/pictures.dat"),
            (std::vector<std::string>{"\"day\" \"pictures\" \"videos\"", "1 3.000 0.000",
                                      "2 0.000 0.000"}));
}

TEST(SeasonReport, WithoutGnuplotThePageSaysWhyEachPlotIsMissingAndKeepsItsFiles) {
  test_support::TempDir dir;
  test_support::TempDir emptyPath;
  const std::string path = getenv("PATH");
  setenv("PATH", emptyPath.path().c_str(), 1);
  const int written = write_season_report(two_days(), SeasonOptions{}, dir.path());
  setenv("PATH", path.c_str(), 1);
  ASSERT_EQ(written, 0);
  const std::string page = read_file(dir.path() + "/season.html");
  EXPECT_EQ(count(page, "could not be drawn: gnuplot could not be run"), kPlots.size());
  EXPECT_EQ(count(page, "<svg"), 0u);
  EXPECT_NE(page.find("<h2>Energy"), std::string::npos);
  EXPECT_FALSE(read_file(dir.path() + "/season.json").empty());
  for (const char* name : kPlots) {
    const std::string base = dir.path() + "/plots/" + name;
    EXPECT_NE(page.find("plots/" + std::string(name) + ".gp"), std::string::npos) << name;
    EXPECT_FALSE(read_file(base + ".dat").empty()) << name;
    EXPECT_FALSE(read_file(base + ".gp").empty()) << name;
  }
}

// A plot is refused when it would run a script inline: an element or an event attribute, in
// any letter case; words that merely contain "on" are not attributes.
TEST(SeasonReport, APlotThatWouldRunAScriptIsTold) {
  for (const char* svg : {"<svg><script>alert(1)</script></svg>", "<svg><SCRIPT src=x/></svg>",
                          "<svg onload=\"go()\">", "<svg><rect\tONCLICK = 'go()'/></svg>"}) {
    EXPECT_TRUE(svg_carries_script(svg)) << svg;
  }
  for (const char* svg : {"<svg><text>on battery</text></svg>", "<svg font=\"Iconic=1\">",
                          "<svg><desc>scripts run nowhere</desc></svg>"}) {
    EXPECT_FALSE(svg_carries_script(svg)) << svg;
  }
}

}  // namespace
}  // namespace sim::season
