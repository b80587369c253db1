// /system/bin/post_process: the board image's JPEG encoder and scaler.
//
//   post_process OUTPUT WIDTH HEIGHT QUALITY RESIZE_METHOD
//     reads /tmp/out_420p.yuv (1920x1080 planar 4:2:0), scales it to WIDTHxHEIGHT
//     (640x360 to 8432x4744) and writes a baseline JPEG of QUALITY (1..100) to OUTPUT.
//   post_process load-cache
//     loads the program and its libraries into the page cache and returns.
//
// Any failure exits with status 1 and one line on standard error saying why.
#include <cstdio>
#include <cstring>
#include <string>
#include <vector>

#include "encode_frame.h"

namespace {

constexpr const char* kInput = "/tmp/out_420p.yuv";

int refuse(const std::string& reason) {
  std::fprintf(stderr, "post_process: %s\n", reason.c_str());
  return 1;
}

}  // namespace

int main(int argc, char** argv) {
  if (argc == 2 && std::strcmp(argv[1], "load-cache") == 0) {
    return preload_codecs() == 0 ? 0 : refuse("cannot set up the scaler");
  }
  std::string reason;
  EncodeRequest request;
  if (parse_encode_request(argc - 1, argv + 1, &request, &reason) != 0) {
    return refuse(reason);
  }
  std::vector<uint8_t> frame(kFrameBytes);
  if (read_frame(kInput, frame.data(), &reason) != 0 ||
      encode_frame(frame.data(), request, &reason) != 0) {
    return refuse(reason);
  }
  return 0;
}
