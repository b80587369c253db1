// Captures during a sync: a PIR, test-button or time-lapse notification while the Modem may hold
// the card is armed onto the secondary partition or refused, and its end answers an instant
// query the server is waiting on.
#include "app/indicators/leds/led_requests.h"
#include "app/links/modem/modem_sync_info.h"
#include "app/records/log/app_log.h"
#include "app/storage/sd_card.h"
#include "app/system/core/event_queue.h"
#include "app/system/core/shell.h"
#include "app/system/core/sys_info.h"
#include "app/system/states/capture_states.h"
#include "app/system/states/sync_parts.h"
#include "app/system/states/sync_states.h"

using namespace sync_parts;

namespace {

// A capture asked for during a sync: the type the capture thread takes, and why it is refused,
// as logged; a refusal without a line is silent (a one-partition card, the configuration
// intake).
struct SyncCapture {
  int32_t kind;
  int32_t captureType;
  const char* ownCaptureRuns;  // the running capture is of this kind (test button)
  const char* captureRuns;
  const char* formatRuns;
};
constexpr SyncCapture kSyncCaptures[] = {
    {EVENT_MCU_PIR, 1, nullptr, "Rejected PIR Capture: Another Capture Ongoing",
     "Rejected PIR Capture: Format Ongoing"},
    {EVENT_MCU_TEST, 3, "Rejected Test Button Capture due to ONGOING capture",
     "Rejected Test Capture: Another Capture Ongoing", "Rejected Test Capture: Format Ongoing"},
    {EVENT_MCU_TIMELAPSE, 2, nullptr, nullptr, nullptr},
};

void log_refusal(const char* line) {
  if (line != nullptr) {
    app_log(MOD_SYNC, LEVEL_INFO, "%s", line);
  }
}

bool capture_possible(const SyncCapture& capture) {
  if (get_sd_partition_count() != 2) {
    return false;  // a one-partition card is lent whole: refused without a word
  }
  if (sysInfo->captureOngoing) {
    const bool own = capture.ownCaptureRuns != nullptr && sysInfo->captureType == 3;
    log_refusal(own ? capture.ownCaptureRuns : capture.captureRuns);
    return false;
  }
  if (formatOngoing) {
    log_refusal(capture.formatRuns);
    return false;
  }
  return !(capture.kind != EVENT_MCU_TEST && modemSyncInfo->configIntakeBusy);
}

}  // namespace

bool arm_capture_during_sync(const EventMessage& event) {
  const SyncCapture* capture = nullptr;
  for (const SyncCapture& row : kSyncCaptures) {
    capture = row.kind == event.kind ? &row : capture;
  }
  if (capture == nullptr) {
    return false;
  }
  if (event.kind == EVENT_MCU_TEST) {
    SemLock lock(&sysInfoLock);
    sysInfo->testCaptureRequested = 1;
    sysInfo->testMode = 1;
  }
  if (!capture_possible(*capture)) {
    if (event.kind == EVENT_MCU_PIR) {
      set(sysInfo->pirAccepted, 0);
    }
    return false;
  }
  SemLock lock(&sysInfoLock);
  sysInfo->moveFilesPending = 1;
  hand_capture_to_thread(capture->captureType, kSecondaryPartition);
  return true;
}
namespace sync_parts {

void handle_capture_notification(EventMessage event) {
  if (arm_capture_during_sync(event) && event.kind == EVENT_MCU_PIR) {
    trigger_warning_led(sysInfo->state == STATE_POWERDOWN ? 0 : 1);
  }
  acknowledge_capture_notification(event);
}

void handle_capture_end(EventMessage event) {
  const bool done = event.kind == EVENT_CAP_DONE;
  if (done) {
    if (!sysInfo->captureOngoing) {
      SemLock lock(&sysInfoLock);
      sysInfo->captureType = 0;
      sysInfo->testCaptureRequested = 0;
      app_log(MOD_SYNC, LEVEL_INFO, "EVENT_CAP_DONE");
    } else {
      app_log(MOD_SYNC, LEVEL_INFO, "PREV EVENT : CAP_DONE : ONGOING ANOTHER CAPTURE");
    }
  } else {
    app_log(MOD_SYNC, LEVEL_ERR, "EVENT_CAP_ERROR");
  }
  const int32_t query = sysInfo->instantQueryType;
  if (sysInfo->instantQueryBusy && (query == 0 || query == 1)) {
    {
      SemLock lock(&sysInfoLock);
      modemSyncInfo->queryProcessed = 1;
      modemSyncInfo->queryResult = done ? 1 : 0;
    }
    answer_modem(event, MODEM_ASYNC_RESP_SET_SERVER_INSTANT_QUERY);
  }
  drop_caches_if_low();
}

void handle_instant_query(EventMessage event) {
  const int32_t stage = sysInfo->instantStage;
  if (stage == 2 || stage == 3) {
    SemLock lock(&sysInfoLock);
    sysInfo->instantQueryBusy = 1;
    sysInfo->instantStage = 0;
    return;
  }
  app_log(MOD_SYNC, LEVEL_INFO, "Should not reach here ,as processed query will get overwritten");
  {
    SemLock lock(&sysInfoLock);
    modemSyncInfo->queryProcessed = 0;
    modemSyncInfo->queryResult = 0;
  }
  answer_modem(event, MODEM_ASYNC_RESP_SET_SERVER_INSTANT_QUERY);
}
}  // namespace sync_parts
