// Calls the post-processing makes into parts of the system built elsewhere. Until a part
// lands, its call here is a seam that logs "not built yet" and reports the failure, never a
// made-up result; when it lands only the body in postprocess_seams.cc changes.
#pragma once

// Temperature: the last reading in whole degrees. Until the thermistor reading is built
// both are 255, the value that means "no valid reading". Returns 0, or -1 without a reading.
int current_temperature(int* ret_celsius, int* ret_fahrenheit);

// File counter and media names.
struct MediaNumber {
  int folder;  // 100..999
  int file;    // 1..9999
};
// Creates the counter's lock for one run (0 or -1) and destroys it.
int counter_lock_create();
void counter_lock_destroy();
// Advances the counter to the capture about to be post-processed: 0, or -1 when exhausted.
int counter_advance();
// The counter's current value.
MediaNumber counter_current();
// Removes every file of the current counter value for a photo (kind 1) or a video (kind 2).
void remove_capture_files(int kind);
