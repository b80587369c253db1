// The thread table: the body of every thread that start-up and the first-boot state start,
// named by the subsystem that owns it. Every entry is set; the table only keeps the start-up
// code from naming each subsystem's thread function itself.
#pragma once

using ThreadBody = void* (*)(void*);
struct ThreadTable {
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
extern const ThreadTable kThreadBodies;
