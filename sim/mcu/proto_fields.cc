#include "sim/mcu/proto_fields.h"

#include <string>

#include <google/protobuf/descriptor.h>

namespace sim {

using google::protobuf::Descriptor;
using google::protobuf::FieldDescriptor;
using google::protobuf::Message;
using google::protobuf::Reflection;

namespace {

const FieldDescriptor* scalar_field(const Message& message, uint32_t tag) {
  const FieldDescriptor* field = message.GetDescriptor()->FindFieldByNumber(static_cast<int>(tag));
  if (field == nullptr || field->is_repeated() ||
      field->cpp_type() == FieldDescriptor::CPPTYPE_MESSAGE ||
      field->cpp_type() == FieldDescriptor::CPPTYPE_STRING) {
    return nullptr;
  }
  return field;
}

const FieldDescriptor* message_field(const Message& message, uint32_t tag) {
  const FieldDescriptor* field = message.GetDescriptor()->FindFieldByNumber(static_cast<int>(tag));
  if (field == nullptr || field->cpp_type() != FieldDescriptor::CPPTYPE_MESSAGE) {
    return nullptr;
  }
  return field;
}

}  // namespace

const Message* oneof_member(const Message& wrapper, uint32_t* ret_tag) {
  const Descriptor* descriptor = wrapper.GetDescriptor();
  const Reflection* reflection = wrapper.GetReflection();
  for (int i = 0; i < descriptor->oneof_decl_count(); ++i) {
    const FieldDescriptor* field =
        reflection->GetOneofFieldDescriptor(wrapper, descriptor->oneof_decl(i));
    if (field != nullptr && field->cpp_type() == FieldDescriptor::CPPTYPE_MESSAGE) {
      *ret_tag = static_cast<uint32_t>(field->number());
      return &reflection->GetMessage(wrapper, field);
    }
  }
  *ret_tag = 0;
  return nullptr;
}

Message* set_oneof_member(Message& wrapper, uint32_t tag) {
  const FieldDescriptor* field = message_field(wrapper, tag);
  if (field == nullptr || field->containing_oneof() == nullptr) {
    return nullptr;
  }
  return wrapper.GetReflection()->MutableMessage(&wrapper, field);
}

std::string member_name(const Descriptor& wrapper, uint32_t tag) {
  const FieldDescriptor* field = wrapper.FindFieldByNumber(static_cast<int>(tag));
  if (field == nullptr) {
    return "member " + std::to_string(tag);
  }
  return field->name();
}

int set_number(Message& message, uint32_t tag, int64_t value) {
  const FieldDescriptor* field = scalar_field(message, tag);
  if (field == nullptr) {
    return -1;
  }
  const Reflection* reflection = message.GetReflection();
  switch (field->cpp_type()) {
    case FieldDescriptor::CPPTYPE_BOOL:
      reflection->SetBool(&message, field, value != 0);
      return 0;
    case FieldDescriptor::CPPTYPE_INT32:
      reflection->SetInt32(&message, field, static_cast<int32_t>(value));
      return 0;
    case FieldDescriptor::CPPTYPE_UINT32:
      reflection->SetUInt32(&message, field, static_cast<uint32_t>(value));
      return 0;
    case FieldDescriptor::CPPTYPE_INT64:
      reflection->SetInt64(&message, field, value);
      return 0;
    case FieldDescriptor::CPPTYPE_UINT64:
      reflection->SetUInt64(&message, field, static_cast<uint64_t>(value));
      return 0;
    case FieldDescriptor::CPPTYPE_ENUM:
      reflection->SetEnumValue(&message, field, static_cast<int>(value));
      return 0;
    default:
      return -1;
  }
}

int set_text(Message& message, uint32_t tag, const std::string& value) {
  const FieldDescriptor* field = message.GetDescriptor()->FindFieldByNumber(static_cast<int>(tag));
  if (field == nullptr || field->is_repeated() ||
      field->cpp_type() != FieldDescriptor::CPPTYPE_STRING) {
    return -1;
  }
  message.GetReflection()->SetString(&message, field, value);
  return 0;
}

int64_t get_number(const Message& message, uint32_t tag) {
  const FieldDescriptor* field = scalar_field(message, tag);
  if (field == nullptr) {
    return 0;
  }
  const Reflection* reflection = message.GetReflection();
  switch (field->cpp_type()) {
    case FieldDescriptor::CPPTYPE_BOOL:
      return reflection->GetBool(message, field) ? 1 : 0;
    case FieldDescriptor::CPPTYPE_INT32:
      return reflection->GetInt32(message, field);
    case FieldDescriptor::CPPTYPE_UINT32:
      return reflection->GetUInt32(message, field);
    case FieldDescriptor::CPPTYPE_INT64:
      return reflection->GetInt64(message, field);
    case FieldDescriptor::CPPTYPE_UINT64:
      return static_cast<int64_t>(reflection->GetUInt64(message, field));
    case FieldDescriptor::CPPTYPE_ENUM:
      return reflection->GetEnumValue(message, field);
    default:
      return 0;
  }
}

bool has_field(const Message& message, uint32_t tag) {
  const FieldDescriptor* field = message.GetDescriptor()->FindFieldByNumber(static_cast<int>(tag));
  if (field == nullptr) {
    return false;
  }
  const Reflection* reflection = message.GetReflection();
  if (field->is_repeated()) {
    return reflection->FieldSize(message, field) > 0;
  }
  return reflection->HasField(message, field);
}

Message* mutable_sub(Message& message, uint32_t tag) {
  const FieldDescriptor* field = message_field(message, tag);
  if (field == nullptr || field->is_repeated()) {
    return nullptr;
  }
  return message.GetReflection()->MutableMessage(&message, field);
}

Message* add_sub(Message& message, uint32_t tag) {
  const FieldDescriptor* field = message_field(message, tag);
  if (field == nullptr || !field->is_repeated()) {
    return nullptr;
  }
  return message.GetReflection()->AddMessage(&message, field);
}

}  // namespace sim
