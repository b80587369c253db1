// The simulated on-screen display as the other modules of the host library see it.
#pragma once

#include <stdint.h>

namespace imp_host {

// Draws the regions of the started display group that feeds encoder group `encoderGroup`
// (if one does) into an NV12 frame of `width` x `height`.
void draw_display_regions(int encoderGroup, uint8_t* nv12, int width, int height);
// Drops the registrations of display group `group` (the group is being destroyed).
void forget_display_group(int group);
// Destroys every region.
void reset_display();
// The display group exists (bindings.cc keeps the groups).
bool display_group_exists(int group);

}  // namespace imp_host
