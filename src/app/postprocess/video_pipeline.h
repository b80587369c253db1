// The video post-processing: multiplexes the recorded H.265 stream and PCM audio into the
// stored MP4 (AAC sound, creation time), finishes the previews when the camera uploads, and
// encrypts what is stored when a password is set. The temporary files always go; a failed run
// removes this number's files and leaves photoHandover.postProcessFailed set, so the next
// capture reuses the number.
#pragma once

// -1 when the run could not start (file counter exhausted); else 0.
int video_post_process();
// Builds and runs the multiplexer for `root`. 0, or -1 after marking the run failed.
int mux_video(const char* root);
// The ffmpeg command line of mux_video (tests check it).
int mux_command(char* buffer, int size, const char* root, int stream, int folder, int file);
// The previews' finishing step and the encryption of the stored files. 0.
int finish_video_previews(const char* root);
