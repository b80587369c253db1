// Calls the capture makes into the video recording and its post-processing, which are built
// elsewhere. Until they land each call here is a seam that logs "not built yet" and fails
// (-1); the capture then ends the way a failure of that step ends it (a capture error), never
// with a made-up result. When the real function lands, only its line in capture_seams.cc
// changes.
#pragma once

// Video pipeline: post-processes the last recording; the outcome is left in
// photoHandover.postProcessFailed.
int capture_video_post_process();
// Video recording: records one video with sound and returns when both threads have ended.
int capture_record_video();
