// What the sync and first-boot states' files share: the small steps every part of the exchange
// takes (ask the Modem, answer it, wait for the card to be quiet) and each part's entry points,
// called by the dispatch in sync_states.cc.
#pragma once

#include <unistd.h>

#include <cstdint>

#include "app/system/core/event_message.h"
#include "app/system/core/sys_info.h"

namespace sync_parts {

inline constexpr useconds_t kPollUs = 1000;
inline constexpr char kModemSendError[] = "\r\n Error : mq_send : ";

// Writes one shared flag under the record lock.
void set(Flag& flag, int8_t value);

inline bool first_boot(int module) {
  return module == MOD_FIRSTBOOT;
}

// Sends one request to the Modem and, when the exchange now waits for the Modem, restarts the
// sync time-out.
void request_modem(int module, EventMessage event, int32_t request);
// Answers one of the Modem's own requests: the event record goes back with `kind` replaced.
void answer_modem(EventMessage event, int32_t kind);
// Waits until no card check, capture or format runs.
void wait_until_quiet();
void cancel_timeout();

// sync_exchange.cc: the answers of the MCU and the Modem, and the sync status.
void handle_mcu_answer(int module, EventMessage event);
void handle_modem_answer(int module, EventMessage event);
void handle_sync_status(int module, EventMessage event);

// sync_card.cc: lending the card to the Modem, and the format the Modem asks for at first boot.
void handle_get_sd_control(int module, EventMessage event);
void handle_return_sd_control(int module, EventMessage event);
void handle_format_request(EventMessage event);

// sync_captures.cc: captures and instant queries during a sync.
void handle_capture_notification(EventMessage event);
void handle_capture_end(EventMessage event);
void handle_instant_query(EventMessage event);

}  // namespace sync_parts
