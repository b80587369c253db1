// The entry point's bring-up, in its fixed order.
#pragma once

#include <ctime>

// Wall-clock time taken as the very first action of the process, for the capture timing.
extern timespec appStartTime;

// Runs every start-up step up to and including the start of the long-lived threads.
// A fatal failure logs its line and ends the process with status -1.
void app_startup();
