// Sending one message on a link: encode with nanopb, frame, dump, one write, drain.
#pragma once

#include <pb.h>

#include "app/links/link_messages.h"
#include "app/links/link_profile.h"

// Encodes `message` (described by `fields`) into the link's encode buffer, frames it, logs and
// prints the frame, writes it with one write() and waits until it has left the port. Returns 0,
// or -1 (logged): on an encoding failure or a frame too long for the link nothing is written.
int send_frame(const LinkProfile& link, int port, const pb_msgdesc_t* fields, const void* message);

// The link managers' senders: the outbound wrapper of each link on mcuPort / modemPort.
int mcu_send_frame(const kvt_ISP2MCU& message);
int modem_send_frame(const kvt_ISP2Modem& message);

// The same on a given descriptor (the simulated board and tests).
int mcu_send_frame_on(int port, const kvt_ISP2MCU& message);
int modem_send_frame_on(int port, const kvt_ISP2Modem& message);
