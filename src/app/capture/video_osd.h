// The on-screen display of a video: display group 0 between the frame source and the encoder
// burns an information bar into every frame (a darkened band with the date, the time, the
// meridiem, the temperatures, the moon phase and the logos). The set-up places the regions
// of the camera model, the time update thread renders the texts once a second while the
// recording runs, and the teardown removes everything.
#pragma once

#include <atomic>
#include <cstdint>

#include "platform/imp/imp_osd_group.h"

// The date and time the time update thread last drew; written under sysInfoLock, read
// without it (the preview stamps of the recording take them).
struct OsdClock {
  std::atomic<int> hour{0}, minute{0}, second{0}, year{0}, month{0}, day{0};
  char ampm[4] = {};
};
extern OsdClock osdClock;

// Text kinds of render_text.
enum OsdTextKind { kTextDate = 1, kTextTime = 2, kTextMeridiem = 3, kTextTemperature = 4 };

// Creates, registers, places and attaches the model's regions in `group` and starts the
// group. The region table (ten handles, six for model 6), or null after a failure.
IMPRgnHandle* osd_init(int group);
// Hides, unregisters and destroys the regions, frees the table and destroys the group. 0 / -1.
int osd_exit(IMPRgnHandle* regions, int group);
// Thread body: shows the regions, then renders the texts and moon once a second until the
// video thread sets videoDone.
void* time_update_thread(void* unused);
// Draws `text` with the bar's font into a text region's buffer of kind `kind` (sized for the
// model osd_init set up), from its left edge.
void render_text(const char* text, uint8_t* buffer, int kind);
