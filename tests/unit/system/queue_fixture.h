// Opens the three event queues afresh in the sandbox's own IPC namespace and drains them.
#pragma once

#include <mqueue.h>

#include <vector>

#include <gtest/gtest.h>

#include "app/system/event_queue.h"

namespace test_support {

inline std::vector<EventMessage> drain(mqd_t queue) {
  std::vector<EventMessage> messages;
  EventMessage message{};
  while (receive_event(queue, &message) == 0) {
    messages.push_back(message);
  }
  return messages;
}

class QueueTest : public testing::Test {
 protected:
  void SetUp() override {
    for (const char* name : {kSysQueueName, kMcuQueueName, kModemQueueName}) {
      mq_unlink(name);
    }
    sysQueue = create_sys_queue();
    mcuQueue = create_mcu_queue();
    modemQueue = create_modem_queue();
    ASSERT_GE(sysQueue, 1);
    ASSERT_GE(mcuQueue, 1);
    ASSERT_GE(modemQueue, 1);
  }
  void TearDown() override {
    for (mqd_t queue : {sysQueue, mcuQueue, modemQueue}) {
      mq_close(queue);
    }
  }
};

}  // namespace test_support
