// The on-screen display of a video: display group 0 between the frame source and the encoder,
// its set-up and teardown, and the thread that keeps the date and time fields current while
// the recording runs.
#pragma once

// Creates the regions of the model in `group`. 0 / -1.
int osd_init(int group);
// Removes the regions and the group. 0 / -1.
int osd_exit(int group);
// Thread body: runs until the video thread sets videoDone. Refreshing the date and time
// regions once a second is not built yet.
void* time_update_thread(void* unused);
