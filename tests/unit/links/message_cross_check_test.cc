// Every member of the four wrappers crosses the link between the camera (nanopb records, the
// camera's codec) and the peer (libprotobuf, the peers' framer) and arrives with the same
// values, in both directions, for the MCU and the Modem link alike. The members come from the
// schemas themselves, so a member added later is crossed as well.
#include <cstring>
#include <string>

#include <gtest/gtest.h>

#include "app/links/frame_receiver.h"
#include "app/links/frame_sender.h"
#include "app/links/link_messages.h"

#include "tests/unit/links/link_test_support.h"
#include "tests/unit/links/message_walk.h"
#include "tests/unit/links/sample_messages.h"

namespace links_test {
namespace {

// What differs between the two links: their wrappers, codec entry points and log names.
struct McuLink {
  using Inbound = kvt_MCU2ISP;
  using InboundProto = kvt::kvt_MCU2ISP;
  using Outbound = kvt_ISP2MCU;
  using OutboundProto = kvt::kvt_ISP2MCU;
  static constexpr const pb_msgdesc_t* kInboundFields = kvt_MCU2ISP_fields;
  static constexpr const pb_msgdesc_t* kOutboundFields = kvt_ISP2MCU_fields;
  static constexpr auto kRead = mcu_read_frame;
  static constexpr auto kSend = mcu_send_frame_on;
  static constexpr auto kInboundName = mcu2isp_tag_name;
  static constexpr auto kOutboundName = isp2mcu_tag_name;
};

struct ModemLink {
  using Inbound = kvt_Modem2ISP;
  using InboundProto = kvt::kvt_Modem2ISP;
  using Outbound = kvt_ISP2Modem;
  using OutboundProto = kvt::kvt_ISP2Modem;
  static constexpr const pb_msgdesc_t* kInboundFields = kvt_Modem2ISP_fields;
  static constexpr const pb_msgdesc_t* kOutboundFields = kvt_ISP2Modem_fields;
  static constexpr auto kRead = modem_read_frame;
  static constexpr auto kSend = modem_send_frame_on;
  static constexpr auto kInboundName = modem2isp_tag_name;
  static constexpr auto kOutboundName = isp2modem_tag_name;
};

template <typename Link>
class CrossCheck : public testing::Test {
 protected:
  void SetUp() override { clear_app_log(); }

  static inline typename Link::Inbound received;
  PtyPair pty_;
  timeval wait_{5, 0};
};

using Links = testing::Types<McuLink, ModemLink>;
TYPED_TEST_SUITE(CrossCheck, Links);

// The log names the camera prints are the schema's own member names.
TYPED_TEST(CrossCheck, LogNamesAreTheSchemaMemberNames) {
  auto expect_names = [](const google::protobuf::Descriptor& wrapper,
                         const char* (*logName)(pb_size_t)) {
    for (uint32_t tag : member_tags(wrapper)) {
      EXPECT_EQ(
          logName(static_cast<pb_size_t>(tag)),
          wrapper.name() + "_" + wrapper.FindFieldByNumber(static_cast<int>(tag))->name() + "_tag");
    }
    EXPECT_STREQ(logName(7), "UNKNOWN");
    EXPECT_GT(member_tags(wrapper).size(), 10u);  // the walks below cover something
  };
  expect_names(*TypeParam::InboundProto::descriptor(), TypeParam::kInboundName);
  expect_names(*TypeParam::OutboundProto::descriptor(), TypeParam::kOutboundName);
}

// The peer encodes with libprotobuf and frames with its own framer; the camera's receiver
// decodes the same values.
TYPED_TEST(CrossCheck, EveryInboundMemberDecodesToTheSameValues) {
  const auto& wrapper = *TypeParam::InboundProto::descriptor();
  for (uint32_t tag : member_tags(wrapper)) {
    SCOPED_TRACE(wrapper.FindFieldByNumber(static_cast<int>(tag))->name());
    typename TypeParam::InboundProto proto;
    ValueSeed seed;
    fill_proto(*select_proto_member(proto, tag), seed);
    memset(&this->received, 0xA5, sizeof this->received);

    this->pty_.peer_writes(sim::frame(proto.SerializeAsString()));
    consume_start_byte(this->pty_.port);
    ASSERT_EQ(TypeParam::kRead(
                  this->pty_.port,
                  [](const typename TypeParam::Inbound& message, timeval*) {
                    CrossCheck<TypeParam>::received = message;
                  },
                  &this->wait_, nullptr),
              0);
    EXPECT_EQ(compare_wrappers(TypeParam::kInboundFields, &this->received, proto), "");
  }
}

// The camera sends with nanopb and its codec; the peer deframes with its own deframer and
// libprotobuf decodes the same values.
TYPED_TEST(CrossCheck, EveryOutboundMemberDecodesToTheSameValues) {
  const auto& wrapper = *TypeParam::OutboundProto::descriptor();
  for (uint32_t tag : member_tags(wrapper)) {
    SCOPED_TRACE(wrapper.FindFieldByNumber(static_cast<int>(tag))->name());
    typename TypeParam::Outbound record;
    memset(&record, 0, sizeof record);
    const pb_msgdesc_t* descriptor = nullptr;
    void* member = select_nanopb_member(TypeParam::kOutboundFields, &record, tag, &descriptor);
    ASSERT_NE(member, nullptr);
    ValueSeed seed;
    fill_nanopb(descriptor, member, seed);

    ASSERT_EQ(TypeParam::kSend(this->pty_.port, record), 0);
    sim::Deframer deframer;
    std::string payload;
    ASSERT_TRUE(this->pty_.peer_reads_frame(deframer, &payload)) << deframer.lastError();
    typename TypeParam::OutboundProto proto;
    ASSERT_TRUE(proto.ParseFromString(payload));
    EXPECT_EQ(compare_wrappers(TypeParam::kOutboundFields, &record, proto), "");
  }
}

// The comparison itself must see a difference, or the cases above would prove nothing.
TEST(CompareWrappers, NoticesADifferentValueCountOrMember) {
  kvt::kvt_MCU2ISP proto;
  ValueSeed protoSeed;
  fill_proto(*select_proto_member(proto, kvt_MCU2ISP_get_fuel_gauge_value_response_tag), protoSeed);
  kvt_MCU2ISP record;
  memset(&record, 0, sizeof record);
  const pb_msgdesc_t* descriptor = nullptr;
  ValueSeed recordSeed;
  fill_nanopb(descriptor,
              select_nanopb_member(kvt_MCU2ISP_fields, &record,
                                   kvt_MCU2ISP_get_fuel_gauge_value_response_tag, &descriptor),
              recordSeed);

  int leaves = 0;
  EXPECT_EQ(compare_wrappers(kvt_MCU2ISP_fields, &record, proto, &leaves), "");
  EXPECT_EQ(leaves, 2 + 2 * 4);
  auto& entries = record.msg.get_fuel_gauge_value_response;
  entries.fuelGaugeEntries[1].batteryPercent += 1;
  EXPECT_NE(compare_wrappers(kvt_MCU2ISP_fields, &record, proto), "");
  entries.fuelGaugeEntries[1].batteryPercent -= 1;
  entries.fuelGaugeEntries_count = 1;
  EXPECT_NE(compare_wrappers(kvt_MCU2ISP_fields, &record, proto), "");
  record.which_msg = kvt_MCU2ISP_get_camera_state_response_tag;
  EXPECT_NE(compare_wrappers(kvt_MCU2ISP_fields, &record, proto), "");
}

}  // namespace
}  // namespace links_test
