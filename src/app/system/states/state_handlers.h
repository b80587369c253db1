// One handler per system state; build_state_table() puts them in the state table.
#pragma once

#include "app/system/core/event_message.h"

void handle_firstboot(EventMessage event);
void handle_sync(EventMessage event);  // STATE_SYNC and STATE_SYNCDAILY
void handle_capture_detection(EventMessage event);
void handle_capture_timelapse(EventMessage event);
void handle_capture_test(EventMessage event);
void handle_instant_request(EventMessage event);
void handle_init(EventMessage event);
void handle_powerdown(EventMessage event);
