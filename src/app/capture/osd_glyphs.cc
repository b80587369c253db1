// The bar's bitmaps: a 5x7 dot font (column bytes, bit 0 at the top) enlarged into the BGRA
// glyphs of the two text fonts and of the logos, and the eight moon icons. The bitmaps are
// made from these tables once, at first use, and kept for the life of the process.
#include <cmath>
#include <map>
#include <mutex>
#include <string>
#include <vector>

#include "app/capture/osd_assets.h"

namespace {

struct Dots {
  char character;
  uint8_t columns[5];
};

// Digits, letters and the punctuation the bar uses; '~' is the degree sign.
constexpr Dots kDots[] = {
    {' ', {0x00, 0x00, 0x00, 0x00, 0x00}}, {'-', {0x08, 0x08, 0x08, 0x08, 0x08}},
    {'.', {0x00, 0x60, 0x60, 0x00, 0x00}}, {'/', {0x20, 0x10, 0x08, 0x04, 0x02}},
    {':', {0x00, 0x36, 0x36, 0x00, 0x00}}, {'~', {0x00, 0x06, 0x09, 0x09, 0x06}},
    {'0', {0x3E, 0x51, 0x49, 0x45, 0x3E}}, {'1', {0x00, 0x42, 0x7F, 0x40, 0x00}},
    {'2', {0x42, 0x61, 0x51, 0x49, 0x46}}, {'3', {0x21, 0x41, 0x45, 0x4B, 0x31}},
    {'4', {0x18, 0x14, 0x12, 0x7F, 0x10}}, {'5', {0x27, 0x45, 0x45, 0x45, 0x39}},
    {'6', {0x3C, 0x4A, 0x49, 0x49, 0x30}}, {'7', {0x01, 0x71, 0x09, 0x05, 0x03}},
    {'8', {0x36, 0x49, 0x49, 0x49, 0x36}}, {'9', {0x06, 0x49, 0x49, 0x29, 0x1E}},
    {'A', {0x7E, 0x11, 0x11, 0x11, 0x7E}}, {'B', {0x7F, 0x49, 0x49, 0x49, 0x36}},
    {'C', {0x3E, 0x41, 0x41, 0x41, 0x22}}, {'D', {0x7F, 0x41, 0x41, 0x22, 0x1C}},
    {'E', {0x7F, 0x49, 0x49, 0x49, 0x41}}, {'F', {0x7F, 0x09, 0x09, 0x01, 0x01}},
    {'G', {0x3E, 0x41, 0x41, 0x51, 0x32}}, {'H', {0x7F, 0x08, 0x08, 0x08, 0x7F}},
    {'I', {0x00, 0x41, 0x7F, 0x41, 0x00}}, {'J', {0x20, 0x40, 0x41, 0x3F, 0x01}},
    {'K', {0x7F, 0x08, 0x14, 0x22, 0x41}}, {'L', {0x7F, 0x40, 0x40, 0x40, 0x40}},
    {'M', {0x7F, 0x02, 0x04, 0x02, 0x7F}}, {'N', {0x7F, 0x04, 0x08, 0x10, 0x7F}},
    {'O', {0x3E, 0x41, 0x41, 0x41, 0x3E}}, {'P', {0x7F, 0x09, 0x09, 0x09, 0x06}},
    {'Q', {0x3E, 0x41, 0x51, 0x21, 0x5E}}, {'R', {0x7F, 0x09, 0x19, 0x29, 0x46}},
    {'S', {0x46, 0x49, 0x49, 0x49, 0x31}}, {'T', {0x01, 0x01, 0x7F, 0x01, 0x01}},
    {'U', {0x3F, 0x40, 0x40, 0x40, 0x3F}}, {'V', {0x1F, 0x20, 0x40, 0x20, 0x1F}},
    {'W', {0x7F, 0x20, 0x18, 0x20, 0x7F}}, {'X', {0x63, 0x14, 0x08, 0x14, 0x63}},
    {'Y', {0x03, 0x04, 0x78, 0x04, 0x03}}, {'Z', {0x61, 0x51, 0x49, 0x45, 0x43}},
    {'a', {0x20, 0x54, 0x54, 0x54, 0x78}}, {'b', {0x7F, 0x48, 0x44, 0x44, 0x38}},
    {'c', {0x38, 0x44, 0x44, 0x44, 0x20}}, {'d', {0x38, 0x44, 0x44, 0x48, 0x7F}},
    {'e', {0x38, 0x54, 0x54, 0x54, 0x18}}, {'f', {0x08, 0x7E, 0x09, 0x01, 0x02}},
    {'g', {0x0C, 0x52, 0x52, 0x52, 0x3E}}, {'h', {0x7F, 0x08, 0x04, 0x04, 0x78}},
    {'i', {0x00, 0x44, 0x7D, 0x40, 0x00}}, {'j', {0x20, 0x40, 0x44, 0x3D, 0x00}},
    {'k', {0x7F, 0x10, 0x28, 0x44, 0x00}}, {'l', {0x00, 0x41, 0x7F, 0x40, 0x00}},
    {'m', {0x7C, 0x04, 0x18, 0x04, 0x78}}, {'n', {0x7C, 0x08, 0x04, 0x04, 0x78}},
    {'o', {0x38, 0x44, 0x44, 0x44, 0x38}}, {'p', {0x7C, 0x14, 0x14, 0x14, 0x08}},
    {'q', {0x08, 0x14, 0x14, 0x18, 0x7C}}, {'r', {0x7C, 0x08, 0x04, 0x04, 0x08}},
    {'s', {0x48, 0x54, 0x54, 0x54, 0x20}}, {'t', {0x04, 0x3F, 0x44, 0x40, 0x20}},
    {'u', {0x3C, 0x40, 0x40, 0x20, 0x7C}}, {'v', {0x1C, 0x20, 0x40, 0x20, 0x1C}},
    {'w', {0x3C, 0x40, 0x30, 0x40, 0x3C}}, {'x', {0x44, 0x28, 0x10, 0x28, 0x44}},
    {'y', {0x0C, 0x50, 0x50, 0x50, 0x3C}}, {'z', {0x44, 0x64, 0x54, 0x4C, 0x44}},
};

const Dots* dots_of(char c) {
  for (const Dots& d : kDots) {
    if (d.character == c) {
      return &d;
    }
  }
  return nullptr;
}

bool alphanumeric(char c) {
  return (c >= '0' && c <= '9') || (c >= 'A' && c <= 'Z') || (c >= 'a' && c <= 'z');
}

// The columns a character takes: letters and digits all five, punctuation only its dots.
void span_of(const Dots& d, int* first, int* last) {
  *first = 0;
  *last = 4;
  if (alphanumeric(d.character) || d.character == ' ') {
    return;
  }
  while (*first < 4 && d.columns[*first] == 0) {
    ++*first;
  }
  while (*last > *first && d.columns[*last] == 0) {
    --*last;
  }
}

void put_pixel(uint8_t* bitmap, int stride, int x, int y, uint32_t argb) {
  uint8_t* p = bitmap + (static_cast<size_t>(y) * stride + x) * 4;
  p[0] = argb & 0xFF;
  p[1] = (argb >> 8) & 0xFF;
  p[2] = (argb >> 16) & 0xFF;
  p[3] = argb >> 24;
}

// Draws the dots of `d` enlarged sx x sy at (x, y) of a bitmap `stride` pixels wide; returns
// the advance (one empty column after the glyph).
int draw_dots(const Dots& d, uint8_t* bitmap, int stride, int rows, int x, int y, int sx, int sy,
              uint32_t argb) {
  int first = 0;
  int last = 0;
  span_of(d, &first, &last);
  for (int col = first; col <= last; ++col) {
    for (int bit = 0; bit < 8; ++bit) {
      if ((d.columns[col] >> bit & 1) == 0) {
        continue;
      }
      for (int dy = 0; dy < sy; ++dy) {
        for (int dx = 0; dx < sx; ++dx) {
          const int px = x + (col - first) * sx + dx;
          const int py = y + bit * sy + dy;
          if (px >= 0 && px < stride && py >= 0 && py < rows) {
            put_pixel(bitmap, stride, px, py, argb);
          }
        }
      }
    }
  }
  return (last - first + 2) * sx;
}

constexpr int kGlyphScaleX = 4;
constexpr int kGlyphScaleY = 5;
constexpr uint32_t kTextColor = 0xFFFFFFFF;

struct BuiltFont {
  Font font;
  std::vector<std::vector<uint8_t>> bitmaps;
};

void build_font(BuiltFont* built, int rows) {
  built->font.rows = rows;
  const int top = (rows - 7 * kGlyphScaleY) / 2;
  built->bitmaps.reserve(std::size(kDots));
  for (const Dots& d : kDots) {
    int first = 0;
    int last = 0;
    span_of(d, &first, &last);
    const int width = (last - first + 2) * kGlyphScaleX;
    std::vector<uint8_t>& bitmap =
        built->bitmaps.emplace_back(static_cast<size_t>(width) * rows * 4);
    draw_dots(d, bitmap.data(), width, rows, kGlyphScaleX / 2, top, kGlyphScaleX, kGlyphScaleY,
              kTextColor);
    built->font.glyphs[static_cast<unsigned char>(d.character)] = {width, bitmap.data()};
  }
}

}  // namespace

const Font& osd_font(bool model6) {
  static BuiltFont fonts[2];
  static std::once_flag once;
  std::call_once(once, [] {
    build_font(&fonts[0], 48);
    build_font(&fonts[1], 46);
  });
  return fonts[model6 ? 1 : 0].font;
}

const uint8_t* logo_bitmap(const OsdLogo& logo) {
  if (logo.text == nullptr) {
    return nullptr;
  }
  static std::mutex mutex;
  static std::map<std::string, std::vector<uint8_t>> made;
  const int width = logo.rect.p1.x - logo.rect.p0.x + 1;
  const int height = logo.rect.p1.y - logo.rect.p0.y + 1;
  const std::string key = std::string(logo.text) + "@" + std::to_string(width) + "x" +
                          std::to_string(height) + "/" + std::to_string(logo.color);
  std::lock_guard lock(mutex);
  auto found = made.find(key);
  if (found != made.end()) {
    return found->second.data();
  }
  // The largest whole enlargement that fits the text into the rectangle, centred.
  int columns = 0;
  for (const char* c = logo.text; *c != '\0'; ++c) {
    if (const Dots* d = dots_of(*c)) {
      int first = 0;
      int last = 0;
      span_of(*d, &first, &last);
      columns += last - first + 2;
    }
  }
  const int scale = std::max(1, std::min(height / 8, columns > 0 ? width / columns : 1));
  std::vector<uint8_t>& bitmap = made[key];
  bitmap.assign(static_cast<size_t>(width) * height * 4, 0);
  int x = std::max(0, (width - columns * scale) / 2);
  const int y = std::max(0, (height - 7 * scale) / 2);
  for (const char* c = logo.text; *c != '\0'; ++c) {
    if (const Dots* d = dots_of(*c)) {
      x += draw_dots(*d, bitmap.data(), width, height, x, y, scale, scale, logo.color);
    }
  }
  return bitmap.data();
}

const uint8_t* moon_bitmap(int phase) {
  if (phase < 0 || phase > 7) {
    return nullptr;
  }
  static std::vector<uint8_t> icons[8];
  static std::once_flag once;
  std::call_once(once, [] {
    // A disc whose lit part grows from the right up to full moon and shrinks from the right
    // after it; the terminator is the ellipse x = k * half-width of the row.
    constexpr double kPi = 3.14159265358979323846;
    constexpr double kRadius = kMoonIconSize / 2.0 - 1;
    for (int p = 0; p < 8; ++p) {
      icons[p].assign(kMoonIconSize * kMoonIconSize * 4, 0);
      const double k = std::cos(p * kPi / 4);
      for (int row = 0; row < kMoonIconSize; ++row) {
        for (int col = 0; col < kMoonIconSize; ++col) {
          const double x = col + 0.5 - kMoonIconSize / 2.0;
          const double y = row + 0.5 - kMoonIconSize / 2.0;
          if (x * x + y * y > kRadius * kRadius) {
            continue;
          }
          const double half = std::sqrt(kRadius * kRadius - y * y);
          const bool lit = p <= 4 ? x > k * half : x < -k * half;
          put_pixel(icons[p].data(), kMoonIconSize, col, row, lit ? 0xFFF4F0D8 : 0xFF404040);
        }
      }
    }
  });
  return icons[phase].data();
}
