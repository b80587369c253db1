#include "app/capture/capture_seams.h"

#include "app/records/app_log.h"

namespace {

int not_built(const char* what) {
  app_log(MOD_PHOTO_AV, LEVEL_DEBUG, "%s: not built yet", what);
  return -1;
}

}  // namespace

// clang-format off
int capture_video_post_process() { return not_built("video post-processing"); }
int capture_record_video() { return not_built("video recording"); }
// clang-format on
