// What the Modem link manager, the sync and first-boot states and the sync timeout share
// beside SysInfo: the bookkeeping of one exchange with the server.
//
// Ownership and locking as for SysInfo: one record for the process (modemSyncInfo, static
// storage), every write under sysInfoLock, reads without it.
#pragma once

#include <atomic>
#include <cstdint>

#include "app/system/core/sys_info.h"

struct ModemSyncInfo {
  Flag syncTypeAcked{0};    // the Modem confirmed the sync type
  Flag rtcSetConfirmed{0};  // the MCU confirmed the clock the Modem sent
  Flag configPending{0};    // a configuration fetch is owed after the next SUCCESSFUL
  Flag queryProcessed{0};   // outcome of the instant query being answered
  Flag queryResult{0};
  Flag uploadStarted{0};       // an upload next action was sent in this run
  Flag ignoreQueryFlow{0};     // the instant state handed an IGNORE query to the sync
  Flag sdControlBusy{0};       // an SD-control request is being handled by the sync state
  Value usbInitDone{0};        // 1 once the USB mass-storage function is set up
  Value formatRequest{0};      // the Modem's SD format request value
  Flag formatRunning{0};       // the first-boot state is formatting the card
  Flag sdPreparing{0};         // the first-boot state prepares the card: SD control is busy
  Flag modemClockReceived{0};  // the Modem sent a valid clock in this run
  Value instantQueryReceived{0};
  Flag configIntakeBusy{0};   // a configuration was asked for and its chain has not ended
  Flag signalKnown{0};        // the Modem reported a signal strength
  Flag batteryLevelKnown{0};  // the fuel gauge answered valid
  Flag syncSucceeded{0};
  Value sdPartitionCount{2};  // partitions of the card when it was last counted

  // Sync timeout controls.
  Flag timeoutStart{0};
  Flag timeoutCancel{0};
};

extern ModemSyncInfo* modemSyncInfo;

// Seconds left of the sync timeout; written by the states under sysInfoLock, counted down
// by the timeout thread without it.
extern std::atomic<int32_t> timeoutRemaining;
// The timeout expired during a test capture, a first boot or test mode.
extern std::atomic<int8_t> signalTimeout;
// Camera-ready value shown on the LEDs: 0 a problem, 1 all good, 2 not yet known.
extern std::atomic<int32_t> readyStatus;

// A fresh record for the process (start-up) or a test.
void reset_modem_sync_info();
