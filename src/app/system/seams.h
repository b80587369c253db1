// Calls that start-up and the state machine make into subsystems that are not built yet.
//
// Each function here is a seam: it does nothing but say so at DEBUG level and report that
// the work did not happen (-1), so no caller ever mistakes it for done work. When a subsystem
// lands, its real function takes the name and the entry leaves this file.
#pragma once

#include <cstdint>

// Threads started by start-up; nullptr while the subsystem is not built (not started).
using ThreadBody = void* (*)(void*);
struct PendingThreads {
  ThreadBody warning_led = nullptr;          // indicators: warning light
  ThreadBody ev_wait = nullptr;              // photo capture: exposure wait
  ThreadBody capture_top_half = nullptr;     // capture orchestration: fast PIR capture
  ThreadBody sensor_release = nullptr;       // media session: sensor de-initialisation
  ThreadBody led_manager = nullptr;          // indicators: LED manager
  ThreadBody mcu_link_manager = nullptr;     // device links: MCU
  ThreadBody modem_link_manager = nullptr;   // device links: Modem
  ThreadBody capture_photo_video = nullptr;  // capture orchestration
  ThreadBody sd_card_monitor = nullptr;      // storage: free-space monitor
  ThreadBody video_preview = nullptr;        // capture: preview frames
  ThreadBody modem_sync_timeout = nullptr;   // system: Modem sync timeout
  ThreadBody instant_request = nullptr;      // system: instant requests
  ThreadBody format_button = nullptr;        // indicators: format button (first boot)
  ThreadBody format_enable = nullptr;        // indicators: format enable (first boot)
};
extern const PendingThreads kThreadBodies;

// The front panel's records, displays, warning light and format button.
#include "app/indicators/indicators.h"
