// The two serial ports: the MCU on /dev/ttyS1, the Modem on /dev/ttyS0, both 115200 baud, 8 data
// bits, no parity, two stop bits, raw, no flow control.
//
// Each port is opened once by its link thread and never closed; only that thread reads and
// writes it, so nothing here is locked.
#pragma once

#include <termios.h>

// Device paths; writable so that the simulated board can point them elsewhere.
extern const char* mcuPortPath;    // "/dev/ttyS1"
extern const char* modemPortPath;  // "/dev/ttyS0"

// Descriptors of the open ports; -1 until opened.
extern int mcuPort;
extern int modemPort;

// Applies the link settings to `port`: raw mode, `speed` in and out, CS8, CSTOPB, CREAD,
// CLOCAL, no parity, no hardware flow control, VMIN 0 and VTIME 5 (a read of one byte returns
// after at most 0.5 s, possibly with nothing), at once. Returns 0, or -1 (logged).
int configure_port(int port, speed_t speed);

// Open the link's device read-write, apply the settings at 115200 baud and keep the
// descriptor in mcuPort / modemPort. Return 0, or -1 (logged) leaving the variable at -1.
int open_mcu_port();
int open_modem_port();
