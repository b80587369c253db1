// The link loop that both link managers run, one thread per link.
//
// The loop waits with select() on the link's queue and its port for at most the wait time.
// Records from the queue go to the link manager's request sender; a start byte on the port
// starts a frame (read_frame, then the message handler); other bytes are logged and dropped;
// when the wait time runs out the retry routine is called. The wait time is the link's only
// timer: select() counts it down by the time spent waiting, the request sender sets it to the
// time an answer is expected in, and the message handler and the retry routine re-arm it.
#pragma once

#include <mqueue.h>
#include <sys/time.h>

#include <atomic>

#include "app/links/frame_receiver.h"
#include "app/system/core/event_message.h"

// The wait time while nothing is pending.
inline constexpr long kLinkIdleWaitSeconds = 300;

// Re-arms a wait time to whole seconds; does nothing for a null pointer (the request sender
// gets none when it sends an acknowledgement).
inline void set_wait_seconds(timeval* waitTime, long seconds) {
  if (waitTime != nullptr) {
    waitTime->tv_sec = seconds;
    waitTime->tv_usec = 0;
  }
}

// Hooks of the link managers. The request sender gets each 32-byte record from the link's
// queue; the retry routine is called when the wait time ran out and must re-arm it.
using RequestSender = void (*)(const EventMessage& record, timeval* waitTime);
using RetryRoutine = void (*)(timeval* waitTime);

struct McuLinkHooks {
  RequestSender sendRequest;
  RetryRoutine retry;
  McuMessageHandler handleMessage;
};

struct ModemLinkHooks {
  RequestSender sendRequest;
  RetryRoutine retry;
  ModemMessageHandler handleMessage;
};

// One link's loop: its descriptors, its wait time and what it has seen. Used only by the
// thread that turns it.
struct LinkLoopState {
  int port = -1;
  mqd_t queue = -1;
  timeval waitTime{kLinkIdleWaitSeconds, 0};
  LinkCounters counters;
};

// One turn of the loop: one select() and what it found ready. Returns 0, or -1 when select()
// failed (logged).
int mcu_link_turn(LinkLoopState& state, const McuLinkHooks& hooks);
int modem_link_turn(LinkLoopState& state, const ModemLinkHooks& hooks);

// Thread bodies of the links: open the port (open_mcu_port / open_modem_port; on failure log
// "Failed to open port" and return -1), then turn the loop on mcuQueue / modemQueue with the
// wait time at 300 s. They never return on the camera; `stop`, when given, is checked before
// every turn so that a test or the simulated board can end the loop (it then returns 0).
int run_mcu_link(const McuLinkHooks& hooks, const std::atomic<bool>* stop = nullptr);
int run_modem_link(const ModemLinkHooks& hooks, const std::atomic<bool>* stop = nullptr);
