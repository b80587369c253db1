#include "app/system/core/event_queue.h"

#include <fcntl.h>
#include <sys/select.h>

#include <cerrno>
#include <cstdio>

#include "app/records/log/app_log.h"

mqd_t sysQueue = -1;
mqd_t mcuQueue = -1;
mqd_t modemQueue = -1;
std::atomic<int32_t> lastMcuRequest{0};
std::atomic<int32_t> lastModemRequest{0};

namespace {

mqd_t open_event_queue(const char* name, const char* owner) {
  mq_attr attributes{};
  attributes.mq_flags = 0;
  attributes.mq_maxmsg = kQueueMaxMessages;
  attributes.mq_msgsize = sizeof(EventMessage);
  mqd_t queue = mq_open(name, O_RDWR | O_CREAT | O_NONBLOCK, 0777, &attributes);
  if (queue < 1) {
    app_log(MOD_MAIN, LEVEL_ERR, "Message Queue For %s Monitor Thread FAILED!", owner);
    perror("Server: mq_open (server)");
    return -1;
  }
  app_log(MOD_MAIN, LEVEL_INFO, "Message Queue For %s Monitor Thread Created with ID: %d", owner,
          static_cast<int>(queue));
  return queue;
}

}  // namespace

mqd_t create_sys_queue() {
  return open_event_queue(kSysQueueName, "sys");
}
mqd_t create_mcu_queue() {
  return open_event_queue(kMcuQueueName, "MCU");
}
mqd_t create_modem_queue() {
  return open_event_queue(kModemQueueName, "MODEM");
}

int send_event(mqd_t queue, const EventMessage& message, const char* error_prefix) {
  if (mq_send(queue, reinterpret_cast<const char*>(&message), sizeof message, 0) != 0) {
    perror(error_prefix);
    return -1;
  }
  return 0;
}

int send_mcu_request(EventMessage message, int32_t request, const char* error_prefix) {
  message.kind = MSG_MCU_REQ;
  message.request = request;
  lastMcuRequest = request;
  return send_event(mcuQueue, message, error_prefix);
}

int send_modem_request(EventMessage message, int32_t request, const char* error_prefix) {
  message.kind = MSG_MODEM_REQ;
  message.request = request;
  lastModemRequest = request;
  return send_event(modemQueue, message, error_prefix);
}

int request_mcu(int module, EventMessage message, int32_t request) {
  app_log(module, LEVEL_INFO, "ISP to MCU - %s", event_code_name(request));
  return send_mcu_request(message, request);
}

int acknowledge_capture_notification(EventMessage event) {
  switch (event.kind) {
    case EVENT_MCU_PIR:
      event.kind = MCU_RESP_ASYNC_NOTIFICATION_PIR;
      break;
    case EVENT_MCU_TEST:
      event.kind = MCU_RESP_ASYNC_NOTIFICATION_TEST;
      break;
    case EVENT_MCU_TIMELAPSE:
      event.kind = MCU_RESP_ASYNC_NOTIFICATION_TIMELAPSE;
      break;
    default:
      return -1;
  }
  return send_event(mcuQueue, event, kMcuQueueSendError);
}

int wait_queue_readable(mqd_t queue, long timeout_ms) {
  fd_set readable;
  FD_ZERO(&readable);
  FD_SET(queue, &readable);
  timeval timeout{timeout_ms / 1000, (timeout_ms % 1000) * 1000};
  int ready = select(queue + 1, &readable, nullptr, nullptr, &timeout);
  if (ready < 0) {
    return -1;
  }
  return ready > 0 ? 1 : 0;
}

int receive_event(mqd_t queue, EventMessage* ret_message) {
  EventMessage message{};
  ssize_t received = mq_receive(queue, reinterpret_cast<char*>(&message), sizeof message, nullptr);
  if (received != static_cast<ssize_t>(sizeof message)) {
    return -1;
  }
  *ret_message = message;
  return 0;
}
