#include "app/system/state_machine.h"

#include "app/records/archive/log_archive.h"
#include "app/records/log/app_log.h"
#include "app/system/boot_checks.h"
#include "app/system/core/event_queue.h"
#include "app/system/states/state_handlers.h"
#include "app/system/states/sync_states.h"

namespace {

std::array<StateHandler, kSystemStateCount> g_state_table{};

// The record the loop dispatches; the entry event keeps every word but `kind` of the event
// before it.
EventMessage g_server_event{};

}  // namespace

void build_state_table() {
  g_state_table = {
      nullptr,
      handle_firstboot,
      handle_sync,
      handle_sync,  // a daily sync is handled as a sync
      handle_capture_detection,
      handle_capture_timelapse,
      handle_capture_test,
      handle_instant_request,
      handle_init,
      handle_powerdown,
  };
}

StateHandler replace_state_handler(int32_t state, StateHandler handler) {
  if (state < 0 || state >= kSystemStateCount) {
    return nullptr;
  }
  StateHandler previous = g_state_table[static_cast<std::size_t>(state)];
  g_state_table[static_cast<std::size_t>(state)] = handler;
  return previous;
}

StateHandler state_handler(int32_t state) {
  if (state < 0 || state >= kSystemStateCount) {
    return nullptr;
  }
  return g_state_table[static_cast<std::size_t>(state)];
}

void change_state(int32_t new_state) {
  SemLock lock(&sysInfoLock);
  sysInfo->prevState = sysInfo->state.load();
  sysInfo->state = new_state;
  sysInfo->enterState = 1;
}

void log_state_change() {
  const int32_t previous = sysInfo->prevState;
  const int32_t current = sysInfo->state;
  if (previous != current) {
    app_log(MOD_MAIN, LEVEL_INFO, "State changes from %s to %s", state_name(previous),
            state_name(current));
  }
}

namespace {

// A failed capture: take the card back from the Modem to save the logs, then tell the MCU.
void before_capture_error() {
  if (take_back_sd_card() == 0) {
    archive_logs_if_sd_ready();
  }
  app_log(MOD_MAIN, LEVEL_INFO, "ISP to MCU - MCU_REQ_WDM_TRIGGERED");
  EventMessage request{};
  send_mcu_request(request, MCU_REQ_WDM_TRIGGERED,
                   "\r\n Error : mq_send (mcu q): MCU_REQ_WDM_TRIGGERED");
}

}  // namespace

void dispatch_event(EventMessage event) {
  const int32_t state = sysInfo->state;
  if (event.kind == EVENT_CAP_ERROR) {
    before_capture_error();
  } else if (event.kind == EVENT_CAP_DONE) {
    move_secondary_to_primary();
  }
  if (StateHandler handler = state_handler(state); handler != nullptr) {
    handler(event);
  }
}

int system_server_turn(long wait_ms) {
  if (sysInfo->enterState) {
    {
      SemLock lock(&sysInfoLock);
      sysInfo->enterState = 0;
    }
    g_server_event.kind = EVENT_STATE_ENTRY;
    dispatch_event(g_server_event);
    return 1;
  }
  int ready = wait_queue_readable(sysQueue, wait_ms);
  if (ready == 0) {
    app_log(MOD_MAIN, LEVEL_INFO,
            "Timeout : sys_server message queue timeout,waiting for message from modem/mcu");
    return 0;
  }
  if (ready < 0) {
    app_log(MOD_MAIN, LEVEL_ERR, "Error : sys_server Something went wrong with select\n\r");
    return 0;
  }
  if (receive_event(sysQueue, &g_server_event) != 0) {
    return 0;
  }
  dispatch_event(g_server_event);
  return 1;
}

void system_server_loop() {
  for (;;) {
    system_server_turn(kServerWaitMs);
  }
}
