// The Modem sync timeout: a Modem that keeps searching for a signal, or that the sync waits for
// in vain, is told to shut down after 300 seconds and the sync ends, so that a sync cannot drain
// the battery for ever (the sync states start and cancel the count).
#include <unistd.h>

#include "app/links/modem/modem_sync_info.h"
#include "app/records/app_log.h"
#include "app/system/event_queue.h"
#include "app/system/seams.h"
#include "app/system/sync_states.h"
#include "app/system/sys_info.h"

namespace {

constexpr useconds_t kIdlePollUs = 100 * 1000;
constexpr unsigned kCountStepSeconds = 1;

bool signal_led_shows_timeout() {
  const int32_t state = sysInfo->state;
  return state == STATE_CAPTURETEST || state == STATE_FIRSTBOOT || sysInfo->testMode;
}

}  // namespace

int sync_timeout_turn() {
  while (!modemSyncInfo->timeoutStart) {
    usleep(kIdlePollUs);
  }
  {
    SemLock lock(&sysInfoLock);
    modemSyncInfo->timeoutStart = 0;
    modemSyncInfo->timeoutCancel = 0;
  }
  app_log(MOD_MAIN, LEVEL_INFO, "Modem Sync timeout started");
  while (timeoutRemaining.fetch_sub(1) != 0 && !modemSyncInfo->timeoutCancel) {
    sleep(kCountStepSeconds);
  }
  if (modemSyncInfo->timeoutCancel) {
    app_log(MOD_MAIN, LEVEL_INFO, "Cancelled Modem Timeout!!!");
    return 0;
  }
  app_log(MOD_MAIN, LEVEL_INFO, "Timeout ! : No signal received after 300 seconds");
  if (signal_led_shows_timeout()) {
    app_log(MOD_MAIN, LEVEL_INFO, "Signal LED 1 blink for 5 seconds");
    show_signal_timeout_leds();
    signalTimeout = 1;
  }
  app_log(MOD_MAIN, LEVEL_INFO,
          "ISP to Modem - MODEM_REQ_SET_SERVER_NEXT_ACTION_SYNCACTION_SHUTDOWN");
  EventMessage request{};
  send_modem_request(request, MODEM_REQ_SET_SERVER_NEXT_ACTION_SYNCACTION_SHUTDOWN);
  // A Modem that does not answer must not hold the camera up: the sync state ends at once.
  EventMessage over{};
  over.kind = EVENT_SYNC_TIMEOUT;
  send_event(sysQueue, over, kSysQueueSendError);
  return 1;
}

void* modem_sync_timeout_thread(void*) {
  app_log(MOD_MAIN, LEVEL_INFO, "Modem Sync timeout thread Created");
  for (;;) {
    sync_timeout_turn();
  }
  return nullptr;
}
