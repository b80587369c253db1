// Client side of the external watchdog daemon: a keep-alive on /wdm_mngr_queue every 5 s.
#pragma once

#include <cstdint>

inline constexpr char kWdmQueueName[] = "/wdm_mngr_queue";
inline constexpr long kWdmQueueMaxMessages = 3;
inline constexpr int32_t kWdmKeepAlive = 3;
inline constexpr unsigned kWdmFeedPeriodSeconds = 5;

// A watchdog message: the type word and 32 bytes that carry nothing.
struct WdmMessage {
  int32_t type;
  uint8_t unused[32];
};
static_assert(sizeof(WdmMessage) == 36, "watchdog messages are 36 bytes");

// Sends one message of `type` to the watchdog queue, opening it on first use.
// Returns 0 on success, -1 when the type is refused or the queue cannot be opened or is full.
int wdm_send(int32_t type);

// Thread body: one keep-alive, then a 5 s sleep, for ever.
void* wdm_feed_thread(void* unused);
