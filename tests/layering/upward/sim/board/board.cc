// Planted for the layering check's test: the board library naming one of its parts, which are
// put together above it. Its own headers and those of the libraries below it are allowed.
#include "sim/board/board.h"

#include "sim/card/card_part.h"
#include "sim/mcu/mcu_peer.h"
#include "sim/peers/serial_line.h"
