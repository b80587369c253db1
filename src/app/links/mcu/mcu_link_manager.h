// The MCU link manager: the one thread that owns /dev/ttyS1. It turns MCU request records from
// /mcu_manager_queue into kvt_ISP2MCU messages, repeats unanswered requests, turns the MCU's
// answers into MSG_MCU_RESP records for the system server and forwards or refuses the MCU's
// PIR, time-lapse and test-button notifications.
#pragma once

#include <sys/time.h>

#include <atomic>
#include <cstdint>

#include "app/links/link_loop.h"
#include "app/system/core/event_message.h"

// Expected answer times and the idle wait after an answer.
inline constexpr long kMcuQuickAnswerSeconds = 1;  // clock and ready-to-sleep requests
inline constexpr long kMcuAnswerSeconds = 5;
inline constexpr long kMcuIdleAfterAnswerSeconds = 3000;

// Set by the state handlers to MCU_REQ_SET_RTC_DATE_TIME when they forward the Modem's clock.
extern std::atomic<int32_t> pendingAsyncMcuRequest;

// The three hooks of the link loop.
void mcu_send_request(const EventMessage& record, timeval* waitTime);
void mcu_retry(timeval* waitTime);
void mcu_handle_message(const kvt_MCU2ISP& message, timeval* waitTime);

// Repeats the pending asynchronous request (the clock sent to the MCU) while the MCU has not
// confirmed it (rtcSetConfirmed). Called by the sync states at the end of their configuration
// chain.
void mcu_retry_async();

inline constexpr McuLinkHooks kMcuLinkHooks = {mcu_send_request, mcu_retry, mcu_handle_message};

// Thread body: the link loop on the MCU port; returns only when the port cannot be opened.
void* mcu_link_manager_thread(void* unused);
