// The receiver on a pseudo-terminal configured like the camera's serial ports, fed by the peers'
// framer: frame examples, both length and checksum layouts, limits, escapes and every log text.
#include "app/links/frame_receiver.h"

#include <cstring>
#include <string>
#include <vector>

#include <gtest/gtest.h>

#include "app/links/link_loop.h"
#include "sim/modem/modem_peer.h"

#include "tests/unit/links/link_test_support.h"
#include "tests/unit/links/message_walk.h"
#include "tests/unit/links/sample_messages.h"

namespace links_test {
namespace {

kvt_MCU2ISP g_mcuMessage;
int g_mcuCalls = 0;
kvt_Modem2ISP g_modemMessage;
int g_modemCalls = 0;

// The link managers re-arm the wait time from the handler; so does this one.
void capture_mcu(const kvt_MCU2ISP& message, timeval* waitTime) {
  g_mcuMessage = message;
  ++g_mcuCalls;
  set_wait_seconds(waitTime, 3000);
}

void capture_modem(const kvt_Modem2ISP& message, timeval* waitTime) {
  g_modemMessage = message;
  ++g_modemCalls;
  set_wait_seconds(waitTime, 3000);
}

class FrameReceiverTest : public testing::Test {
 protected:
  void SetUp() override {
    clear_app_log();
    memset(&g_mcuMessage, 0, sizeof g_mcuMessage);
    memset(&g_modemMessage, 0, sizeof g_modemMessage);
    g_mcuCalls = 0;
    g_modemCalls = 0;
  }

  int mcu_receives(const Bytes& frame) {
    pty_.peer_writes(frame);
    consume_start_byte(pty_.port);
    return mcu_read_frame(pty_.port, capture_mcu, &wait_, &counters_);
  }

  int modem_receives(const Bytes& frame) {
    pty_.peer_writes(frame);
    consume_start_byte(pty_.port);
    return modem_read_frame(pty_.port, capture_modem, &wait_, &counters_);
  }

  static std::vector<std::string> mcu(const char* level) { return log_messages("MCU_UART", level); }

  PtyPair pty_;
  timeval wait_{5, 0};
  LinkCounters counters_;
};

TEST_F(FrameReceiverTest, EmptyPayloadFrameIsHandledAsTheEmptyWrapper) {
  EXPECT_EQ(mcu_receives({0xDE, 0x01, 0x00, 0x00, 0x00, 0x00, 0x00, 0xFF, 0xAD}), 0);
  EXPECT_EQ(g_mcuCalls, 1);
  EXPECT_EQ(g_mcuMessage.which_msg, 0);
  EXPECT_EQ(wait_.tv_sec, 3000) << "the handler gets the loop's wait time";
  EXPECT_EQ(counters_.emptyReads, 0u);

  const auto debug = mcu("DEBUG");
  const std::vector<std::string> expected = {
      "Payload byte received from MCU : payload[1] : 00 payload[0] : 00",
      "CRC byte received from mcu : crc[1] : ff crc[0] : 00",
      "Data received from MCU : ",
      "Decoded Message Tag : 0",
  };
  EXPECT_EQ(debug, expected);
}

// The length and the checksum may come in either byte of their fields.
TEST_F(FrameReceiverTest, LengthAndChecksumInEitherByteOrderAreAccepted) {
  // Header 01 + 05 and the payload 9A 03 02 08 17 sum to 0xC4: checksum 0x3C.
  const std::string payload = camera_state_payload(23);
  ASSERT_EQ(sim::peer_checksum(to_bytes(payload)), 0x3C);
  for (bool highFirst : {false, true}) {
    for (bool checksumFirst : {false, true}) {
      clear_app_log();
      EXPECT_EQ(mcu_receives(sim::frame(
                    payload, {.lengthHighByteFirst = highFirst, .checksumFirst = checksumFirst})),
                0);
      EXPECT_EQ(g_mcuMessage.msg.get_camera_state_response.state, 23u);
      const std::vector<std::string> debug = mcu("DEBUG");
      ASSERT_GE(debug.size(), 2u);
      EXPECT_EQ(debug[0], highFirst
                              ? "Payload byte received from MCU : payload[1] : 05 payload[0] : 00"
                              : "Payload byte received from MCU : payload[1] : 00 payload[0] : 05");
      EXPECT_EQ(debug[1], checksumFirst ? "CRC byte received from mcu : crc[1] : 00 crc[0] : 3c"
                                        : "CRC byte received from mcu : crc[1] : 3c crc[0] : 00");
    }
  }
  EXPECT_EQ(g_mcuCalls, 4);
}

// Stuffed bytes (DE, AD, AF sent as AF and the byte XOR AF) anywhere in the frame.
TEST_F(FrameReceiverTest, StuffedBytesAreUnstuffedWhereverTheyStand) {
  uint32_t state = 0;
  while (sim::peer_checksum(to_bytes(camera_state_payload(state))) != 0xAD) {
    ++state;
  }
  Bytes header_stuffed = sim::frame(camera_state_payload(4));
  header_stuffed.erase(header_stuffed.begin() + 2, header_stuffed.begin() + 4);
  header_stuffed.insert(header_stuffed.begin() + 2, {0xAF, 0xAF, 0xAF, 0xAF});
  // The varint DE AD AF 01 carries the three bytes that are always stuffed.
  const uint32_t payload_state = 0x5E | (0x2Du << 7) | (0x2Fu << 14) | (1u << 21);
  struct Case {
    Bytes frame;
    uint32_t state;
    std::vector<std::string> info;
  };
  const Case cases[] = {
      {sim::frame(camera_state_payload(state)),
       state,
       {"escape character received in crc byte 1", "buf read : 02", "data after xor : ad"}},
      {sim::frame(camera_state_payload(payload_state)),
       payload_state,
       {"escape character received in payload", "buf read : 71", "data after xor : de",
        "escape character received in payload", "buf read : 02", "data after xor : ad",
        "escape character received in payload", "buf read : 00", "data after xor : af"}},
      {header_stuffed,
       4,
       {"escape character received in protocol version", "buf read : af", "data after xor : 00",
        "escape character received in seq number", "buf read : af", "data after xor : 00"}},
  };
  for (const Case& c : cases) {
    clear_app_log();
    EXPECT_EQ(mcu_receives(c.frame), 0);
    EXPECT_EQ(g_mcuMessage.msg.get_camera_state_response.state, c.state);
    EXPECT_EQ(mcu("INFO"), c.info);
  }
}

// 99 payload bytes pass the length test (they are no message, so decoding refuses them); 100
// are refused before the payload is read (the link loop's test reads them as stray bytes).
TEST_F(FrameReceiverTest, McuReadsALengthOfNinetyNineAndRefusesOneHundred) {
  EXPECT_EQ(mcu_receives(sim::frame(Bytes(99, 0xFF))), 1);
  const auto errors = mcu("ERR");
  ASSERT_EQ(errors.size(), 1u);
  EXPECT_EQ(errors[0].rfind("Decoding failed: ", 0), 0u) << errors[0];

  clear_app_log();
  EXPECT_EQ(mcu_receives(sim::frame(Bytes(100, 0x11))), 1);
  EXPECT_EQ(g_mcuCalls, 0);
  EXPECT_EQ(mcu("ERR"), std::vector<std::string>{"Error MCU Read payload size : 100"});
}

TEST_F(FrameReceiverTest, ModemAcceptsTheLargestLengthAndRefusesTheNext) {
  const kvt::kvt_Modem2ISP message = configuration_of_size(2249);
  const std::string payload = message.SerializeAsString();
  ASSERT_EQ(payload.size(), 2249u);

  EXPECT_EQ(modem_receives(sim::frame(payload)), 0);
  ASSERT_EQ(g_modemCalls, 1);
  EXPECT_EQ(g_modemMessage.msg.get_camera_configuration_response.instantSchedule_count, 28);
  EXPECT_EQ(log_messages("MODEM_UART", "ERR"), std::vector<std::string>{});

  EXPECT_EQ(modem_receives(sim::frame(Bytes(2250, 0x11))), 1);
  EXPECT_EQ(g_modemCalls, 1);
  EXPECT_EQ(log_messages("MODEM_UART", "ERR"),
            std::vector<std::string>{"Error : Modem read payload size : 2250"});
}

TEST_F(FrameReceiverTest, ModemLogTextsAreTheModemLinks) {
  kvt::kvt_Modem2ISP message;
  message.mutable_get_device_model_response()->set_model(6);
  const std::string payload = message.SerializeAsString();
  const uint8_t good = sim::peer_checksum(to_bytes(payload));
  char expected[80];
  snprintf(expected, sizeof expected,
           "Error : CRC modem %02x : checksum isp : %02x : stop byte : ad", (good + 1) & 0xFF,
           good);
  EXPECT_EQ(modem_receives(sim::frame(payload, {.checksumError = 1})), 1);
  EXPECT_EQ(log_messages("MODEM_UART", "ERR"), std::vector<std::string>{expected});

  clear_app_log();
  EXPECT_EQ(modem_receives(sim::frame(payload)), 0);
  EXPECT_EQ(g_modemMessage.msg.get_device_model_response.model, 6u);
  snprintf(expected, sizeof expected, "CRC byte received from modem: crc[1] : %02x crc[0] :00",
           good);
  const std::vector<std::string> debug = {
      "Payload byte received from Modem : payload[1] : 00 payload[0] : 04", expected,
      "Data received from MODEM : ", "Decoded Message Tag : 11"};
  EXPECT_EQ(log_messages("MODEM_UART", "DEBUG"), debug);
}

// A bad stop byte drops the frame although the checksum matches, as does a bad checksum.
TEST_F(FrameReceiverTest, BadStopByteOrChecksumDropsTheFrame) {
  const std::pair<sim::FrameLayout, const char*> cases[] = {
      {{.stopByte = 0xAC}, "Error : CRC mcu 3c : checksum isp : 3c : stop byte : ac"},
      {{.checksumError = 1}, "Error : CRC mcu 3d : checksum isp : 3c : stop byte : ad"}};
  for (const auto& [options, error] : cases) {
    clear_app_log();
    EXPECT_EQ(mcu_receives(sim::frame(camera_state_payload(23), options)), 1);
    EXPECT_EQ(mcu("ERR"), std::vector<std::string>{error});
  }
  EXPECT_EQ(g_mcuCalls, 0);
  EXPECT_EQ(wait_.tv_sec, 5) << "a dropped frame leaves the wait time alone";
}

// A missing required field (the camera state's state; the server configuration's warning light
// settings) fails to decode and drops the frame; the optional JPEG settings may be absent.
TEST_F(FrameReceiverTest, MissingRequiredFieldFailsToDecodeAndIsDropped) {
  kvt::kvt_Modem2ISP config;
  *config.mutable_get_camera_configuration_response() = sim::default_server_configuration();
  ASSERT_FALSE(config.get_camera_configuration_response().has_jpegsettings());
  EXPECT_EQ(modem_receives(sim::frame(config.SerializeAsString())), 0);
  EXPECT_FALSE(g_modemMessage.msg.get_camera_configuration_response.has_jpegSettings);

  kvt::kvt_MCU2ISP state;
  state.mutable_get_camera_state_response();
  config.mutable_get_camera_configuration_response()->clear_warningledconfig();
  EXPECT_EQ(mcu_receives(sim::frame(state.SerializePartialAsString())), 1);
  EXPECT_EQ(modem_receives(sim::frame(config.SerializePartialAsString())), 1);
  EXPECT_EQ(g_mcuCalls + g_modemCalls, 1);
  const std::vector<std::string> error = {"Decoding failed: missing required field"};
  EXPECT_EQ(mcu("ERR"), error);
  EXPECT_EQ(log_messages("MODEM_UART", "ERR"), error);
}

// Bounds: one element or character more than the record holds makes the frame undecodable
// rather than overrunning the record.
TEST_F(FrameReceiverTest, DecodingHoldsTheBoundsOfRepeatedFieldsAndStrings) {
  struct Case {
    const char* field;  // repeated field of the server configuration; none: the password
    int limit;
    const char* error;
  };
  const Case cases[] = {{"detectionSchedule", 28, "Decoding failed: array overflow"},
                        {"batteryProtections", 10, "Decoding failed: array overflow"},
                        {nullptr, 31, "Decoding failed: string overflow"}};
  for (const Case& c : cases) {
    for (int extra : {0, 1}) {
      SCOPED_TRACE(testing::Message() << (c.field ? c.field : "password") << " +" << extra);
      kvt::kvt_Modem2ISP message;
      if (c.field == nullptr) {
        message.mutable_get_crypto_password_response()->set_password(
            std::string(c.limit + extra, 'p'));
      } else {
        auto* config = message.mutable_get_camera_configuration_response();
        *config = sim::default_server_configuration();
        const auto* field = config->GetDescriptor()->FindFieldByName(c.field);
        ValueSeed seed;
        for (int i = 0; i < c.limit + extra; ++i) {
          fill_proto(*config->GetReflection()->AddMessage(config, field), seed);
        }
      }
      clear_app_log();
      EXPECT_EQ(modem_receives(sim::frame(message.SerializeAsString())), extra);
      EXPECT_EQ(log_messages("MODEM_UART", "ERR"), std::vector<std::string>(extra, c.error));
    }
  }
  EXPECT_EQ(g_modemMessage.msg.get_crypto_password_response.password, std::string(31, 'p'));

  // Six fuel gauge entries on the MCU link, then seven.
  for (int entries : {6, 7}) {
    kvt::kvt_MCU2ISP message;
    auto* values = message.mutable_get_fuel_gauge_value_response();
    values->set_isvalid(true);
    values->set_index(0);
    // Small values: seven entries must still fit the MCU's frame.
    for (int i = 0; i < entries; ++i) {
      auto* entry = values->add_fuelgaugeentries();
      entry->set_powersource(0);
      entry->set_batterytype(1);
      entry->set_batterypercent(80);
      entry->set_capacity(0);
    }
    EXPECT_EQ(mcu_receives(sim::frame(message.SerializeAsString())), entries == 6 ? 0 : 1);
  }
  EXPECT_EQ(g_mcuMessage.msg.get_fuel_gauge_value_response.fuelGaugeEntries_count, 6);
}

}  // namespace
}  // namespace links_test
