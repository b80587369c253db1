// The three event queues: /sys_server_queue, /mcu_manager_queue and /modem_mngr_queue.
#pragma once

#include <mqueue.h>

#include <atomic>
#include <cstdint>

#include "app/system/core/event_message.h"

inline constexpr char kSysQueueName[] = "/sys_server_queue";
inline constexpr char kMcuQueueName[] = "/mcu_manager_queue";
inline constexpr char kModemQueueName[] = "/modem_mngr_queue";
inline constexpr long kQueueMaxMessages = 10;

// Prefixes of the system error printed to standard error when a send fails.
inline constexpr char kSysQueueSendError[] = "\r\n Error : mq_send (sys q): ";
inline constexpr char kMcuQueueSendError[] = "\r\n Error : mq_send (mcu q): ";
inline constexpr char kModemQueueSendError[] = "\r\n Error : mq_send (modem q): ";

// Process-wide descriptors, set by start-up before any thread that uses them exists.
extern mqd_t sysQueue;
extern mqd_t mcuQueue;
extern mqd_t modemQueue;

// The last request sent to each peer, repeated by its link manager when no answer comes.
// Plain integers in the record's sense: written without a lock by whichever thread sends.
extern std::atomic<int32_t> lastMcuRequest;
extern std::atomic<int32_t> lastModemRequest;

// Each opens (creating if missing, keeping old messages) its queue and logs the outcome.
// Returns the descriptor (>= 1) or -1.
mqd_t create_sys_queue();
mqd_t create_mcu_queue();
mqd_t create_modem_queue();

// Sends the 32 bytes of `message` with priority 0 without blocking. On failure (a full queue
// among others) the system error is printed with `error_prefix` and -1 returned; the message
// is lost and the caller carries on.
int send_event(mqd_t queue, const EventMessage& message, const char* error_prefix);

// Overwrites `kind` and `request` of `message` (its other words go out as they came), stores
// the request in the last-request register and sends it to the peer's queue.
int send_mcu_request(EventMessage message, int32_t request,
                     const char* error_prefix = kMcuQueueSendError);
int send_modem_request(EventMessage message, int32_t request,
                       const char* error_prefix = kModemQueueSendError);

// What the state handlers do to ask the MCU something: log "ISP to MCU - <name>" under the
// handler's module, remember the request for retry and send it.
int request_mcu(int module, EventMessage message, int32_t request);

// Answers the MCU's PIR, test-button or time-lapse notification: the event record goes back to
// the MCU queue with `kind` set to its acknowledgement (93, 94, 95) and every other word as it
// came. Returns -1 for any other event.
int acknowledge_capture_notification(EventMessage event);

// Waits at most `timeout_ms` for `queue` to become readable.
// Returns 1 when readable, 0 on time-out, -1 on error.
int wait_queue_readable(mqd_t queue, long timeout_ms);

// Receives one record. Returns 0, or -1 when nothing could be read.
int receive_event(mqd_t queue, EventMessage* ret_message);
