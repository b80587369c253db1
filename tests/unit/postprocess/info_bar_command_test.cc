// The information bar's ffmpeg command against the layout table: every model, both clocks,
// both forms, the second brand's variants.
#include <string>
#include <vector>

#include <gtest/gtest.h>

#include "app/postprocess/info_bar.h"

#include "tests/support/posix_pattern.h"

namespace {

struct Item {
  std::string text;
  int x;
  int y;
  bool operator==(const Item&) const = default;
};
struct Point {
  int x;
  int y;
  bool operator==(const Point&) const = default;
};

struct ParsedBar {
  std::vector<std::string> images;
  std::string box;
  std::vector<Item> texts;
  std::vector<Point> overlays;
  std::vector<std::string> fonts;
};

// Every match of `pattern`, as its groups.
std::vector<std::vector<std::string>> matches(const std::string& text, const char* pattern) {
  const test_support::Pattern regex(pattern);
  EXPECT_TRUE(regex.ok()) << pattern;
  return regex.all(text);
}

ParsedBar parse(const std::string& command) {
  ParsedBar bar;
  for (const auto& m : matches(command, R"(-i /system/opt/overlay/([^[:space:]]+))")) {
    bar.images.push_back(m[1]);
  }
  for (const auto& m : matches(command, R"(drawbox=([^,"]+))")) {
    bar.box = m[1];
  }
  for (const auto& m :
       matches(command, R"(drawtext=fontfile=([^:]+):text='([^']*)':)"
                        R"(fontcolor=white:fontsize=([0-9]+):x=([0-9]+):y=([0-9]+))")) {
    bar.texts.push_back({m[2], std::stoi(m[4]), std::stoi(m[5])});
    bar.fonts.push_back(m[1] + "@" + m[3]);
  }
  for (const auto& m : matches(command, R"(overlay=x=([0-9]+):y=([0-9]+))")) {
    bar.overlays.push_back({std::stoi(m[1]), std::stoi(m[2])});
  }
  return bar;
}

BarContent content_for(int model, bool twelveHour) {
  BarContent content;
  content.model = model;
  content.twelveHour = twelveHour;
  content.time = {2024, 3, 7, twelveHour ? 1 : 13, 5, 9, "PM"};
  content.moonIcon = "full_moon.png";
  content.fahrenheit = 75;
  content.celsiusValue = 24;
  return content;
}

// A sample of the first brand's layouts: both clock columns, with and without the code logo,
// and an unknown model drawn as the first.
struct LayoutRow {
  int model;
  const char* modelLogo;
  const char* codeLogo;  // nullptr: three images only
  int timeX, ampmX, fahrenheitX[2], celsiusX[2], moonX[2], brandX;
  Point modelLogoAt;
};
// clang-format off
const LayoutRow kRows[] = {
    {0, "orve.png",       nullptr,     358, 488, {568, 648}, {785, 865}, {1010, 1090}, 1581, {1811, 1056}},
    {1, "ORVE-S.png",     nullptr,     365, 495, {575, 652}, {767, 844}, {942, 1018},  1555, {1811, 1056}},
    {2, "ORVE-K52.png",   "K-52.png",  358, 488, {568, 648}, {785, 865}, {1010, 1090}, 1415, {1663, 1047}},
    {3, "ORVE-K52.png",   "K-52C.png", 358, 488, {568, 648}, {785, 865}, {1010, 1090}, 1415, {1663, 1047}},
    {7, "orve_m.png",     nullptr,     358, 488, {568, 648}, {785, 865}, {1010, 1090}, 1540, {1768, 1056}},
    {9, "orves_dark.png", nullptr,     358, 488, {568, 648}, {785, 865}, {1010, 1090}, 1352, {1610, 1050}},
    {42, "orve.png",      nullptr,     358, 488, {568, 648}, {785, 865}, {1010, 1090}, 1581, {1811, 1056}},
};
// clang-format on

TEST(InfoBarCommand, EveryFirstBrandLayoutInBothClocksAndForms) {
  for (const LayoutRow& row : kRows) {
    for (bool twelve : {false, true}) {
      for (BarForm form : {BarForm::kPhoto, BarForm::kPreview}) {
        if (row.model == 7 && form == BarForm::kPreview) {
          continue;  // the 1280-wide preview layout, below
        }
        SCOPED_TRACE("model " + std::to_string(row.model) + (twelve ? " 12h" : " 24h"));
        const int c = twelve ? 1 : 0;
        const ParsedBar bar =
            parse(overlay_command(form, content_for(row.model, twelve), "s.h265", "f.jpg"));
        std::vector<std::string> images = {"full_moon.png", "kestrova.png", row.modelLogo};
        std::vector<Point> overlays = {{row.moonX[c], 1036}, {row.brandX, 1037}, row.modelLogoAt};
        if (row.codeLogo != nullptr) {
          images.push_back(row.codeLogo);
          overlays.push_back({1829, 1050});
        }
        EXPECT_EQ(bar.images, images);
        EXPECT_EQ(bar.overlays, overlays);
        EXPECT_EQ(bar.box, "x=0:y=1032:w=1920:h=48:c=black:t=fill");
        std::vector<Item> texts = {{"03/07/2024", 20, 1032},
                                   {twelve ? "01\\:05" : "13\\:05", row.timeX, 1032}};
        if (twelve) {
          texts.push_back({"PM", row.ampmX, 1032});
        }
        texts.push_back({"75\u00b0F", row.fahrenheitX[c], 1032});
        texts.push_back({"24\u00b0C", row.celsiusX[c], 1032});
        EXPECT_EQ(bar.texts, texts);
        for (const std::string& font : bar.fonts) {
          EXPECT_EQ(font, "/system/opt/fonts/oswald.bold.ttf@48");
        }
      }
    }
  }
}

TEST(InfoBarCommand, OrveMPreviewUsesThe1280WideLayout) {
  for (bool twelve : {false, true}) {
    BarContent content = content_for(7, twelve);
    content.dayFirst = twelve;  // swaps day and month, moves nothing
    const ParsedBar bar = parse(overlay_command(BarForm::kPreview, content, "s.h265", "f.jpg"));
    EXPECT_EQ(bar.box, "x=0:y=672:w=1280:h=48:c=black:t=fill");
    std::vector<Item> texts = {{twelve ? "07/03/2024" : "03/07/2024", 20, 672},
                               {twelve ? "01\\:05" : "13\\:05", 298, 672}};
    if (twelve) {
      texts.push_back({"PM", 428, 672});
    }
    texts.push_back({"75\u00b0F", twelve ? 528 : 448, 672});
    texts.push_back({"24\u00b0C", twelve ? 685 : 605, 672});
    EXPECT_EQ(bar.texts, texts);
    EXPECT_EQ(bar.overlays,
              (std::vector<Point>{{twelve ? 840 : 760, 676}, {900, 677}, {1128, 696}}));
  }
}

TEST(InfoBarCommand, SecondBrandVariants) {
  struct Case {
    bool twelve;
    bool celsius;
    bool night;
    Item temperature;
  };
  for (const Case& c : {Case{false, true, false, {"24\u00b0C", 482, 1032}},
                        Case{true, false, true, {"75\u00b0F", 563, 1032}},
                        Case{false, false, false, {"75\u00b0F", 482, 1032}}}) {
    BarContent content = content_for(6, c.twelve);
    content.celsius = c.celsius;
    content.night = c.night;
    const ParsedBar bar = parse(overlay_command(BarForm::kPhoto, content));
    EXPECT_EQ(bar.images,
              std::vector<std::string>{c.night ? "miralo_night.png" : "miralo_day.png"});
    EXPECT_EQ(bar.box, "x=0:y=1020:w=1920:h=60:c=black@0.2:t=fill");
    std::vector<Item> texts = {{"03/07/2024", 10, 1032},
                               {c.twelve ? "01\\:05\\:09" : "13\\:05\\:09", 272, 1032}};
    if (c.twelve) {
      texts.push_back({"PM", 466, 1032});
    }
    texts.push_back(c.temperature);
    EXPECT_EQ(bar.texts, texts);
    EXPECT_EQ(bar.overlays, (std::vector<Point>{{1640, 1022}}));
    EXPECT_EQ(bar.fonts[0], "/system/opt/fonts/liberation-sans.regular.ttf@46");
  }
}

TEST(InfoBarCommand, SecondBrandLogoFollowsWakeReasonAndIrMode) {
  EXPECT_FALSE(miralo_night_logo(1, 0, 1));  // PIR wake-up: the previous run's IR mode
  EXPECT_TRUE(miralo_night_logo(1, 1, 0));
  EXPECT_TRUE(miralo_night_logo(0, 0, 1));  // otherwise the current reading
  EXPECT_FALSE(miralo_night_logo(0, 1, 0));
  EXPECT_TRUE(miralo_night_logo(3, 0, 0));
}

}  // namespace
