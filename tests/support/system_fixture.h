// The fixtures of tests that run the system's own code inside the camera sandbox: the three
// event queues opened afresh in the sandbox's IPC namespace, and on top of them fresh shared
// records, the state table and an empty application log, with the system server in STATE_INIT.
#pragma once

#include <mqueue.h>
#include <sys/stat.h>
#include <unistd.h>

#include <string>
#include <vector>

#include <gtest/gtest.h>

#include "app/records/log/app_log.h"
#include "app/system/core/event_queue.h"
#include "app/system/core/status_led.h"
#include "app/system/core/sys_info.h"
#include "app/system/state_machine.h"

#include "tests/support/file_lines.h"
#include "tests/support/shared_records.h"

namespace test_support {

inline std::vector<EventMessage> drain(mqd_t queue) {
  std::vector<EventMessage> messages;
  EventMessage message{};
  while (receive_event(queue, &message) == 0) {
    messages.push_back(message);
  }
  return messages;
}

// An event of `kind` (and `response`), every other word zero.
inline EventMessage event_of_kind(int32_t kind, int32_t response = 0) {
  EventMessage event{};
  event.kind = kind;
  event.response = response;
  return event;
}

// Everything written to the application log so far.
inline std::string logged() {
  app_log_close();
  return read_file(kAppLogPath);
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

class SystemTest : public QueueTest {
 protected:
  static constexpr char kEmptyFolder[] = "/tmp/.system-test-cwd";
  void SetUp() override {
    QueueTest::SetUp();
    // The camera's commands are written for its own grep, which reads the pipe it is given
    // ("mount | grep -nri mmcblk0p1"); GNU grep -r with no file searches the working folder
    // instead. The states run from an empty one, so that a build tree under /tmp (bound into
    // the sandbox) is not searched and found to name the card.
    mkdir(kEmptyFolder, 0755);
    ASSERT_EQ(chdir(kEmptyFolder), 0);
    init_record_locks();
    use_fresh_shared_records();
    sysInfo->state = STATE_INIT;
    sysInfo->prevState = STATE_INIT;
    statusLedGreen = STATUS_LED_OFF;
    statusLedRed = STATUS_LED_OFF;
    statusLedBlue = STATUS_LED_OFF;
    lastMcuRequest = 0;
    build_state_table();
    app_log_close();
    unlink(kAppLogPath);
  }
  void TearDown() override {
    build_state_table();  // undo the handlers a test replaced
    QueueTest::TearDown();
  }

  // The requests sent to the MCU queue since the last call.
  static std::vector<int32_t> mcu_requests_sent() {
    std::vector<int32_t> requests;
    for (const EventMessage& message : drain(mcuQueue)) {
      EXPECT_EQ(message.kind, MSG_MCU_REQ);
      requests.push_back(message.request);
    }
    return requests;
  }
};

}  // namespace test_support
