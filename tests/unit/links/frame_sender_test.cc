// The sender on a pseudo-terminal: the bytes the peer sees, the log lines, the bounds of the
// encode and frame buffers, and the has-flags of optional fields as libprotobuf sees them.
#include "app/links/frame_sender.h"

#include <cstring>
#include <string>
#include <vector>

#include <gtest/gtest.h>

#include "tests/support/posix_pattern.h"
#include "tests/unit/links/link_test_support.h"
#include "tests/unit/links/sample_messages.h"

namespace links_test {
namespace {

// A value whose varint is AF AF AF AF 0F: every byte but the last needs stuffing.
constexpr uint32_t kStuffedValue =
    0x2Fu | (0x2Fu << 7) | (0x2Fu << 14) | (0x2Fu << 21) | (0x0Fu << 28);

class FrameSenderTest : public testing::Test {
 protected:
  void SetUp() override { clear_app_log(); }

  template <typename ProtoWrapper>
  ProtoWrapper peer_receives() {
    sim::Deframer deframer;
    std::string payload;
    ProtoWrapper message;
    EXPECT_TRUE(pty_.peer_reads_frame(deframer, &payload)) << deframer.lastError();
    EXPECT_TRUE(message.ParseFromString(payload));
    return message;
  }

  bool nothing_written() const {
    return !PtyPair::wait_readable(pty_.peer, std::chrono::milliseconds(0));
  }

  static kvt_ISP2MCU mcu_message(pb_size_t tag) {
    kvt_ISP2MCU message;
    memset(&message, 0, sizeof message);
    message.which_msg = tag;
    return message;
  }

  PtyPair pty_;
};

// The frame's bytes are the codec's (worked out by hand in its test); its length is logged.
TEST_F(FrameSenderTest, EmptyWrapperGoesOutAsTheNineByteFrame) {
  ASSERT_EQ(mcu_send_frame_on(pty_.port, mcu_message(0)), 0);
  EXPECT_EQ(peer_receives<kvt::kvt_ISP2MCU>().msg_case(), kvt::kvt_ISP2MCU::MSG_NOT_SET);
  const std::vector<std::string> debug = {"Data sent to MCU : ", "No of bytes writen to MCU : 9"};
  EXPECT_EQ(log_messages("MCU_UART", "DEBUG"), debug);
}

TEST_F(FrameSenderTest, ModemSenderUsesTheModemTexts) {
  kvt_ISP2Modem message;
  memset(&message, 0, sizeof message);
  message.which_msg = kvt_ISP2Modem_set_server_next_action_request_tag;
  message.msg.set_server_next_action_request.nextAction = 1;
  ASSERT_EQ(modem_send_frame_on(pty_.port, message), 0);

  EXPECT_TRUE(peer_receives<kvt::kvt_ISP2Modem>().has_set_server_next_action_request());
  // Member 142 with one field: 2-byte tag, length, 08 01 = 5 bytes; 14 in the frame.
  const std::vector<std::string> debug = {"Data sent to MODEM : ",
                                          "No of bytes writen to Modem : 14"};
  EXPECT_EQ(log_messages("MODEM_UART", "DEBUG"), debug);
}

// (A blinking one carries its period: the MCU link manager's status LED test.)
TEST_F(FrameSenderTest, SteadyStatusLedCarriesNoBlinkPeriod) {
  kvt_ISP2MCU steady = mcu_message(kvt_ISP2MCU_set_status_led_request_tag);
  steady.msg.set_status_led_request.colour = 2;
  steady.msg.set_status_led_request.blinkPeriodMs = 500;  // ignored without its has-flag
  ASSERT_EQ(mcu_send_frame_on(pty_.port, steady), 0);
  const auto received = peer_receives<kvt::kvt_ISP2MCU>();
  EXPECT_EQ(received.set_status_led_request().colour(), 2u);
  EXPECT_FALSE(received.set_status_led_request().has_blinkperiodms());
}

TEST_F(FrameSenderTest, FullScheduleOfTwentyEightEntriesGoesOut) {
  kvt_ISP2MCU message = mcu_message(kvt_ISP2MCU_set_camera_detection_schedule_request_tag);
  DetectionScheduleRequest& request = message.msg.set_camera_detection_schedule_request;
  static_assert(sizeof request.detectionSchedule / sizeof request.detectionSchedule[0] == 28);
  request.detectionSchedule_count = 28;
  for (uint32_t i = 0; i < 28; ++i) {
    request.detectionSchedule[i] = {i % 8, {i % 24, 59 - i}, {(i + 1) % 24, i}};
  }
  ASSERT_EQ(mcu_send_frame_on(pty_.port, message), 0);
  const auto received = peer_receives<kvt::kvt_ISP2MCU>();
  const auto& schedule = received.set_camera_detection_schedule_request().detectionschedule();
  ASSERT_EQ(schedule.size(), 28);
  EXPECT_EQ(schedule[27].starttime().minute(), 59u - 27);
}

// A message whose encoding overflows the 910-byte encode buffer, and one that encodes within
// it but that stuffing nearly doubles past the 912-byte frame, are not sent.
TEST_F(FrameSenderTest, MessageThatOutgrowsTheEncodeOrTheFrameBufferIsNotSent) {
  const struct {
    uint32_t value;
    pb_size_t count;
    const char* error;  // the whole line, as a pattern
  } cases[] = {
      {0xFFFFFFFFu, 28, "Encoding failed: stream full"},
      {kStuffedValue, 20, "Frame for [0-9]+ encoded bytes does not fit the MCU frame buffer"},
  };
  for (const auto& c : cases) {
    SCOPED_TRACE(c.error);
    clear_app_log();
    kvt_ISP2MCU message = mcu_message(kvt_ISP2MCU_set_camera_instant_schedule_request_tag);
    InstantScheduleRequest& request = message.msg.set_camera_instant_schedule_request;
    request.instantSchedule_count = c.count;
    for (ScheduleEntry& entry : request.instantSchedule) {
      entry = {c.value, {c.value, c.value}, {c.value, c.value}};
    }
    EXPECT_EQ(mcu_send_frame_on(pty_.port, message), -1);
    const auto errors = log_messages("MCU_UART", "ERR");
    ASSERT_EQ(errors.size(), 1u);
    EXPECT_TRUE(test_support::Pattern(c.error).matches_whole(errors[0])) << errors[0];
    EXPECT_TRUE(nothing_written());
  }

  // The Modem's frame buffer is 256 bytes: a full fuel gauge report of such values outgrows it.
  kvt_ISP2Modem modem;
  memset(&modem, 0, sizeof modem);
  modem.which_msg = kvt_ISP2Modem_get_fuel_gauge_values_response_tag;
  modem.msg.get_fuel_gauge_values_response.fuelGaugeEntries_count = 6;
  for (FuelGaugeEntry& entry : modem.msg.get_fuel_gauge_values_response.fuelGaugeEntries) {
    entry = {kStuffedValue, kStuffedValue, kStuffedValue, kStuffedValue};
  }
  EXPECT_EQ(modem_send_frame_on(pty_.port, modem), -1);
  EXPECT_EQ(log_messages("MODEM_UART", "ERR").size(), 1u);
  EXPECT_TRUE(nothing_written());
}

TEST_F(FrameSenderTest, WriteFailureIsReported) {
  EXPECT_EQ(mcu_send_frame_on(-1, mcu_message(kvt_ISP2MCU_get_camera_state_request_tag)), -1);
  EXPECT_EQ(log_messages("MCU_UART", "ERR"),
            std::vector<std::string>{"Write to the MCU port failed: Bad file descriptor"});
}

}  // namespace
}  // namespace links_test
