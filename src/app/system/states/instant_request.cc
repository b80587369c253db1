#include "app/system/states/instant_request.h"

#include <array>

#include "app/capture/capture_flags.h"
#include "app/config/camera_config.h"
#include "app/config/config_store.h"
#include "app/indicators/leds/led_requests.h"
#include "app/indicators/leds/led_state.h"
#include "app/links/modem/modem_sync_info.h"
#include "app/postprocess/naming/media_names.h"
#include "app/records/log/app_log.h"
#include "app/storage/sd_card.h"
#include "app/storage/sd_format.h"
#include "app/system/core/event_queue.h"
#include "app/system/core/shell.h"
#include "app/system/core/sys_info.h"
#include "app/system/os/os.h"

std::atomic<int8_t> instantThreadStarted{0};
std::atomic<int8_t> formatQuery{0};
namespace {

constexpr uint32_t kLentPollMs = 250;
constexpr uint32_t kPollMs = 1;
constexpr uint32_t kSettleMs = 1000;
constexpr char kModemSendError[] = "\r\n Error : mq_send : ";

// One row per query type: the thread's line, the state handler's line.
struct QueryLines {
  const char* thread;
  const char* handler;
};
constexpr std::array<QueryLines, kInstantQueryTypes> kQueryLines = {{
    {"QueryType : CAPTURE", "Instant_req: QUERYTYPE_CAPTURE"},
    {"QueryType : CAPTURE", "Instant_req: QUERYTYPE_CAPTURE"},
    {"QueryType : FORMATSDCARD", "Instant_req: QueryType : FORMATSDCARD"},
    {"QueryType : FACTORYRESET", "Instant_req: QUERYTYPE_FACTORYRESET"},
    {"QueryType : SYNC", "Instant_req: QUERYTYPE_SYNC"},
    {"QueryType : IGNORE", "QueryType : IGNORE"},
    {"QueryType : PAUSE", "QueryType : PAUSE"},
    {"QueryType : UNKNOWN", "QueryType : UNKNOWN"},
}};

constexpr std::array<const char*, 4> kMediaFolders = {
    "mkdir -p /sdcard/primary/DCIM", "mkdir -p /sdcard/primary/TRANSMIT",
    "mkdir -p /sdcard/secondary/DCIM", "mkdir -p /sdcard/secondary/TRANSMIT"};

int module_of(QueryRunner runner) {
  return runner == QueryRunner::kThread ? MOD_SYNC : MOD_INST_REQ;
}

const char* answer_error(QueryRunner runner) {
  return runner == QueryRunner::kThread ? kModemQueueSendError
                                        : "\r\n Instant_req: Error : mq_send (modem q): ";
}

QueryOutcome arm_capture(int32_t type, QueryRunner runner) {
  if (sysInfo->captureOngoing) {
    if (runner == QueryRunner::kHandler) {
      app_log(MOD_INST_REQ, LEVEL_INFO, "Instant_req: QUERYTYPE_CAPTURE : Capture Ongoing");
    }
    answer_instant_query(true, true, answer_error(runner));
    return QueryOutcome::kCaptureBusy;
  }
  int32_t partition = 0;
  bool move_later = false;
  if (runner == QueryRunner::kThread) {
    if (get_sd_partition_count() == 2) {
      partition = 1;
      move_later = true;
    } else {
      while (sysInfo->primaryLent) {
        os_sleep_ms(kLentPollMs);
      }
    }
  }
  SemLock lock(&sysInfoLock);
  sysInfo->captureType = 4;
  sysInfo->pirMode = type == QUERY_CAPTURE_PIR ? 1 : 0;
  sysInfo->storagePartition = partition;
  if (move_later) {
    sysInfo->moveFilesPending = 1;
  }
  captureFlags.captureStart = 1;
  sysInfo->captureOngoing = 1;
  return QueryOutcome::kHandedOn;
}

bool format_card(QueryRunner runner) {
  if (runner == QueryRunner::kThread) {
    formatQuery = 1;
  }
  formatOngoing = 1;
  while (sysInfo->primaryLent || sysInfo->captureOngoing) {
    os_sleep_ms(kLentPollMs);
  }
  const bool shown = sysInfo->testMode;
  if (shown) {
    app_log(MOD_MAIN, LEVEL_INFO, "Setting SD LED green : BLINK");
    show_sd_formatting();
  }
  os_sleep_ms(kSettleMs);
  app_log(MOD_MAIN, LEVEL_INFO, "Format ongoing");
  const bool formatted = format_sd_card() == 0;
  if (formatted) {
    run_shell("sync");
    os_sleep_ms(kSettleMs);
    app_log(MOD_MAIN, LEVEL_INFO, "SD Format Success");
    if (shown) {
      app_log(MOD_MAIN, LEVEL_INFO, "Setting SD LED green : ON");
      show_sd_good();
    }
    for (const char* command : kMediaFolders) {
      run_shell(command);
    }
    save_last_file_fldr_val();
  } else {
    app_log(MOD_MAIN, LEVEL_INFO, "SD Format Failed");
    readyStatus = 0;
    if (shown) {
      app_log(MOD_MAIN, LEVEL_INFO, "Setting SD LED red : BLINK");
      show_sd_fault();
    }
  }
  formatOngoing = 0;
  return formatted;
}

void factory_reset(QueryRunner runner, EventMessage event) {
  while (sysInfo->captureOngoing) {
    os_sleep_ms(kPollMs);
  }
  {
    SemLock lock(&sysInfoLock);
    modemSyncInfo->configIntakeBusy = 1;
  }
  {
    SemLock lock(&configLock);
    if (config_reset_defaults(cameraConfig) != 0) {
      app_log(module_of(runner), LEVEL_ERR,
              "Instant_req: Failed to create config files with defaults");
    }
  }
  app_log(module_of(runner), LEVEL_INFO, "%sISP to MCU - MCU_REQ_SET_PIR_CONFIG",
          runner == QueryRunner::kHandler ? "Instant_req: " : "");
  send_mcu_request(event, MCU_REQ_SET_PIR_CONFIG);
}

}  // namespace

void answer_instant_query(bool processed, bool result, const char* error_prefix) {
  {
    SemLock lock(&sysInfoLock);
    modemSyncInfo->queryProcessed = processed ? 1 : 0;
    modemSyncInfo->queryResult = result ? 1 : 0;
  }
  EventMessage answer{};
  answer.kind = MODEM_ASYNC_RESP_SET_SERVER_INSTANT_QUERY;
  send_event(modemQueue, answer, error_prefix);
}

QueryOutcome run_instant_query(int32_t type, QueryRunner runner, EventMessage event) {
  if (type < 0 || type >= kInstantQueryTypes) {
    app_log(module_of(runner), LEVEL_ERR,
            "Instant query type %d is out of range (0..%d): refused, answered as not processed",
            type, kInstantQueryTypes - 1);
    answer_instant_query(false, false, answer_error(runner));
    return QueryOutcome::kOutOfRange;
  }
  const QueryLines& lines = kQueryLines[type];
  app_log(module_of(runner), LEVEL_INFO, "%s",
          runner == QueryRunner::kThread ? lines.thread : lines.handler);
  switch (type) {
    case QUERY_CAPTURE:
    case QUERY_CAPTURE_PIR:
      return arm_capture(type, runner);
    case QUERY_FORMAT:
      answer_instant_query(true, format_card(runner), answer_error(runner));
      return QueryOutcome::kAnswered;
    case QUERY_FACTORY_RESET:
      factory_reset(runner, event);
      return QueryOutcome::kHandedOn;
    case QUERY_PAUSE:
      app_log(MOD_SYNC, LEVEL_INFO, "ISP to Modem - MODEM_REQ_GET_CAMERA_CONFIGURATION");
      send_modem_request(event, MODEM_REQ_GET_CAMERA_CONFIGURATION, kModemSendError);
      return QueryOutcome::kHandedOn;
    default:  // sync, ignore, unknown
      answer_instant_query(true, true, answer_error(runner));
      return QueryOutcome::kAnswered;
  }
}

void* instant_request_thread(void*) {
  app_log(MOD_SYNC, LEVEL_INFO, "Instant request thread started");
  {
    SemLock lock(&sysInfoLock);
    instantThreadStarted = 1;
    sysInfo->instantStage = INSTANT_IDLE;
  }
  for (;;) {
    while (sysInfo->instantStage != INSTANT_WAITING) {
      os_sleep_ms(kPollMs);
    }
    const QueryOutcome outcome =
        run_instant_query(sysInfo->instantQueryType, QueryRunner::kThread, EventMessage{});
    if (outcome == QueryOutcome::kHandedOn) {
      SemLock lock(&sysInfoLock);
      if (sysInfo->instantStage == INSTANT_WAITING) {
        sysInfo->instantStage = INSTANT_HANDED_ON;
      }
    } else {
      SemLock lock(&sysInfoLock);
      sysInfo->instantStage = INSTANT_DONE;
    }
    os_sleep_ms(kPollMs);
  }
  return nullptr;
}
