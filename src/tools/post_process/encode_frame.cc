#include "encode_frame.h"

#include <fcntl.h>
#include <stdio.h>
#include <sys/mman.h>
#include <sys/stat.h>
#include <unistd.h>

#include <algorithm>
#include <cerrno>
#include <charconv>
#include <cstring>
#include <memory>
#include <string_view>

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

// One plane of the scaled picture in anonymous memory that is only touched row by row: the
// scaler writes rows at their place in the whole plane, the encoder takes them in bands and
// the rows it has taken go back to the system, so a 8432x4744 picture never sits in memory
// whole.
class Plane {
 public:
  Plane(int width, int height)
      : width_(width),
        height_(height),
        bytes_(static_cast<std::size_t>(width) * static_cast<std::size_t>(height)) {
    void* memory =
        mmap(nullptr, bytes_, PROT_READ | PROT_WRITE, MAP_PRIVATE | MAP_ANONYMOUS, -1, 0);
    base_ = memory == MAP_FAILED ? nullptr : static_cast<uint8_t*>(memory);
  }
  ~Plane() {
    if (base_ != nullptr) {
      munmap(base_, bytes_);
    }
  }
  Plane(const Plane&) = delete;
  Plane& operator=(const Plane&) = delete;

  bool ok() const { return base_ != nullptr; }
  uint8_t* data() const { return base_; }
  int width() const { return width_; }
  // Row `y`, or the last row for rows past the bottom (a band's padding).
  JSAMPROW row(int y) const {
    return base_ +
           static_cast<std::size_t>(std::min(y, height_ - 1)) * static_cast<std::size_t>(width_);
  }
  // Rows [0, `end`) will not be read again: give back the whole pages they cover.
  void release_rows_before(int end) {
    static const std::size_t page = static_cast<std::size_t>(sysconf(_SC_PAGESIZE));
    const std::size_t limit = static_cast<std::size_t>(std::min(end, height_)) * width_;
    const std::size_t upto = limit / page * page;
    if (upto > released_) {
      madvise(base_ + released_, upto - released_, MADV_DONTNEED);
      released_ = upto;
    }
  }

 private:
  int width_;
  int height_;
  std::size_t bytes_;
  uint8_t* base_ = nullptr;
  std::size_t released_ = 0;
};

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

void set_up_jpeg(jpeg_compress_struct* info, const EncodeRequest& request, FILE* out) {
  jpeg_stdio_dest(info, out);
  info->image_width = static_cast<JDIMENSION>(request.width);
  info->image_height = static_cast<JDIMENSION>(request.height);
  info->input_components = 3;
  info->in_color_space = JCS_YCbCr;
  jpeg_set_defaults(info);
  jpeg_set_colorspace(info, JCS_YCbCr);
  jpeg_set_quality(info, request.quality, TRUE);
  // The planes go in as they are (no colour conversion): luma at full resolution, both
  // chroma planes at half resolution in each direction.
  info->raw_data_in = TRUE;
  info->dct_method = JDCT_ISLOW;
  info->comp_info[0].h_samp_factor = 2;
  info->comp_info[0].v_samp_factor = 2;
  for (int c = 1; c < 3; ++c) {
    info->comp_info[c].h_samp_factor = 1;
    info->comp_info[c].v_samp_factor = 1;
  }
}

// Scales the frame into the planes a slice of rows at a time and hands every completed band
// of 16 luma and 8 chroma rows to the encoder (baseline JPEG).
int scale_and_encode(const uint8_t* frame, const EncodeRequest& request, FILE* out,
                     std::string* ret_reason) {
  constexpr int kBandRows = 16;  // luma rows of one JPEG band
  // Rows of the 1920x1080 frame fed to the scaler at once: slices for an enlargement, which
  // gives the same picture as the whole frame at once; a reduction is small and takes the
  // whole frame, as slicing it changes a few pixels next to the slice edges.
  const int kSliceRows = request.height > kFrameHeight ? 16 : kFrameHeight;
  SwsPtr scaler(sws_getContext(
      kFrameWidth, kFrameHeight, AV_PIX_FMT_YUV420P, request.width, request.height,
      AV_PIX_FMT_YUV420P, filter_of(request.resizeMethod).swsFlags, nullptr, nullptr, nullptr));
  if (!scaler) {
    return fail(ret_reason, "the scaler cannot be set up for this size");
  }
  const int chromaWidth = (request.width + 1) / 2;
  const int chromaHeight = (request.height + 1) / 2;
  Plane planes[3] = {
      {request.width, request.height}, {chromaWidth, chromaHeight}, {chromaWidth, chromaHeight}};
  if (!planes[0].ok() || !planes[1].ok() || !planes[2].ok()) {
    return fail(ret_reason, "no memory for a picture of this size");
  }

  jpeg_compress_struct info{};
  JpegError error{};
  info.err = jpeg_std_error(&error.manager);
  error.manager.error_exit = keep_jpeg_error;
  jpeg_create_compress(&info);
  set_up_jpeg(&info, request, out);
  jpeg_start_compress(&info, TRUE);

  JSAMPROW lumaRows[kBandRows];
  JSAMPROW cbRows[kBandRows / 2];
  JSAMPROW crRows[kBandRows / 2];
  JSAMPARRAY bands[3] = {lumaRows, cbRows, crRows};
  uint8_t* const target[3] = {planes[0].data(), planes[1].data(), planes[2].data()};
  const int targetStride[3] = {request.width, chromaWidth, chromaWidth};
  const int sourceStride[3] = {kFrameWidth, kFrameWidth / 2, kFrameWidth / 2};
  int scaled = 0;  // luma rows the scaler has written
  for (int y = 0; y < kFrameHeight && !error.failed; y += kSliceRows) {
    const uint8_t* source[3] = {
        frame + y * kFrameWidth, frame + kFrameWidth * kFrameHeight + y / 2 * kFrameWidth / 2,
        frame + kFrameWidth * kFrameHeight * 5 / 4 + y / 2 * kFrameWidth / 2};
    const int rows = std::min(kSliceRows, kFrameHeight - y);
    scaled += sws_scale(scaler.get(), source, sourceStride, y, rows, target, targetStride);
    // Every band whose rows are all written (the last band once the scaler has finished).
    while (
        !error.failed && static_cast<int>(info.next_scanline) < request.height &&
        (scaled >= static_cast<int>(info.next_scanline) + kBandRows || scaled >= request.height)) {
      const int top = static_cast<int>(info.next_scanline);
      for (int i = 0; i < kBandRows; ++i) {
        lumaRows[i] = planes[0].row(top + i);
      }
      for (int i = 0; i < kBandRows / 2; ++i) {
        cbRows[i] = planes[1].row(top / 2 + i);
        crRows[i] = planes[2].row(top / 2 + i);
      }
      jpeg_write_raw_data(&info, bands, kBandRows);
      planes[0].release_rows_before(top + kBandRows);
      planes[1].release_rows_before((top + kBandRows) / 2);
      planes[2].release_rows_before((top + kBandRows) / 2);
    }
  }
  if (!error.failed && static_cast<int>(info.next_scanline) < request.height) {
    jpeg_destroy_compress(&info);
    return fail(ret_reason, "the scaler failed");
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

std::string partial_path(const std::string& output) {
  const std::size_t slash = output.rfind('/');
  const std::size_t name = slash == std::string::npos ? 0 : slash + 1;
  return output.substr(0, name) + "." + output.substr(name) + ".part";
}

int encode_frame(const uint8_t* frame, const EncodeRequest& request, std::string* ret_reason) {
  // The picture is written beside its name and takes the name only once it is whole, so that a
  // power cut never leaves part of a picture under the name the camera and the owner look for.
  const std::string partial = partial_path(request.output);
  FilePtr out(fopen(partial.c_str(), "wb"));
  if (!out) {
    return fail(ret_reason, "cannot write " + partial + ": " + strerror(errno));
  }
  // Large writes: the card is slow per call (a FUSE file system on the board, a card on the
  // camera), not per byte.
  static char writeBuffer[1 << 20];
  setvbuf(out.get(), writeBuffer, _IOFBF, sizeof writeBuffer);
  int result = scale_and_encode(frame, request, out.get(), ret_reason);
  if (result == 0 &&
      (fflush(out.get()) != 0 || ferror(out.get()) || fsync(fileno(out.get())) != 0)) {
    result = fail(ret_reason, "cannot write " + partial + ": " + strerror(errno));
  }
  if (fclose(out.release()) != 0 && result == 0) {
    result = fail(ret_reason, "cannot write " + partial + ": " + strerror(errno));
  }
  if (result == 0 && rename(partial.c_str(), request.output.c_str()) != 0) {
    result = fail(ret_reason, "cannot name " + request.output + ": " + strerror(errno));
  }
  if (result != 0) {
    unlink(partial.c_str());
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
