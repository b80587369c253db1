// Capture orchestration: which thread takes the pictures of a capture, when they are
// post-processed, and how the end of the capture reaches the system server (EVENT_CAP_DONE or
// EVENT_CAP_ERROR).
//
// A PIR wake-up takes the fast path: the top half starts the photo bring-up from the boot tags
// alone, before the configuration is read, and the bottom half (started by the detection
// state) post-processes and reports. Captures while the camera is awake go through the normal
// capture thread, armed by the capture states with captureStart.
#pragma once

#include <pthread.h>

#include <atomic>
#include <cstdint>

// Thread bodies.
void* capture_top_half(void* unused);
void* capture_bottom_half(void* unused);
void* normal_capture_thread(void* unused);

// One capture of the normal capture thread, from the request to its report; returns when the
// thread would wait for the next request (tests drive it directly).
void normal_capture_once();

// Tears the pipeline down, clears the capture flags, sends EVENT_CAP_ERROR and leaves the
// capture-error marker for the next boot.
void report_capture_error();

// Stores the capture-error marker in the boot tags and in /config/cap_error_file.
void record_capture_error_reboot();

// Sets the system clock to rtcEpoch - offset seconds.
int set_system_time(long offset);

// Sends EVENT_CAP_DONE or EVENT_CAP_ERROR to the system server.
void send_capture_event(int kind);

// Set while the top half runs (start-up starts it detached, so it is waited for by this flag).
extern std::atomic<uint8_t> topHalfRunning;

// Starts the bottom half with the shared thread attributes, joinable. Returns the
// pthread_create error (0 on success).
int start_capture_bottom_half(pthread_t* ret_thread);

// Waits until the top half has ended (at once when it never ran).
void wait_top_half_end();
