// What the information bar of a video is made of: the placement of its regions per camera
// model, the glyph fonts, the logos and the moon icons, all BGRA bitmaps of the program.
#pragma once

#include <cstdint>

#include "platform/imp/imp_osd.h"

// Rectangles of the bar's regions for one family of models (12 h / 24 h: the clock the
// configuration shows; the 12-hour clock adds the meridiem and moves what follows it).
struct OsdLayout {
  IMPRect date, time, meridiem;
  IMPRect fahrenheit12, fahrenheit24;
  IMPRect celsius12, celsius24;
  IMPRect moon12, moon24;
  IMPRect band;
};

// One logo: the text drawn, where, and the line the set-up logs for the choice.
struct OsdLogo {
  const char* text;  // null: the model has none
  IMPRect rect;
  const char* logLine;
  uint32_t color;  // 0xAARRGGBB
};

struct OsdModel {
  const OsdLayout* layout;
  OsdLogo brand, family, code;
};

// The model's regions; model 6 takes its brand logo from `nightLogo`.
OsdModel osd_model(int model, bool nightLogo);

// One character of a font: its advance in pixels and its BGRA bitmap (width x font rows).
struct Glyph {
  int width = 0;
  const uint8_t* bitmap = nullptr;
};

struct Font {
  int rows = 0;
  Glyph glyphs[128];  // by character; '~' is the degree sign
};

// The bar's text font: 46 rows for model 6, 48 for the others.
const Font& osd_font(bool model6);
// The logo's BGRA bitmap, of the rectangle's size, or null when the logo has no text.
const uint8_t* logo_bitmap(const OsdLogo& logo);
// The 40 x 40 BGRA icon of a moon phase 0..7; null for any other value.
const uint8_t* moon_bitmap(int phase);

inline constexpr int kMoonIconSize = 40;
