#include "sim/sensor/nv12_png.h"

#include <png.h>
#include <stdio.h>

#include <algorithm>
#include <array>
#include <fstream>
#include <iterator>
#include <memory>
#include <vector>

namespace sim::sensor {

namespace {

constexpr std::array<FrameSize, 4> kFrameSizes = {{
    {1920, 1080},
    {1280, 720},
    {640, 360},
    {320, 180},
}};

uint8_t clamp8(int value) {
  return static_cast<uint8_t>(std::clamp(value, 0, 255));
}

struct FileCloser {
  void operator()(FILE* file) const { fclose(file); }
};

}  // namespace

bool frame_size_of(size_t bytes, FrameSize* ret_size) {
  for (const FrameSize& size : kFrameSizes) {
    if (static_cast<size_t>(size.width) * size.height * 3 / 2 == bytes) {
      *ret_size = size;
      return true;
    }
  }
  return false;
}

int write_png(std::span<const uint8_t> nv12, FrameSize size, const std::string& path,
              std::string* ret_error) {
  const size_t pixels = static_cast<size_t>(size.width) * size.height;
  if (size.width <= 0 || size.height <= 0 || size.width % 2 != 0 || size.height % 2 != 0 ||
      nv12.size() < pixels * 3 / 2) {
    *ret_error =
        "not an NV12 frame of " + std::to_string(size.width) + "x" + std::to_string(size.height);
    return -1;
  }
  std::unique_ptr<FILE, FileCloser> file(fopen(path.c_str(), "wb"));
  if (!file) {
    *ret_error = "cannot write " + path;
    return -1;
  }
  png_structp png = png_create_write_struct(PNG_LIBPNG_VER_STRING, nullptr, nullptr, nullptr);
  png_infop info = png != nullptr ? png_create_info_struct(png) : nullptr;
  if (info == nullptr) {
    png_destroy_write_struct(&png, nullptr);
    *ret_error = "out of memory";
    return -1;
  }
  std::vector<uint8_t> row(static_cast<size_t>(size.width) * 3);
  if (setjmp(png_jmpbuf(png))) {
    png_destroy_write_struct(&png, &info);
    *ret_error = "PNG encoder failed on " + path;
    return -1;
  }
  png_init_io(png, file.get());
  png_set_compression_level(png, 3);
  png_set_IHDR(png, info, static_cast<png_uint_32>(size.width),
               static_cast<png_uint_32>(size.height), 8, PNG_COLOR_TYPE_RGB, PNG_INTERLACE_NONE,
               PNG_COMPRESSION_TYPE_DEFAULT, PNG_FILTER_TYPE_DEFAULT);
  png_write_info(png, info);
  for (int y = 0; y < size.height; ++y) {
    const uint8_t* luma = nv12.data() + static_cast<size_t>(y) * size.width;
    const uint8_t* chroma = nv12.data() + pixels + static_cast<size_t>(y / 2) * size.width;
    for (int x = 0; x < size.width; ++x) {
      // Full-range BT.601, as the camera's frames are.
      const int yy = luma[x];
      const int u = chroma[x & ~1] - 128;
      const int v = chroma[(x & ~1) + 1] - 128;
      row[3 * x] = clamp8(yy + ((359 * v) >> 8));
      row[3 * x + 1] = clamp8(yy - ((88 * u + 183 * v) >> 8));
      row[3 * x + 2] = clamp8(yy + ((454 * u) >> 8));
    }
    png_write_row(png, row.data());
  }
  png_write_end(png, nullptr);
  png_destroy_write_struct(&png, &info);
  return 0;
}

int convert_snapshot(const std::string& rawPath, const std::string& pngPath,
                     std::string* ret_error) {
  std::ifstream in(rawPath, std::ios::binary);
  if (!in) {
    *ret_error = "cannot read " + rawPath;
    return -1;
  }
  std::vector<uint8_t> data((std::istreambuf_iterator<char>(in)), std::istreambuf_iterator<char>());
  FrameSize size{};
  if (!frame_size_of(data.size(), &size)) {
    *ret_error = rawPath + " is " + std::to_string(data.size()) +
                 " bytes, not a whole frame of any size the camera makes";
    return -1;
  }
  return write_png(data, size, pngPath, ret_error);
}

}  // namespace sim::sensor
