#include "encode_frame.h"

#include <fcntl.h>
#include <stdio.h>
#include <sys/stat.h>
#include <unistd.h>

#include <algorithm>
#include <cerrno>
#include <charconv>
#include <cstring>
#include <memory>
#include <string_view>
#include <vector>

// libjpeg's header needs FILE and size_t declared first.
#include <jpeglib.h>

extern "C" {
#include <libswscale/swscale.h>
}

const ResizeFilter kResizeFilters[] = {
    {0, SWS_FAST_BILINEAR, "fast bilinear"},
    {1, SWS_BILINEAR, "bilinear"},
    {2, SWS_BICUBIC, "bicubic"},
    {3, SWS_X, "experimental"},
    {4, SWS_POINT, "nearest neighbour"},
    {5, SWS_AREA, "area averaging"},
    {6, SWS_BICUBLIN, "bicubic luma, bilinear chroma"},
    {7, SWS_GAUSS, "gaussian"},
    {8, SWS_SINC, "sinc"},
    {9, SWS_LANCZOS, "lanczos"},
    {10, SWS_SPLINE, "natural bicubic spline"},
};
const std::size_t kResizeFilterCount = std::size(kResizeFilters);

namespace {

int fail(std::string* ret_reason, std::string reason) {
  *ret_reason = std::move(reason);
  return -1;
}

bool parse_int(std::string_view text, int* ret_value) {
  int value = 0;
  auto [end, error] = std::from_chars(text.data(), text.data() + text.size(), value);
  if (error != std::errc() || end != text.data() + text.size() || text.empty()) {
    return false;
  }
  *ret_value = value;
  return true;
}

const ResizeFilter& filter_of(int method) {
  for (const ResizeFilter& filter : kResizeFilters) {
    if (filter.method == method) {
      return filter;
    }
  }
  return kResizeFilters[kDefaultResizeMethod];
}

struct SwsDeleter {
  void operator()(SwsContext* context) const { sws_freeContext(context); }
};
using SwsPtr = std::unique_ptr<SwsContext, SwsDeleter>;

struct FileCloser {
  void operator()(FILE* file) const { fclose(file); }
};
using FilePtr = std::unique_ptr<FILE, FileCloser>;

// The scaled picture as three planes.
struct Planes {
  int width;
  int height;
  int chromaWidth;
  int chromaHeight;
  std::vector<uint8_t> luma;
  std::vector<uint8_t> cb;
  std::vector<uint8_t> cr;
};

int scale_frame(const uint8_t* frame, const EncodeRequest& request, Planes* ret_planes,
                std::string* ret_reason) {
  SwsPtr scaler(sws_getContext(
      kFrameWidth, kFrameHeight, AV_PIX_FMT_YUV420P, request.width, request.height,
      AV_PIX_FMT_YUV420P, filter_of(request.resizeMethod).swsFlags, nullptr, nullptr, nullptr));
  if (!scaler) {
    return fail(ret_reason, "the scaler cannot be set up for this size");
  }
  Planes& planes = *ret_planes;
  planes.width = request.width;
  planes.height = request.height;
  planes.chromaWidth = (request.width + 1) / 2;
  planes.chromaHeight = (request.height + 1) / 2;
  planes.luma.resize(static_cast<std::size_t>(planes.width) * planes.height);
  planes.cb.resize(static_cast<std::size_t>(planes.chromaWidth) * planes.chromaHeight);
  planes.cr.resize(planes.cb.size());

  const uint8_t* source[3] = {frame, frame + kFrameWidth * kFrameHeight,
                              frame + kFrameWidth * kFrameHeight * 5 / 4};
  const int sourceStride[3] = {kFrameWidth, kFrameWidth / 2, kFrameWidth / 2};
  uint8_t* target[3] = {planes.luma.data(), planes.cb.data(), planes.cr.data()};
  const int targetStride[3] = {planes.width, planes.chromaWidth, planes.chromaWidth};
  if (sws_scale(scaler.get(), source, sourceStride, 0, kFrameHeight, target, targetStride) !=
      request.height) {
    return fail(ret_reason, "the scaler failed");
  }
  return 0;
}

struct JpegError {
  jpeg_error_mgr manager;
  char message[JMSG_LENGTH_MAX];
  bool failed;
};

// libjpeg's default error exit ends the process; keep the message and carry on instead. A
// write error is the only fatal error here, and the writer notices it through ferror.
void keep_jpeg_error(j_common_ptr info) {
  auto* error = reinterpret_cast<JpegError*>(info->err);
  if (!error->failed) {
    (*info->err->format_message)(info, error->message);
  }
  error->failed = true;
}

// Baseline JPEG of the planes, written straight from them (no colour conversion): luma at
// full resolution, both chroma planes at half resolution in each direction.
int write_jpeg(const Planes& planes, int quality, FILE* out, std::string* ret_reason) {
  jpeg_compress_struct info{};
  JpegError error{};
  info.err = jpeg_std_error(&error.manager);
  error.manager.error_exit = keep_jpeg_error;
  jpeg_create_compress(&info);
  jpeg_stdio_dest(&info, out);
  info.image_width = static_cast<JDIMENSION>(planes.width);
  info.image_height = static_cast<JDIMENSION>(planes.height);
  info.input_components = 3;
  info.in_color_space = JCS_YCbCr;
  jpeg_set_defaults(&info);
  jpeg_set_colorspace(&info, JCS_YCbCr);
  jpeg_set_quality(&info, quality, TRUE);
  info.raw_data_in = TRUE;
  info.dct_method = JDCT_ISLOW;
  info.comp_info[0].h_samp_factor = 2;
  info.comp_info[0].v_samp_factor = 2;
  for (int c = 1; c < 3; ++c) {
    info.comp_info[c].h_samp_factor = 1;
    info.comp_info[c].v_samp_factor = 1;
  }
  jpeg_start_compress(&info, TRUE);

  // One band is 16 luma rows and 8 chroma rows; past the bottom the last row repeats.
  JSAMPROW lumaRows[16];
  JSAMPROW cbRows[8];
  JSAMPROW crRows[8];
  JSAMPARRAY bands[3] = {lumaRows, cbRows, crRows};
  auto row = [](const std::vector<uint8_t>& plane, int width, int height, int y) {
    return const_cast<JSAMPROW>(plane.data() + static_cast<std::size_t>(std::min(y, height - 1)) *
                                                   static_cast<std::size_t>(width));
  };
  while (info.next_scanline < info.image_height && !error.failed) {
    const int top = static_cast<int>(info.next_scanline);
    for (int i = 0; i < 16; ++i) {
      lumaRows[i] = row(planes.luma, planes.width, planes.height, top + i);
    }
    for (int i = 0; i < 8; ++i) {
      cbRows[i] = row(planes.cb, planes.chromaWidth, planes.chromaHeight, top / 2 + i);
      crRows[i] = row(planes.cr, planes.chromaWidth, planes.chromaHeight, top / 2 + i);
    }
    jpeg_write_raw_data(&info, bands, 16);
  }
  if (!error.failed) {
    jpeg_finish_compress(&info);
  }
  jpeg_destroy_compress(&info);
  if (error.failed) {
    return fail(ret_reason, std::string("JPEG encoder: ") + error.message);
  }
  return 0;
}

}  // namespace

int parse_encode_request(int argc, const char* const* argv, EncodeRequest* ret_request,
                         std::string* ret_reason) {
  if (argc != 5) {
    return fail(ret_reason, "usage: post_process OUTPUT WIDTH HEIGHT QUALITY RESIZE_METHOD");
  }
  EncodeRequest request;
  request.output = argv[0];
  if (request.output.empty()) {
    return fail(ret_reason, "the output path is empty");
  }
  const char* names[4] = {"width", "height", "quality", "resize method"};
  int* fields[4] = {&request.width, &request.height, &request.quality, &request.resizeMethod};
  for (int i = 0; i < 4; ++i) {
    if (!parse_int(argv[i + 1], fields[i])) {
      return fail(ret_reason, std::string("the ") + names[i] + " is not a number: " + argv[i + 1]);
    }
  }
  if (request.width < kMinWidth || request.width > kMaxWidth || request.height < kMinHeight ||
      request.height > kMaxHeight) {
    return fail(ret_reason, "size " + std::to_string(request.width) + "x" +
                                std::to_string(request.height) + " is outside 640x360..8432x4744");
  }
  request.quality = std::clamp(request.quality, 1, 100);
  request.resizeMethod = filter_of(request.resizeMethod).method;
  *ret_request = std::move(request);
  return 0;
}

int read_frame(const char* input, uint8_t* frame, std::string* ret_reason) {
  FilePtr file(fopen(input, "rb"));
  if (!file) {
    return fail(ret_reason, std::string("cannot open ") + input + ": " + strerror(errno));
  }
  const std::size_t got = fread(frame, 1, kFrameBytes, file.get());
  if (got != kFrameBytes) {
    return fail(ret_reason, std::string(input) + " holds " + std::to_string(got) +
                                " bytes, a 1920x1080 frame needs " + std::to_string(kFrameBytes));
  }
  return 0;
}

int encode_frame(const uint8_t* frame, const EncodeRequest& request, std::string* ret_reason) {
  Planes planes;
  if (scale_frame(frame, request, &planes, ret_reason) != 0) {
    return -1;
  }
  FilePtr out(fopen(request.output.c_str(), "wb"));
  if (!out) {
    return fail(ret_reason, "cannot write " + request.output + ": " + strerror(errno));
  }
  int result = write_jpeg(planes, request.quality, out.get(), ret_reason);
  if (fflush(out.get()) != 0 || ferror(out.get())) {
    result = fail(ret_reason, "cannot write " + request.output + ": " + strerror(errno));
  }
  if (fclose(out.release()) != 0 && result == 0) {
    result = fail(ret_reason, "cannot write " + request.output + ": " + strerror(errno));
  }
  if (result != 0) {
    unlink(request.output.c_str());
  }
  return result;
}

int preload_codecs() {
  SwsPtr scaler(sws_getContext(kFrameWidth, kFrameHeight, AV_PIX_FMT_YUV420P, kMaxWidth, kMaxHeight,
                               AV_PIX_FMT_YUV420P, SWS_BILINEAR, nullptr, nullptr, nullptr));
  jpeg_compress_struct info{};
  jpeg_error_mgr error{};
  info.err = jpeg_std_error(&error);
  jpeg_create_compress(&info);
  jpeg_destroy_compress(&info);
  return scaler ? 0 : -1;
}
