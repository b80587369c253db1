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
  for (const UnsignedField& entry : shrinkable) {
    entry.message->GetReflection()->SetUInt32(entry.message, entry.field, 0xFFFFFFFFu);
  }

  // Each shrink takes off at most what is still too much, so the size lands exactly.
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

kvt::CameraConfigurationResponse plain_configuration() {
  kvt::CameraConfigurationResponse config;
  config.set_capturemode(1);
  config.set_detectiondelay(10);
  config.set_timelapsedelay(60);
  config.set_multishot(1);
  config.set_pirsensitivity(20);
  config.set_videolength(15);
  config.mutable_synctime()->set_hour(3);
  config.mutable_synctime()->set_minute(30);
  config.set_syncfrequency(6);
  config.set_dateformat(0);
  config.set_timeformat(1);
  config.add_powersources(0);
  config.add_powersources(1);
  config.set_cellular(true);
  config.set_photoresolution(1);
  config.set_smallpicwidth(960);
  config.set_cap_on_nxt_sync(false);
  config.set_minfreespacesdcard(100);
  config.set_instantmodeactive(0);
  config.set_temperatureunit(1);
  kvt::WarningLedConfig* warning = config.mutable_warningledconfig();
  warning->set_active(true);
  warning->mutable_timing()->set_duration(1);
  warning->mutable_timing()->set_maxtimemultiplicator(5);
  warning->set_pattern(2);
  warning->set_closingmechanism(1);
  config.mutable_pausecameraconfig()->set_epoch(1700000000);
  config.mutable_pausecameraconfig()->set_duration(3600);
  config.set_irglowmode(0);
  config.set_wdledstatus(1);
  return config;
}

}  // namespace links_test
