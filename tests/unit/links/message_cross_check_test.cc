// Every member of the four wrappers crosses the link between the camera (nanopb records, the
// camera's codec) and the peers (libprotobuf, the peers' framer) and arrives with the same
// values: one case per member, in both directions.
#include <pb_decode.h>

#include <cstring>
#include <filesystem>
#include <string>
#include <vector>

#include <gtest/gtest.h>

#include "app/links/frame_receiver.h"
#include "app/links/frame_sender.h"
#include "app/links/link_messages.h"

#include "tests/unit/links/link_test_support.h"
#include "tests/unit/links/message_walk.h"
#include "tests/unit/links/sample_messages.h"

namespace links_test {
namespace {

kvt_MCU2ISP g_mcuMessage;
kvt_Modem2ISP g_modemMessage;

void capture_mcu(const kvt_MCU2ISP& message, timeval*) {
  g_mcuMessage = message;
}
void capture_modem(const kvt_Modem2ISP& message, timeval*) {
  g_modemMessage = message;
}

struct Member {
  uint32_t tag;
  const char* name;
};

std::string case_name(const testing::TestParamInfo<Member>& info) {
  return info.param.name;
}

// The members of each wrapper. Coverage of the schema is checked below, so a member added to a
// schema without a row here fails.
const std::vector<Member> kMcu2IspMembers = {
    {11, "get_device_info_response"},
    {31, "get_adc_monitoring_values_response"},
    {51, "get_camera_state_response"},
    {52, "set_camera_configuration_response"},
    {53, "get_day_night_status_response"},
    {54, "set_camera_detection_schedule_response"},
    {55, "set_camera_instant_schedule_response"},
    {56, "set_battery_protection_response"},
    {71, "get_fuel_gauge_value_response"},
    {72, "reserved_72"},
    {81, "pir_detection_request"},
    {82, "timelapse_request"},
    {91, "set_pir_configuration_response"},
    {111, "isp_ready_to_sleep_response"},
    {112, "set_modem_power_state_response"},
    {113, "reserved_113"},
    {114, "mcu_wdm_triggered_response"},
    {131, "set_rtc_date_time_response"},
    {132, "get_rtc_date_time_response"},
    {133, "get_rtc_install_date_time_response"},
    {141, "test_button_notification_request"},
    {171, "set_status_led_response"},
    {211, "reserved_211"},
    {212, "reserved_212"},
    {231, "reserved_231"},
    {232, "reserved_232"},
    {241, "reserved_241"},
    {242, "reserved_242"},
};

const std::vector<Member> kModem2IspMembers = {
    {1, "get_device_version_request"},          {11, "get_device_model_response"},
    {41, "get_camera_sd_card_control_request"}, {42, "return_camera_sd_card_control_request"},
    {43, "get_camera_status_request"},          {44, "get_camera_sd_card_format_request"},
    {51, "get_camera_configuration_response"},  {61, "get_fuel_gauge_values_request"},
    {101, "modem_reboot_done_request"},         {121, "set_rtc_date_time_request"},
    {141, "send_server_sync_status_request"},   {142, "set_server_instant_query_request"},
    {151, "set_server_sync_type_response"},     {152, "set_server_next_action_response"},
    {211, "get_crypto_password_response"},
};

const std::vector<Member> kIsp2McuMembers = {
    {1, "get_device_info_request"},
    {21, "get_adc_monitoring_values_request"},
    {41, "get_camera_state_request"},
    {42, "set_camera_configuration_request"},
    {43, "get_day_night_status_request"},
    {44, "set_camera_detection_schedule_request"},
    {45, "set_camera_instant_schedule_request"},
    {46, "set_battery_protection_request"},
    {61, "get_fuel_gauge_value_request"},
    {62, "reserved_62"},
    {81, "set_pir_configuration_request"},
    {91, "pir_detection_response"},
    {92, "timelapse_response"},
    {101, "isp_ready_to_sleep_request"},
    {102, "set_modem_power_state_request"},
    {103, "watchdog_notification_request"},
    {104, "mcu_wdm_triggered_request"},
    {121, "set_rtc_date_time_request"},
    {122, "get_rtc_date_time_request"},
    {123, "get_rtc_install_date_time_request"},
    {151, "test_button_notification_response"},
    {161, "set_status_led_request"},
    {201, "reserved_201"},
    {202, "reserved_202"},
    {221, "reserved_221"},
    {222, "reserved_222"},
    {236, "reserved_236"},
    {237, "reserved_237"},
};

const std::vector<Member> kIsp2ModemMembers = {
    {1, "get_device_model_request"},
    {11, "get_device_version_response"},
    {41, "get_camera_configuration_request"},
    {51, "get_camera_sd_card_control_response"},
    {52, "return_camera_sd_card_control_response"},
    {53, "get_camera_status_response"},
    {54, "get_camera_sd_card_format_response"},
    {71, "get_fuel_gauge_values_response"},
    {111, "modem_reboot_done_response"},
    {131, "set_rtc_date_time_response"},
    {141, "set_server_sync_type_request"},
    {142, "set_server_next_action_request"},
    {151, "send_server_sync_status_response"},
    {152, "set_server_instant_query_response"},
    {201, "get_crypto_password_request"},
};

// Each table row names a member of the schema with that tag, and every member has a row; the
// log names of the application agree.
void expect_table_covers(const std::vector<Member>& table,
                         const google::protobuf::Descriptor& wrapper,
                         const char* (*logName)(pb_size_t)) {
  std::vector<uint32_t> tags;
  for (const Member& member : table) {
    tags.push_back(member.tag);
    const auto* field = wrapper.FindFieldByNumber(static_cast<int>(member.tag));
    ASSERT_NE(field, nullptr) << member.name;
    EXPECT_EQ(field->name(), member.name);
    EXPECT_EQ(logName(static_cast<pb_size_t>(member.tag)),
              wrapper.name() + "_" + member.name + "_tag");
  }
  EXPECT_EQ(tags, member_tags(wrapper));
  EXPECT_STREQ(logName(7), "UNKNOWN");
}

TEST(MemberTables, CoverEverySchemaMemberAndMatchTheLogNames) {
  expect_table_covers(kMcu2IspMembers, *kvt::kvt_MCU2ISP::descriptor(), mcu2isp_tag_name);
  expect_table_covers(kModem2IspMembers, *kvt::kvt_Modem2ISP::descriptor(), modem2isp_tag_name);
  expect_table_covers(kIsp2McuMembers, *kvt::kvt_ISP2MCU::descriptor(), isp2mcu_tag_name);
  expect_table_covers(kIsp2ModemMembers, *kvt::kvt_ISP2Modem::descriptor(), isp2modem_tag_name);
}

// The comparison itself must see a difference, or the cases below would prove nothing.
TEST(MemberTables, ComparisonNoticesADifferentValue) {
  kvt::kvt_MCU2ISP proto;
  ValueSeed protoSeed;
  fill_proto(*select_proto_member(proto, 71), protoSeed);

  kvt_MCU2ISP record;
  memset(&record, 0, sizeof record);
  const pb_msgdesc_t* descriptor = nullptr;
  ValueSeed recordSeed;
  void* member = select_nanopb_member(kvt_MCU2ISP_fields, &record, 71, &descriptor);
  ASSERT_NE(member, nullptr);
  fill_nanopb(descriptor, member, recordSeed);

  int leaves = 0;
  EXPECT_EQ(compare_wrappers(kvt_MCU2ISP_fields, &record, proto, &leaves), "");
  EXPECT_EQ(leaves, 2 + 2 * 4);
  record.msg.get_fuel_gauge_value_response.fuelGaugeEntries[1].batteryPercent += 1;
  EXPECT_NE(compare_wrappers(kvt_MCU2ISP_fields, &record, proto), "");
  record.msg.get_fuel_gauge_value_response.fuelGaugeEntries[1].batteryPercent -= 1;
  record.msg.get_fuel_gauge_value_response.fuelGaugeEntries_count = 1;
  EXPECT_NE(compare_wrappers(kvt_MCU2ISP_fields, &record, proto), "");
  record.which_msg = 51;
  EXPECT_NE(compare_wrappers(kvt_MCU2ISP_fields, &record, proto), "");
}

class InboundTest : public testing::TestWithParam<Member> {
 protected:
  void SetUp() override { clear_app_log(); }
  PtyPair pty_;
  timeval wait_{5, 0};
};

// The peer encodes with libprotobuf and frames with its own framer; the camera's receiver
// decodes the same values.
class McuInbound : public InboundTest {};

TEST_P(McuInbound, DecodesToTheSameValues) {
  kvt::kvt_MCU2ISP proto;
  ValueSeed seed;
  fill_proto(*select_proto_member(proto, GetParam().tag), seed);
  memset(&g_mcuMessage, 0xA5, sizeof g_mcuMessage);

  pty_.peer_writes(sim::frame(proto.SerializeAsString()));
  consume_start_byte(pty_.port);
  ASSERT_EQ(mcu_read_frame(pty_.port, capture_mcu, &wait_), 0);
  EXPECT_EQ(compare_wrappers(kvt_MCU2ISP_fields, &g_mcuMessage, proto), "");
}

INSTANTIATE_TEST_SUITE_P(EveryMember, McuInbound, testing::ValuesIn(kMcu2IspMembers), case_name);

class ModemInbound : public InboundTest {};

TEST_P(ModemInbound, DecodesToTheSameValues) {
  kvt::kvt_Modem2ISP proto;
  ValueSeed seed;
  fill_proto(*select_proto_member(proto, GetParam().tag), seed);
  memset(&g_modemMessage, 0xA5, sizeof g_modemMessage);

  pty_.peer_writes(sim::frame(proto.SerializeAsString()));
  consume_start_byte(pty_.port);
  ASSERT_EQ(modem_read_frame(pty_.port, capture_modem, &wait_), 0);
  EXPECT_EQ(compare_wrappers(kvt_Modem2ISP_fields, &g_modemMessage, proto), "");
}

INSTANTIATE_TEST_SUITE_P(EveryMember, ModemInbound, testing::ValuesIn(kModem2IspMembers),
                         case_name);

// The camera sends with nanopb and its codec; the peer deframes with its own deframer and
// libprotobuf decodes the same values.
class McuOutbound : public InboundTest {};

TEST_P(McuOutbound, LibprotobufDecodesTheSameValues) {
  kvt_ISP2MCU record;
  memset(&record, 0, sizeof record);
  const pb_msgdesc_t* descriptor = nullptr;
  void* member = select_nanopb_member(kvt_ISP2MCU_fields, &record, GetParam().tag, &descriptor);
  ASSERT_NE(member, nullptr);
  ValueSeed seed;
  fill_nanopb(descriptor, member, seed);

  ASSERT_EQ(mcu_send_frame_on(pty_.port, record), 0);
  sim::Deframer deframer;
  std::string payload;
  ASSERT_TRUE(pty_.peer_reads_frame(deframer, &payload)) << deframer.lastError();
  kvt::kvt_ISP2MCU proto;
  ASSERT_TRUE(proto.ParseFromString(payload));
  EXPECT_EQ(compare_wrappers(kvt_ISP2MCU_fields, &record, proto), "");
}

INSTANTIATE_TEST_SUITE_P(EveryMember, McuOutbound, testing::ValuesIn(kIsp2McuMembers), case_name);

class ModemOutbound : public InboundTest {};

TEST_P(ModemOutbound, LibprotobufDecodesTheSameValues) {
  kvt_ISP2Modem record;
  memset(&record, 0, sizeof record);
  const pb_msgdesc_t* descriptor = nullptr;
  void* member = select_nanopb_member(kvt_ISP2Modem_fields, &record, GetParam().tag, &descriptor);
  ASSERT_NE(member, nullptr);
  ValueSeed seed;
  fill_nanopb(descriptor, member, seed);

  ASSERT_EQ(modem_send_frame_on(pty_.port, record), 0);
  sim::Deframer deframer;
  std::string payload;
  ASSERT_TRUE(pty_.peer_reads_frame(deframer, &payload)) << deframer.lastError();
  kvt::kvt_ISP2Modem proto;
  ASSERT_TRUE(proto.ParseFromString(payload));
  EXPECT_EQ(compare_wrappers(kvt_ISP2Modem_fields, &record, proto), "");
}

INSTANTIATE_TEST_SUITE_P(EveryMember, ModemOutbound, testing::ValuesIn(kIsp2ModemMembers),
                         case_name);

// The fuzz targets' checked-in seeds must stay valid messages of the schemas, one per member,
// or the fuzzers would start from noise after a schema change.
template <typename Wrapper>
void expect_seeds_decode(const char* target, const pb_msgdesc_t* fields,
                         const std::vector<Member>& members) {
  const std::filesystem::path directory = std::filesystem::path(LINKS_SEED_DIR) / target;
  for (const Member& member : members) {
    const std::string payload = test_support::read_file(directory / member.name);
    ASSERT_FALSE(payload.empty()) << target << ": no seed for " << member.name;
    Wrapper message;
    pb_istream_t stream =
        pb_istream_from_buffer(reinterpret_cast<const pb_byte_t*>(payload.data()), payload.size());
    ASSERT_TRUE(pb_decode(&stream, fields, &message))
        << member.name << ": " << PB_GET_ERROR(&stream);
    EXPECT_EQ(message.which_msg, member.tag);
  }
}

TEST(FuzzSeeds, DecodeToEveryMember) {
  expect_seeds_decode<kvt_MCU2ISP>("fuzz_mcu_decoder", kvt_MCU2ISP_fields, kMcu2IspMembers);
  expect_seeds_decode<kvt_Modem2ISP>("fuzz_modem_decoder", kvt_Modem2ISP_fields, kModem2IspMembers);
}

}  // namespace
}  // namespace links_test
