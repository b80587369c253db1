// The sync states (STATE_SYNC, STATE_SYNCDAILY) and the first-boot state share these with the
// LED manager, start-up and the state machine.
#pragma once

#include "app/system/core/event_message.h"

// Sets readyStatus from the signal, the battery level and the card: 0 a problem, 1 all good,
// 2 not yet known. Returns the new value.
int compute_ready_status();

// Takes the primary partition back from the Modem when it is lent. Returns 0 when the card is
// here (taken back or never lent), -1 when the remount failed.
int take_back_sd_card();

// (Re)starts the Modem sync timeout's count of 300 s: the exchange now waits for the Modem.
void start_sync_timeout();

// One count of the Modem sync timeout: waits for a start, counts 300 s unless cancelled, and
// sends the SHUTDOWN next action when it ran out. Returns 1 when it ran out, 0 when cancelled.
int sync_timeout_turn();
// Thread body of the Modem sync timeout; never returns.
void* modem_sync_timeout_thread(void* unused);

// A PIR, test-button or time-lapse notification while the Modem may hold the card (sync or
// instant request): arms a capture onto the secondary partition when the card has two
// partitions and nothing else runs, else refuses it (logging why where there is a reason to
// give). Returns true when a capture was armed. The caller acknowledges the notification.
bool arm_capture_during_sync(const EventMessage& event);
