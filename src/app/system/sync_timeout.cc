// The Modem sync timeout: a Modem that keeps searching for a signal, or that the sync waits for
// in vain, is told to shut down after 300 seconds and the sync ends, so that a sync cannot drain
// the battery for ever (the sync states start and cancel the count).

#include "app/indicators/leds/led_requests.h"
#include "app/links/modem/modem_sync_info.h"
#include "app/records/log/app_log.h"
#include "app/system/core/event_queue.h"
#include "app/system/core/sys_info.h"
#include "app/system/os/os.h"
#include "app/system/states/sync_states.h"

namespace {

constexpr uint32_t kIdlePollUs = 100 * 1000;
constexpr unsigned kCountStepSeconds = 1;
constexpr int32_t kSyncTimeoutSeconds = 300;

bool signal_led_shows_timeout() {
  const int32_t state = sysInfo->state;
  return state == STATE_CAPTURETEST || state == STATE_FIRSTBOOT || sysInfo->testMode;
}

}  // namespace

// The sync time-out bounds every wait of the exchange for the Modem, not only its search for a
// signal: no wake-up may stay awake without bound, and a Modem that is silent, or keeps sending
// what cannot be decoded, would otherwise keep the camera (and itself) powered until the
// battery is empty. So the count (300 s) starts when the Modem reports that it searches and
// whenever the exchange begins to wait for it (a request it must answer or act on, an upload
// under way); the Modem's progress cancels or restarts it. When it runs out, the timeout thread
// asks the Modem to shut down and the state goes to power-down at once, whether the Modem
// answers or not: at the latest 300 s after the Modem last moved, the sync ends.
void start_sync_timeout() {
  SemLock lock(&sysInfoLock);
  modemSyncInfo->timeoutCancel = 1;
  modemSyncInfo->timeoutStart = 1;
  timeoutRemaining = kSyncTimeoutSeconds;
}

int sync_timeout_turn() {
  while (!modemSyncInfo->timeoutStart) {
    os_sleep_us(kIdlePollUs);
  }
  {
    SemLock lock(&sysInfoLock);
    modemSyncInfo->timeoutStart = 0;
    modemSyncInfo->timeoutCancel = 0;
  }
  app_log(MOD_MAIN, LEVEL_INFO, "Modem Sync timeout started");
  while (timeoutRemaining.fetch_sub(1) != 0 && !modemSyncInfo->timeoutCancel) {
    os_sleep_ms(kCountStepSeconds * 1000);
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
