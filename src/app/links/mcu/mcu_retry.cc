// Repetition of unanswered MCU requests, and the link thread.
#include "app/links/mcu/mcu_link_manager.h"
#include "app/links/modem/modem_sync_info.h"
#include "app/records/log/app_log.h"
#include "app/system/core/event_queue.h"
#include "app/system/core/sys_info.h"

std::atomic<int32_t> pendingAsyncMcuRequest{0};

void mcu_retry(timeval* waitTime) {
  const int32_t pending = lastMcuRequest;
  if (pending == 0) {
    set_wait_seconds(waitTime, kLinkIdleWaitSeconds);
    return;
  }
  if ((pending == MCU_REQ_SET_MODEM_POWER_STATE_ON && sysInfo->modemPowerAcked) ||
      (pending == MCU_REQ_GET_RTC_INSTALL_DATE_TIME && sysInfo->installDateReceived)) {
    app_log(MOD_MCU_UART, LEVEL_INFO, "No need to retry");
    set_wait_seconds(waitTime, kLinkIdleWaitSeconds);
    return;
  }
  set_wait_seconds(waitTime, pending == MCU_REQ_SET_ISP_READY_TO_SLEEP ? kMcuQuickAnswerSeconds
                                                                       : kMcuAnswerSeconds);
  app_log(MOD_MCU_UART, LEVEL_INFO, "MCU request retry: %d", pending);
  EventMessage record{};
  record.kind = MSG_MCU_REQ;
  record.request = pending;
  mcu_send_request(record, waitTime);
}

void mcu_retry_async() {
  const int32_t pending = pendingAsyncMcuRequest;
  if (pending != MCU_REQ_SET_RTC_DATE_TIME || modemSyncInfo->rtcSetConfirmed) {
    return;
  }
  app_log(MOD_MCU_UART, LEVEL_INFO, "MCU request retry async: %d", pending);
  EventMessage record{};
  record.kind = MSG_MCU_REQ;
  record.request = pending;
  mcu_send_request(record, nullptr);
}

void* mcu_link_manager_thread(void*) {
  static const McuLinkHooks hooks = kMcuLinkHooks;
  run_mcu_link(hooks);
  return nullptr;
}
