// The regions of the information bar (band, texts, moon and logos) are not built yet: the
// set-up leaves the display group empty, so the video is recorded without the bar, and says
// so in the log. The group itself and the clock fields are real.
#include "app/capture/video_osd.h"

#include <unistd.h>

#include <ctime>

#include "app/capture/capture_flags.h"
#include "app/records/app_log.h"
#include "platform/imp/imp.h"

namespace {

constexpr useconds_t kTickUs = 100 * 1000;
constexpr int kTicksPerPass = 10;

}  // namespace

int osd_init(int group) {
  app_log(MOD_PHOTO_AV, LEVEL_DEBUG, "%s (group %d): not built yet", "video information bar",
          group);
  return 0;
}

int osd_exit(int group) {
  if (IMP_OSD_DestroyGroup(group) != 0) {
    app_log(MOD_PHOTO_AV, LEVEL_ERR, "IMP_OSD_DestroyGroup(%d) error !", group);
    return -1;
  }
  return 0;
}

void* time_update_thread(void*) {
  // Nothing to draw yet; the thread keeps its place in the recording's life: it runs until
  // the recording has ended, waking often enough to end promptly.
  while (!videoDone) {
    for (int i = 0; i < kTicksPerPass && !videoDone; ++i) {
      usleep(kTickUs);
    }
  }
  return nullptr;
}
