#include "tests/unit/links/sample_messages.h"

#include <algorithm>

#include <google/protobuf/descriptor.h>

#include "tests/unit/links/message_walk.h"

namespace links_test {
namespace {

using google::protobuf::FieldDescriptor;
using google::protobuf::Message;

struct UnsignedField {
  Message* message;
  const FieldDescriptor* field;
};

// Every singular uint32 field of `message` and its sub-messages.
void collect_unsigned(Message& message, std::vector<UnsignedField>& fields) {
  const auto& descriptor = *message.GetDescriptor();
  const auto& reflection = *message.GetReflection();
  for (int i = 0; i < descriptor.field_count(); ++i) {
    const FieldDescriptor* field = descriptor.field(i);
    if (field->is_repeated()) {
      continue;
    }
    if (field->cpp_type() == FieldDescriptor::CPPTYPE_UINT32) {
      fields.push_back({&message, field});
    } else if (field->cpp_type() == FieldDescriptor::CPPTYPE_MESSAGE) {
      collect_unsigned(*reflection.MutableMessage(&message, field), fields);
    }
  }
}

}  // namespace

kvt::kvt_Modem2ISP configuration_of_size(std::size_t size) {
  kvt::kvt_Modem2ISP wrapper;
  kvt::CameraConfigurationResponse* config = wrapper.mutable_get_camera_configuration_response();
  ValueSeed seed;
  fill_proto(*config, seed, 0);
  config->add_powersources(0);
  config->add_powersources(1);

  std::vector<UnsignedField> shrinkable;
  for (int i = 0; i < 28; ++i) {
    for (auto* entry : {config->add_detectionschedule(), config->add_instantschedule()}) {
      fill_proto(*entry, seed);
      collect_unsigned(*entry, shrinkable);
    }
  }
  for (int i = 0; i < 10; ++i) {
    fill_proto(*config->add_batteryprotections(), seed);
  }
  // Every value filled in takes five varint bytes; each shrink takes off at most what is still too
  // much, so the size lands exactly.
  for (const UnsignedField& entry : shrinkable) {
    const std::size_t now = wrapper.ByteSizeLong();
    if (now <= size) {
      break;
    }
    // A value of n varint bytes: 1 << 7 (n - 1); the field now takes 5 bytes.
    const std::size_t bytes = 5 - std::min<std::size_t>(4, now - size);
    const uint32_t value = 1u << (7 * (bytes - 1));
    entry.message->GetReflection()->SetUInt32(entry.message, entry.field, value);
  }
  return wrapper;
}

}  // namespace links_test
