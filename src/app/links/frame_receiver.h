// Receiving one frame on a link, after the link loop has read its start byte.
#pragma once

#include <sys/time.h>

#include <cstdint>

#include "app/links/link_messages.h"

// The link managers' message handlers: called with each decoded inbound message and the link
// loop's wait time, which the handler may re-arm.
using McuMessageHandler = void (*)(const kvt_MCU2ISP& message, timeval* waitTime);
using ModemMessageHandler = void (*)(const kvt_Modem2ISP& message, timeval* waitTime);

// What a link has seen. Written only by the link's own thread.
struct LinkCounters {
  uint32_t framesHandled = 0;  // decoded and passed to the message handler
  uint32_t framesDropped = 0;  // refused length, bad checksum or stop byte, undecodable
  uint32_t strayBytes = 0;     // bytes outside any frame
  uint32_t emptyReads = 0;     // reads inside a frame that returned no byte (0.5 s each)
  uint32_t timeouts = 0;       // wait time ran out
  uint32_t requests = 0;       // records taken from the link's queue
};

// Reads the rest of a frame from `port` one byte per read(): header byte, version, sequence
// and both length bytes, the payload, the checksum field and the stop byte, unstuffing the
// version, sequence, payload and checksum. A read that returns nothing leaves the read byte as
// it was; the frame then normally fails its checks. A frame with a good checksum and stop byte
// is decoded into the link's zeroed inbound wrapper and passed to `handler` with `waitTime`.
// Returns 0 when a message was handled, 1 when the frame was dropped (logged). `ret_counters`,
// when given, collects the empty reads.
int mcu_read_frame(int port, McuMessageHandler handler, timeval* waitTime,
                   LinkCounters* ret_counters = nullptr);
int modem_read_frame(int port, ModemMessageHandler handler, timeval* waitTime,
                     LinkCounters* ret_counters = nullptr);
