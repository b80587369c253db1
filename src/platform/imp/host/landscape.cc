// A generated landscape with a deer walking across it.
//
// The still part (sky, hills, trees, meadow) is drawn once per size and look into a base
// picture exposed to its normal brightness; each frame copies it through a brightness table
// for the current exposure and draws the deer at its place for that time, so a frame costs
// about one pass over the picture.
#include <math.h>
#include <string.h>

#include <algorithm>
#include <array>
#include <span>
#include <vector>

#include "platform/imp/host/frame_generator.h"

namespace imp_host {

namespace {

struct Rgb {
  float r, g, b;
};

struct Yuv {
  uint8_t y, u, v;
};

enum Material : uint8_t { kSky, kCloud, kFarHill, kNearHill, kForest, kMeadow, kPath, kTrunk };

// Colour by day and how strongly the material sends infrared light back (foliage glows).
struct MaterialLook {
  Rgb day;
  float infrared;
};
constexpr std::array<MaterialLook, 8> kMaterials = {{
    {{95, 150, 215}, 0.05f},   // sky
    {{235, 238, 242}, 0.10f},  // cloud
    {{105, 135, 130}, 0.35f},  // far hill
    {{70, 118, 52}, 0.70f},    // near hill
    {{32, 72, 38}, 0.62f},     // forest
    {{104, 150, 62}, 0.78f},   // meadow
    {{150, 125, 90}, 0.50f},   // path
    {{80, 58, 40}, 0.40f},     // trunk
}};

// How the still scene is drawn: in colour, with the infrared cast of a day picture taken
// without the filter, in infrared grey under the LEDs, or under starlight.
enum class Look { kColour, kInfraredCast, kInfrared, kStarlight };

// Light of each look relative to daylight through the filter.
constexpr float kRadianceDay = 1.0f;
constexpr float kRadianceDayNoFilter = 1.3f;
constexpr float kRadianceLeds = 0.03f;
constexpr float kRadianceLedsThroughFilter = 0.0005f;
constexpr float kRadianceStarlight = 0.00005f;

Yuv to_yuv(Rgb c) {
  auto clamp8 = [](float value) {
    return static_cast<uint8_t>(std::clamp(value + 0.5f, 0.0f, 255.0f));
  };
  return {clamp8(0.299f * c.r + 0.587f * c.g + 0.114f * c.b),
          clamp8(-0.169f * c.r - 0.331f * c.g + 0.5f * c.b + 128.0f),
          clamp8(0.5f * c.r - 0.419f * c.g - 0.081f * c.b + 128.0f)};
}

Rgb scaled(Rgb c, float k) {
  return {c.r * k, c.g * k, c.b * k};
}

// A small stable texture value in [-1, 1] for a pixel.
float grain(int x, int y) {
  uint32_t h = static_cast<uint32_t>(x) * 374761393u + static_cast<uint32_t>(y) * 668265263u;
  h = (h ^ (h >> 13)) * 1274126177u;
  return static_cast<float>((h ^ (h >> 16)) & 0xffff) / 32767.5f - 1.0f;
}

// Colour of a material at normalised height v (0 top, 1 bottom) in a look.
Rgb shade(Material material, float v, float texture, Look look) {
  const MaterialLook& m = kMaterials[material];
  const float relief = 1.0f + 0.08f * texture;
  switch (look) {
    case Look::kColour:
      return scaled(m.day, relief);
    case Look::kInfraredCast: {
      Rgb c = scaled(m.day, relief);
      float grey = 0.3f * c.r + 0.59f * c.g + 0.11f * c.b + 40.0f * m.infrared;
      return {0.5f * grey + 0.55f * c.r + 12, 0.5f * grey + 0.35f * c.g,
              0.5f * grey + 0.5f * c.b + 10};
    }
    case Look::kInfrared: {
      // The LEDs light what is near (low in the picture) most.
      float near = std::clamp((v - 0.35f) / 0.65f, 0.0f, 1.0f);
      float light = 0.25f + 0.95f * near * near;
      float grey = 230.0f * m.infrared * light * relief;
      return {grey, grey, grey};
    }
    case Look::kStarlight: {
      Rgb c = scaled(m.day, relief);
      float grey = 0.3f * c.r + 0.59f * c.g + 0.11f * c.b;
      return {0.8f * grey + 0.2f * c.r, 0.8f * grey + 0.2f * c.g, 0.8f * grey + 0.2f * c.b + 12};
    }
  }
  return m.day;
}

struct Tree {
  float u;       // centre, fraction of the width
  float baseV;   // foot, fraction of the height
  float height;  // fraction of the height
  bool conifer;
};
constexpr std::array<Tree, 11> kTrees = {{
    {0.05f, 0.63f, 0.30f, true},
    {0.11f, 0.61f, 0.24f, true},
    {0.17f, 0.64f, 0.33f, true},
    {0.27f, 0.60f, 0.16f, false},
    {0.62f, 0.58f, 0.14f, false},
    {0.71f, 0.60f, 0.22f, true},
    {0.77f, 0.62f, 0.29f, true},
    {0.83f, 0.60f, 0.21f, true},
    {0.90f, 0.63f, 0.34f, true},
    {0.96f, 0.61f, 0.25f, true},
    {0.40f, 0.57f, 0.10f, false},
}};

struct Cloud {
  float u, v, ru, rv;
};
constexpr std::array<Cloud, 5> kClouds = {{
    {0.18f, 0.12f, 0.09f, 0.035f},
    {0.24f, 0.10f, 0.06f, 0.030f},
    {0.58f, 0.18f, 0.11f, 0.030f},
    {0.66f, 0.16f, 0.07f, 0.035f},
    {0.88f, 0.08f, 0.08f, 0.025f},
}};

Material material_at(float u, float v, float farHill, float nearHill, float meadow) {
  if (v < farHill) {
    for (const Cloud& cloud : kClouds) {
      float du = (u - cloud.u) / cloud.ru;
      float dv = (v - cloud.v) / cloud.rv;
      if (du * du + dv * dv < 1.0f) {
        return kCloud;
      }
    }
    return kSky;
  }
  if (v < nearHill) {
    return kFarHill;
  }
  if (v < meadow) {
    return kNearHill;
  }
  // A path that widens towards the viewer.
  float depth = (v - meadow) / (1.0f - meadow);
  float centre = 0.52f + 0.22f * depth * depth - 0.05f * sinf(6.0f * depth);
  if (fabsf(u - centre) < 0.012f + 0.09f * depth) {
    return kPath;
  }
  return kMeadow;
}

// True when a tree reaches column u (its crown is at most 0.4 of its height wide each side).
bool tree_near(const Tree& tree, float u, float aspect) {
  return fabsf(u - tree.u) * aspect < tree.height * 0.4f;
}

// Material of a tree of `trees` at (u, v), or false for the background's.
bool tree_at(std::span<const Tree* const> trees, float u, float v, float aspect,
             Material* ret_material) {
  for (const Tree* candidate : trees) {
    const Tree& tree = *candidate;
    float top = tree.baseV - tree.height;
    if (v < top || v > tree.baseV) {
      continue;
    }
    float du = (u - tree.u) * aspect;  // in units of the height
    float trunk = tree.height * 0.18f;
    if (v > tree.baseV - trunk && fabsf(du) < tree.height * 0.035f) {
      *ret_material = kTrunk;
      return true;
    }
    if (tree.conifer) {
      // Three stacked tiers.
      float along = (v - top) / (tree.height - trunk);
      float tier = along * 3.0f - floorf(along * 3.0f);
      float half = tree.height * 0.22f * (0.35f + 0.65f * along) * (0.55f + 0.45f * tier);
      if (along <= 1.0f && fabsf(du) < half) {
        *ret_material = kForest;
        return true;
      }
    } else {
      float cy = top + tree.height * 0.38f;
      float dv = v - cy;
      float r = tree.height * 0.38f;
      if (du * du + dv * dv < r * r) {
        *ret_material = kNearHill;
        return true;
      }
    }
  }
  return false;
}

class Landscape final : public FrameGenerator {
 public:
  double radiance(const View& view) const override {
    if (!view.night) {
      return view.irCutIn ? kRadianceDay : kRadianceDayNoFilter;
    }
    if (!view.irLeds) {
      return kRadianceStarlight;
    }
    return view.irCutIn ? kRadianceLedsThroughFilter : kRadianceLeds;
  }

  void generate(const View& view, double seconds, double exposure, int width, int height,
                uint8_t* nv12) override {
    const Look look = look_of(view);
    if (width != width_ || height != height_) {
      for (std::vector<uint8_t>& base : bases_) {
        base.clear();
      }
      width_ = width;
      height_ = height;
    }
    std::vector<uint8_t>& base = bases_[static_cast<int>(look)];
    if (base.empty()) {
      draw_base(look, &base);
    }
    std::array<uint8_t, 256> luma{};
    std::array<uint8_t, 256> chroma{};
    const double saturation = view.monochrome ? 0.0 : std::min(1.0, exposure);
    for (int i = 0; i < 256; ++i) {
      luma[i] = static_cast<uint8_t>(std::clamp(i * exposure + 0.5, 0.0, 255.0));
      chroma[i] =
          static_cast<uint8_t>(std::clamp(128.0 + (i - 128) * saturation + 0.5, 0.0, 255.0));
    }
    const size_t pixels = static_cast<size_t>(width) * height;
    for (size_t i = 0; i < pixels; ++i) {
      nv12[i] = luma[base[i]];
    }
    for (size_t i = pixels; i < pixels + pixels / 2; ++i) {
      nv12[i] = chroma[base[i]];
    }
    if (view.crossing) {
      draw_deer(look, seconds, view.crossingSeconds, luma, chroma, nv12);
    }
  }

 private:
  static Look look_of(const View& view) {
    if (!view.night) {
      return view.irCutIn ? Look::kColour : Look::kInfraredCast;
    }
    return view.irLeds ? Look::kInfrared : Look::kStarlight;
  }

  // Draws the still scene of a look once; it is kept while the size stays.
  void draw_base(Look look, std::vector<uint8_t>* ret_base) const {
    const int width = width_;
    const int height = height_;
    const size_t pixels = static_cast<size_t>(width) * height;
    std::vector<uint8_t>& base = *ret_base;
    base.assign(pixels + pixels / 2, 128);
    const float aspect = static_cast<float>(width) / static_cast<float>(height);
    for (int x = 0; x < width; ++x) {
      const float u = (x + 0.5f) / width;
      const float farHill = 0.42f + 0.04f * sinf(6.3f * u + 0.5f) + 0.025f * sinf(17.0f * u + 1.3f);
      const float nearHill = 0.53f + 0.045f * sinf(4.1f * u + 2.0f) + 0.015f * sinf(11.0f * u);
      const float meadow = 0.64f + 0.01f * sinf(9.0f * u);
      std::array<const Tree*, kTrees.size()> near{};
      size_t nearCount = 0;
      for (const Tree& tree : kTrees) {
        if (tree_near(tree, u, aspect)) {
          near[nearCount++] = &tree;
        }
      }
      const std::span<const Tree* const> trees(near.data(), nearCount);
      for (int y = 0; y < height; ++y) {
        const float v = (y + 0.5f) / height;
        Material material = kSky;
        if (!tree_at(trees, u, v, aspect, &material)) {
          material = material_at(u, v, farHill, nearHill, meadow);
        }
        float texture = material == kSky ? 0.0f : grain(x, y);
        if (material == kSky && look == Look::kColour) {
          texture = 1.5f * (v / farHill) - 0.2f;  // paler towards the horizon
        }
        put(base.data(), x, y, to_yuv(shade(material, v, texture, look)));
      }
    }
  }

  void put(uint8_t* base, int x, int y, Yuv c) const {
    const size_t pixels = static_cast<size_t>(width_) * height_;
    base[static_cast<size_t>(y) * width_ + x] = c.y;
    if ((x & 1) == 0 && (y & 1) == 0) {
      size_t at = pixels + static_cast<size_t>(y / 2) * width_ + x;
      base[at] = c.u;
      base[at + 1] = c.v;
    }
  }

  // Fills the points within `radius` of the segment a-b (a circle when a == b), scaled in y
  // by `squash` for ellipses.
  struct Paint {
    uint8_t* frame;
    int width, height;
    Yuv colour;
  };
  static void fill(const Paint& paint, float ax, float ay, float bx, float by, float radius,
                   float squash = 1.0f) {
    const int x0 = std::max(0, static_cast<int>(std::min(ax, bx) - radius));
    const int x1 = std::min(paint.width - 1, static_cast<int>(std::max(ax, bx) + radius) + 1);
    const int y0 = std::max(0, static_cast<int>(std::min(ay, by) - radius * squash));
    const int y1 =
        std::min(paint.height - 1, static_cast<int>(std::max(ay, by) + radius * squash) + 1);
    const float dx = bx - ax;
    const float dy = (by - ay) / squash;
    const float length2 = dx * dx + dy * dy;
    const size_t pixels = static_cast<size_t>(paint.width) * paint.height;
    for (int y = y0; y <= y1; ++y) {
      for (int x = x0; x <= x1; ++x) {
        float px = x - ax;
        float py = (y - ay) / squash;
        float t = length2 > 0 ? std::clamp((px * dx + py * dy) / length2, 0.0f, 1.0f) : 0.0f;
        float ex = px - t * dx;
        float ey = py - t * dy;
        if (ex * ex + ey * ey > radius * radius) {
          continue;
        }
        paint.frame[static_cast<size_t>(y) * paint.width + x] = paint.colour.y;
        if ((x & 1) == 0 && (y & 1) == 0) {
          size_t at = pixels + static_cast<size_t>(y / 2) * paint.width + x;
          paint.frame[at] = paint.colour.u;
          paint.frame[at + 1] = paint.colour.v;
        }
      }
    }
  }

  void draw_deer(Look look, double seconds, double crossingSeconds,
                 const std::array<uint8_t, 256>& luma, const std::array<uint8_t, 256>& chroma,
                 uint8_t* frame) const {
    // Walks right, then back left, always in view.
    const double phase = fmod(seconds / crossingSeconds, 2.0);
    const bool right = phase < 1.0;
    const double along = right ? phase : 2.0 - phase;
    const float dir = right ? 1.0f : -1.0f;
    const float s = 0.075f * height_;  // the deer's unit: about a third of its height
    const float groundY = 0.82f * height_;
    const float cx = static_cast<float>((0.15 + 0.7 * along) * width_);
    const float stride = static_cast<float>(seconds * 0.7 * width_ / crossingSeconds / (2.4 * s));

    auto colour = [&](Rgb day, float infrared) {
      Rgb c = day;
      if (look == Look::kInfrared) {
        float grey = 230.0f * infrared * 0.9f;
        c = {grey, grey, grey};
      } else if (look != Look::kColour) {
        c = shade(kMeadow, 0.8f, 0.0f, look);
        c = scaled(c, 0.6f + 0.5f * infrared);
      }
      Yuv yuv = to_yuv(c);
      return Yuv{luma[yuv.y], chroma[yuv.u], chroma[yuv.v]};
    };
    const Yuv coat = colour({139, 94, 56}, 0.55f);
    const Yuv dark = colour({92, 62, 38}, 0.45f);
    const Yuv pale = colour({215, 190, 150}, 0.70f);
    const Yuv eye = look == Look::kInfrared ? Yuv{luma[250], 128, 128} : colour({20, 15, 10}, 0.1f);
    auto at_x = [&](float x) { return cx + dir * x * s; };
    auto at_y = [&](float y) { return groundY - y * s; };
    Paint paint{frame, width_, height_, dark};
    // Far legs first, then the body over them, then the near legs.
    for (int leg = 0; leg < 4; ++leg) {
      const bool front = leg % 2 == 0;
      const bool near = leg >= 2;
      const float hip = front ? 1.05f : -1.05f;
      const float swing = 0.35f * sinf(static_cast<float>(stride * 6.2832f) +
                                       (front ? 0.0f : 3.1416f) + (near ? 1.5708f : -1.5708f));
      paint.colour = near ? coat : dark;
      if (!near) {
        fill(paint, at_x(hip), at_y(1.6f), at_x(hip + swing * 0.5f), at_y(0.8f), 0.13f * s);
        fill(paint, at_x(hip + swing * 0.5f), at_y(0.8f), at_x(hip + swing), at_y(0.05f),
             0.09f * s);
      }
    }
    paint.colour = coat;
    fill(paint, at_x(0.0f), at_y(1.9f), at_x(0.0f), at_y(1.9f), 1.45f * s, 0.42f);  // body
    paint.colour = pale;
    fill(paint, at_x(-0.5f), at_y(1.55f), at_x(0.6f), at_y(1.55f), 0.16f * s);   // belly
    fill(paint, at_x(-1.45f), at_y(2.2f), at_x(-1.55f), at_y(2.0f), 0.14f * s);  // tail
    paint.colour = coat;
    fill(paint, at_x(1.05f), at_y(2.2f), at_x(1.65f), at_y(3.25f), 0.3f * s);   // neck
    fill(paint, at_x(1.7f), at_y(3.35f), at_x(2.35f), at_y(3.05f), 0.24f * s);  // head
    fill(paint, at_x(1.55f), at_y(3.75f), at_x(1.45f), at_y(4.05f), 0.1f * s);  // ear
    paint.colour = dark;
    fill(paint, at_x(2.35f), at_y(3.05f), at_x(2.4f), at_y(3.05f), 0.1f * s);  // nose
    paint.colour = eye;
    fill(paint, at_x(1.95f), at_y(3.42f), at_x(1.95f), at_y(3.42f), 0.07f * s);
    for (int leg = 0; leg < 4; ++leg) {
      const bool front = leg % 2 == 0;
      const bool near = leg >= 2;
      if (!near) {
        continue;
      }
      const float hip = front ? 1.0f : -1.0f;
      const float swing =
          0.35f * sinf(static_cast<float>(stride * 6.2832f) + (front ? 0.0f : 3.1416f) + 1.5708f);
      paint.colour = coat;
      fill(paint, at_x(hip), at_y(1.7f), at_x(hip + swing * 0.5f), at_y(0.8f), 0.14f * s);
      paint.colour = dark;
      fill(paint, at_x(hip + swing * 0.5f), at_y(0.8f), at_x(hip + swing), at_y(0.05f), 0.09f * s);
    }
  }

  int width_ = 0;
  int height_ = 0;
  std::array<std::vector<uint8_t>, 4> bases_;  // one still scene per look
};

}  // namespace

std::unique_ptr<FrameGenerator> make_landscape() {
  return std::make_unique<Landscape>();
}

}  // namespace imp_host
