// Scaling and JPEG encoding of the overlaid 1920x1080 frame, the work of
// /system/bin/post_process.
#pragma once

#include <cstddef>
#include <cstdint>
#include <string>

inline constexpr int kFrameWidth = 1920;
inline constexpr int kFrameHeight = 1080;
inline constexpr std::size_t kFrameBytes = kFrameWidth * kFrameHeight * 3 / 2;  // planar 4:2:0

inline constexpr int kMinWidth = 640;
inline constexpr int kMinHeight = 360;
inline constexpr int kMaxWidth = 8432;
inline constexpr int kMaxHeight = 4744;

struct EncodeRequest {
  std::string output;
  int width = 0;
  int height = 0;
  int quality = 0;       // 1..100
  int resizeMethod = 0;  // row of kResizeFilters
};

// The resize methods: each value selects a different scaler filter.
struct ResizeFilter {
  int method;
  int swsFlags;
  const char* name;
};
extern const ResizeFilter kResizeFilters[];
extern const std::size_t kResizeFilterCount;
inline constexpr int kDefaultResizeMethod = 1;

// Parses "OUTPUT WIDTH HEIGHT QUALITY METHOD". A quality outside 1..100 is taken to the
// nearest bound and an unknown method to the default, so the camera still stores its photos;
// a size out of range or a word that is not a number is refused. Returns 0, or -1 with a
// one-line reason in `ret_reason`.
int parse_encode_request(int argc, const char* const* argv, EncodeRequest* ret_request,
                         std::string* ret_reason);

// Reads the frame from `input`: exactly kFrameBytes of planar 4:2:0. Returns 0 or -1.
int read_frame(const char* input, uint8_t* frame, std::string* ret_reason);

// Scales `frame` to the request's size and writes a baseline JPEG beside its output
// (partial_path) that takes the output's name once it is whole. On failure no partial file is
// left. Returns 0 or -1 with a reason.
int encode_frame(const uint8_t* frame, const EncodeRequest& request, std::string* ret_reason);
// Where a picture is written until it is whole: ".NAME.part" in the output's folder.
std::string partial_path(const std::string& output);

// Touches the scaler and the encoder once so that their code is in the page cache before
// the first capture needs it.
int preload_codecs();
