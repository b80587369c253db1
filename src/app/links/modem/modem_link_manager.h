// The Modem link manager: the one thread that owns /dev/ttyS0. It turns Modem request records
// and answer records from /modem_mngr_queue into kvt_ISP2Modem messages, repeats unanswered
// requests, and turns every kvt_Modem2ISP message into an immediate answer, an event for the
// system server or a MSG_MODEM_RESP record.
#pragma once

#include <sys/time.h>

#include "app/links/link_loop.h"
#include "app/system/core/event_message.h"

// Expected answer time of a request, and the idle wait after an answer.
inline constexpr long kModemAnswerSeconds = 5;
inline constexpr long kModemIdleAfterAnswerSeconds = 3000;

// The three hooks of the link loop.
void modem_send_request(const EventMessage& record, timeval* waitTime);
void modem_retry(timeval* waitTime);
void modem_handle_message(const kvt_Modem2ISP& message, timeval* waitTime);

inline constexpr ModemLinkHooks kModemLinkHooks = {modem_send_request, modem_retry,
                                                   modem_handle_message};

// The last code the retry routine repeated (0: none yet).
extern std::atomic<int32_t> lastRepeatedModemRequest;

// Thread body: the link loop on the Modem port; returns only when the port cannot be opened.
void* modem_link_manager_thread(void* unused);
