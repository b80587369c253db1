#include "app/capture/capture_seams.h"

// Both calls have landed: the recording in video_capture.cc, the post-processing through it.
