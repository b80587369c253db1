// The server's instant queries: the work of each query type, shared by the instant-request
// state (the MCU woke the camera for the query) and the instant-request thread (the query came
// during a sync), and the answer that tells the Modem how it went.
#pragma once

#include <atomic>
#include <cstdint>

#include "app/system/core/event_message.h"

enum InstantQueryType : int32_t {
  QUERY_CAPTURE = 0,
  QUERY_CAPTURE_PIR = 1,
  QUERY_FORMAT = 2,
  QUERY_FACTORY_RESET = 3,
  QUERY_SYNC = 4,
  QUERY_IGNORE = 5,
  QUERY_PAUSE = 6,
  QUERY_UNKNOWN = 7,
};
inline constexpr int32_t kInstantQueryTypes = 8;

// instantStage values.
enum InstantStage : int32_t {
  INSTANT_WAITING = 0,    // a query waits for the thread
  INSTANT_HANDED_ON = 1,  // another component finishes it (capture, configuration chain)
  INSTANT_DONE = 2,
  INSTANT_IDLE = 3,
};

// Who runs the query: the two differ in log lines and in the capture's partition.
enum class QueryRunner { kThread, kHandler };

enum class QueryOutcome {
  kAnswered,     // the answer has been sent
  kHandedOn,     // the answer follows when the capture or the configuration chain ends
  kCaptureBusy,  // a capture already ran: answered with result 1, nothing started
  kOutOfRange,   // not a known type: answered as not processed
};

extern std::atomic<int8_t> instantThreadStarted;
extern std::atomic<int8_t> formatQuery;  // a format was asked for by a query

// Does the work of `type`. `event` is the record the requests are built from.
QueryOutcome run_instant_query(int32_t type, QueryRunner runner, EventMessage event);

// Sets queryProcessed and queryResult, then sends the answer to the Modem.
void answer_instant_query(bool processed, bool result, const char* error_prefix);

// Thread body: runs each query the sync state hands over; never returns.
void* instant_request_thread(void*);
