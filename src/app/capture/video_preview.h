// The preview pictures of a video: while the recording goes on, the preview thread turns the
// key frames the recording loop kept (/tmp/stream1.h265 about a second in, /tmp/stream2.h265
// in the middle) into 640x360 JPEGs with the information bar, /tmp/frame1.jpg and
// /tmp/frame2.jpg, and keeps what the post-processing needs for the third picture.
#pragma once

#include "app/postprocess/capture_time.h"

// The time the second brand's first preview is stamped with when the recording's first
// stamp is not usable: the capture epoch less 7 seconds, stored back as the new epoch.
CaptureTime stamp_one_fallback();

// Makes the two preview pictures of one video once the recording signals its middle key
// frame. Started once by start-up; never returns.
void* preview_thread(void* unused);

// One pass of the thread's work for a signalled video (tests call it directly).
void make_video_previews();
