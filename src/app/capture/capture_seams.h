// Calls the capture makes into the card, the post-processing pipelines and the video
// recording, which are built elsewhere. Until a subsystem lands its call here is a seam that
// logs "not built yet" and fails (-1); the capture then ends the way a failure of that step
// ends it (a capture error), never with a made-up result. When the real function lands, only
// the body of its line in capture_seams.cc changes.
#pragma once

// Card: brings the card up and reports it mounted (0) or not (-1).
int capture_init_sd_card();
// Card: checks the mounted card; 0 when the SD status is "mounted" afterwards.
int capture_check_sd_card();
// Card: the number of partitions of the card (0 when unknown).
int capture_sd_partition_count();
// Naming: rebuilds the file counter from the card's folders. 0 on success.
int capture_restore_file_counter();
// Video pipeline: post-processes the last recording; the outcome as for photos.
int capture_video_post_process();
// Video recording: records one video with sound and returns when both threads have ended.
int capture_record_video();
