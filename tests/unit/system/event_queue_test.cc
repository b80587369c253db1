// The event queues: attributes, bursts, leftovers, and requests keeping the record's words.
#include "app/system/core/event_queue.h"

#include <fcntl.h>
#include <mqueue.h>

#include <cerrno>
#include <cstring>

#include <gtest/gtest.h>

#include "tests/support/system_fixture.h"

namespace {

using test_support::drain;
using test_support::event_of_kind;
using test_support::QueueTest;

TEST_F(QueueTest, QueuesHoldTenRecordsOf32BytesAndAnEleventhSendFailsAtOnce) {
  for (mqd_t queue : {sysQueue, mcuQueue, modemQueue}) {
    mq_attr attributes{};
    ASSERT_EQ(mq_getattr(queue, &attributes), 0);
    EXPECT_EQ(attributes.mq_maxmsg, 10);
    EXPECT_EQ(attributes.mq_msgsize, 32);
  }
  // A burst: the first ten arrive in order.
  for (int32_t i = 0; i < 10; ++i) {
    ASSERT_EQ(send_event(sysQueue, event_of_kind(100 + i), kSysQueueSendError), 0);
  }
  testing::internal::CaptureStderr();
  EXPECT_EQ(send_event(sysQueue, event_of_kind(110), kSysQueueSendError), -1);
  std::string error = testing::internal::GetCapturedStderr();
  EXPECT_NE(error.find("Error : mq_send (sys q): "), std::string::npos) << error;
  EXPECT_NE(error.find(strerror(EAGAIN)), std::string::npos) << error;

  std::vector<EventMessage> received = drain(sysQueue);
  ASSERT_EQ(received.size(), 10u);
  for (int32_t i = 0; i < 10; ++i) {
    EXPECT_EQ(received[static_cast<size_t>(i)].kind, 100 + i);
  }
}

TEST_F(QueueTest, AQueueLeftFromAnEarlierRunIsReopenedWithItsMessages) {
  ASSERT_EQ(send_event(mcuQueue, event_of_kind(MSG_MCU_REQ), kMcuQueueSendError), 0);
  ASSERT_EQ(
      send_event(mcuQueue, event_of_kind(MCU_RESP_ASYNC_NOTIFICATION_PIR), kMcuQueueSendError), 0);
  mq_close(mcuQueue);  // the earlier run ends without unlinking

  mcuQueue = create_mcu_queue();
  ASSERT_GE(mcuQueue, 1);
  std::vector<EventMessage> received = drain(mcuQueue);
  ASSERT_EQ(received.size(), 2u);
  EXPECT_EQ(received[0].kind, MSG_MCU_REQ);
  EXPECT_EQ(received[1].kind, MCU_RESP_ASYNC_NOTIFICATION_PIR);
}

TEST_F(QueueTest, AcknowledgementKeepsTheOtherWordsOfTheNotification) {
  struct Case {
    int32_t notification;
    int32_t acknowledgement;
  };
  for (Case c : {Case{EVENT_MCU_PIR, MCU_RESP_ASYNC_NOTIFICATION_PIR},
                 Case{EVENT_MCU_TEST, MCU_RESP_ASYNC_NOTIFICATION_TEST},
                 Case{EVENT_MCU_TIMELAPSE, MCU_RESP_ASYNC_NOTIFICATION_TIMELAPSE}}) {
    EventMessage event = event_of_kind(c.notification);
    event.request = 1234;
    event.response = -7;
    snprintf(event.text, sizeof event.text, "%s", "kept text");
    ASSERT_EQ(acknowledge_capture_notification(event), 0);

    std::vector<EventMessage> sent = drain(mcuQueue);
    ASSERT_EQ(sent.size(), 1u);
    EXPECT_EQ(sent[0].kind, c.acknowledgement);
    EXPECT_EQ(sent[0].request, 1234);
    EXPECT_EQ(sent[0].response, -7);
    EXPECT_STREQ(sent[0].text, "kept text");
  }
  EXPECT_EQ(acknowledge_capture_notification(event_of_kind(EVENT_CAP_DONE)), -1);
  EXPECT_TRUE(drain(mcuQueue).empty());
}

TEST_F(QueueTest, RequestsAreRememberedForRetryAndKeepTheRecordsText) {
  EventMessage received = event_of_kind(MSG_MCU_RESP, MCU_RESP_GET_CAMERA_STATE);
  snprintf(received.text, sizeof received.text, "%d", 4);

  ASSERT_EQ(send_mcu_request(received, MCU_REQ_GET_ADC_MONITORING_VALUES), 0);
  ASSERT_EQ(send_modem_request(received, MODEM_REQ_GET_DEVICE_MODEL), 0);
  EXPECT_EQ(lastMcuRequest, MCU_REQ_GET_ADC_MONITORING_VALUES);
  EXPECT_EQ(lastModemRequest, MODEM_REQ_GET_DEVICE_MODEL);

  std::vector<EventMessage> to_mcu = drain(mcuQueue);
  ASSERT_EQ(to_mcu.size(), 1u);
  EXPECT_EQ(to_mcu[0].kind, MSG_MCU_REQ);
  EXPECT_EQ(to_mcu[0].request, MCU_REQ_GET_ADC_MONITORING_VALUES);
  EXPECT_EQ(to_mcu[0].response, MCU_RESP_GET_CAMERA_STATE);
  EXPECT_STREQ(to_mcu[0].text, "4");
  std::vector<EventMessage> to_modem = drain(modemQueue);
  ASSERT_EQ(to_modem.size(), 1u);
  EXPECT_EQ(to_modem[0].kind, MSG_MODEM_REQ);
}

TEST(EventCodeNames, EveryCodeHasItsNameAndGapsHaveNone) {
  EXPECT_STREQ(event_code_name(MCU_REQ_WDM_TRIGGERED), "MCU_REQ_WDM_TRIGGERED");
  EXPECT_STREQ(event_code_name(123), "MODEM_ASYNC_RESP_GET_FUEL_GUAGE_VALUES");
  EXPECT_STREQ(event_code_name(10), "MSG_MCU_REQ");
  for (int32_t unused : {0, 11, 23, 26, 57, 58, 99, 124}) {
    EXPECT_STREQ(event_code_name(unused), "UNKNOWN") << unused;
  }
}

}  // namespace
