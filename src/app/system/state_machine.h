// The system server: one loop on the main thread that hands each event of /sys_server_queue
// to the handler of the current state.
#pragma once

#include <array>

#include "app/system/core/event_message.h"
#include "app/system/core/state_names.h"
#include "app/system/core/sys_info.h"

// A state handler takes one event by value.
using StateHandler = void (*)(EventMessage event);

// How long the server waits for an event before it logs the quiet queue.
inline constexpr long kServerWaitMs = 300L * 1000;

// Fills the handler table (slots 1 to 9). Called once by start-up.
void build_state_table();

// Puts `handler` in the slot of `state` and returns the one it replaces (tests observe the
// dispatch through it).
StateHandler replace_state_handler(int32_t state, StateHandler handler);

// The handler of `state`, or nullptr when the state has none.
StateHandler state_handler(int32_t state);

// Never returns: one system_server_turn() after another with the 300 s wait.
[[noreturn]] void system_server_loop();

// One turn of the loop: deliver the entry event if a state was just entered, otherwise wait at
// most `wait_ms` for one event and dispatch it. Returns 1 when an event was dispatched, 0 on
// a time-out or error.
int system_server_turn(long wait_ms);

// Runs the pre-steps of EVENT_CAP_ERROR and EVENT_CAP_DONE, then the handler of the state
// that was current when the event arrived.
void dispatch_event(EventMessage event);

// Under sysInfoLock: prevState = state, state = new_state, enterState = 1.
void change_state(int32_t new_state);

// What every handler does first on EVENT_STATE_ENTRY: log "State changes from %s to %s"
// (module 0) when the previous and current states differ.
void log_state_change();
