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
  ThreadBody warning_led;          // indicators: warning light
  ThreadBody ev_wait;              // photo capture: exposure wait
  ThreadBody capture_top_half;     // capture orchestration: fast PIR capture
  ThreadBody sensor_release;       // media session: sensor de-initialisation
  ThreadBody led_manager;          // indicators: LED manager
  ThreadBody mcu_link_manager;     // device links: MCU
  ThreadBody modem_link_manager;   // device links: Modem
  ThreadBody capture_photo_video;  // capture orchestration
  ThreadBody sd_card_monitor;      // storage: free-space monitor
  ThreadBody video_preview;        // capture: preview frames
  ThreadBody modem_sync_timeout;   // system: Modem sync timeout
  ThreadBody instant_request;      // system: instant requests
};
extern const PendingThreads kThreadBodies;

// Indicators: warning LED timer locks.
int init_warning_led_locks();
// Boot checks: watchdog and capture-error records.
int read_wdm_record();
int read_cap_error_record();
// Temperature from the thermistor; -1 when it cannot be read.
int read_temperature();
// Indicators: every LED record off.
void set_all_led_records_off();
// Storage: take the primary partition back from USB mass storage and remount it.
int take_back_sd_card();
// Records: archive the application log on the card.
int archive_logs_to_sd();
// Storage: move the secondary partition's files to the primary.
int move_secondary_to_primary();
