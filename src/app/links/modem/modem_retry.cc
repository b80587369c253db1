// Repetition of unanswered Modem requests, the shared sync record and the link thread.
#include <optional>

#include "app/links/modem/modem_link_manager.h"
#include "app/links/modem/modem_sync_info.h"
#include "app/records/log/app_log.h"
#include "app/system/core/event_queue.h"
#include "app/system/core/sys_info.h"

std::atomic<int32_t> lastRepeatedModemRequest{0};
std::atomic<int32_t> timeoutRemaining{0};
std::atomic<int8_t> signalTimeout{0};
std::atomic<int32_t> readyStatus{2};

namespace {
std::optional<ModemSyncInfo> g_modem_sync_info{std::in_place};
}  // namespace

ModemSyncInfo* modemSyncInfo = &*g_modem_sync_info;

void reset_modem_sync_info() {
  modemSyncInfo = &g_modem_sync_info.emplace();
  timeoutRemaining = 0;
  signalTimeout = 0;
  readyStatus = 2;
  lastRepeatedModemRequest = 0;
}

void modem_retry(timeval* waitTime) {
  const int32_t pending = lastModemRequest;
  if (pending == 0) {
    set_wait_seconds(waitTime, kLinkIdleWaitSeconds);
    return;
  }
  if (pending == MODEM_REQ_SET_SERVER_SYNC_TYPE && modemSyncInfo->syncTypeAcked) {
    app_log(MOD_MODEM_UART, LEVEL_INFO, "No need to retry");
    set_wait_seconds(waitTime, kLinkIdleWaitSeconds);
    return;
  }
  if (sysInfo->state == STATE_POWERDOWN) {
    set_wait_seconds(waitTime, kLinkIdleWaitSeconds);
    return;
  }
  app_log(MOD_MODEM_UART, LEVEL_INFO, "Modem request retry: %d", pending);
  set_wait_seconds(waitTime, kModemAnswerSeconds);
  EventMessage record{};
  record.kind = MSG_MODEM_REQ;
  record.request = pending;
  modem_send_request(record, waitTime);
  lastRepeatedModemRequest = pending;
}

void* modem_link_manager_thread(void*) {
  static const ModemLinkHooks hooks = kModemLinkHooks;
  run_modem_link(hooks);
  return nullptr;
}
