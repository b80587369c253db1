#include "tests/unit/links/message_walk.h"

#include <pb_common.h>

#include <cstring>
#include <vector>

#include <google/protobuf/descriptor.h>

namespace links_test {
namespace {

using google::protobuf::Descriptor;
using google::protobuf::FieldDescriptor;
using google::protobuf::Message;
using google::protobuf::Reflection;

void fill_proto_field(Message& message, const FieldDescriptor& field, ValueSeed& seed,
                      int repeatedCount) {
  const Reflection& reflection = *message.GetReflection();
  const int count = field.is_repeated() ? repeatedCount : 1;
  for (int i = 0; i < count; ++i) {
    switch (field.cpp_type()) {
      case FieldDescriptor::CPPTYPE_UINT32:
        field.is_repeated() ? reflection.AddUInt32(&message, &field, seed.next_unsigned())
                            : reflection.SetUInt32(&message, &field, seed.next_unsigned());
        break;
      case FieldDescriptor::CPPTYPE_INT32:
        field.is_repeated() ? reflection.AddInt32(&message, &field, seed.next_signed())
                            : reflection.SetInt32(&message, &field, seed.next_signed());
        break;
      case FieldDescriptor::CPPTYPE_BOOL:
        field.is_repeated() ? reflection.AddBool(&message, &field, true)
                            : reflection.SetBool(&message, &field, true);
        break;
      case FieldDescriptor::CPPTYPE_STRING:
        field.is_repeated() ? reflection.AddString(&message, &field, seed.next_text())
                            : reflection.SetString(&message, &field, seed.next_text());
        break;
      case FieldDescriptor::CPPTYPE_MESSAGE:
        fill_proto(field.is_repeated() ? *reflection.AddMessage(&message, &field)
                                       : *reflection.MutableMessage(&message, &field),
                   seed, repeatedCount);
        break;
      default:
        // The message sets use no other types; a new one fails the comparison loudly.
        break;
    }
  }
}

// Element `index` of the field the iterator stands on.
const void* element(const pb_field_iter_t& iter, std::size_t index) {
  return static_cast<const char*>(iter.pData) + index * iter.data_size;
}

void fill_nanopb_value(const pb_field_iter_t& iter, void* data, ValueSeed& seed,
                       int repeatedCount) {
  switch (PB_LTYPE(iter.type)) {
    case PB_LTYPE_BOOL:
      *static_cast<bool*>(data) = true;
      break;
    case PB_LTYPE_VARINT:
      *static_cast<int32_t*>(data) = seed.next_signed();
      break;
    case PB_LTYPE_UVARINT:
      *static_cast<uint32_t*>(data) = seed.next_unsigned();
      break;
    case PB_LTYPE_STRING: {
      const std::string text = seed.next_text();
      strncpy(static_cast<char*>(data), text.c_str(), iter.data_size - 1);
      break;
    }
    case PB_LTYPE_SUBMESSAGE:
    case PB_LTYPE_SUBMSG_W_CB:
      fill_nanopb(iter.submsg_desc, data, seed, repeatedCount);
      break;
    default:
      break;
  }
}

std::string describe(const pb_field_iter_t& iter, const char* what) {
  return "field " + std::to_string(iter.tag) + ": " + what;
}

std::string compare_message(const pb_msgdesc_t* descriptor, const void* record,
                            const Message& proto, int* leaves);

// One value of a field: nanopb's element against libprotobuf's (index -1: singular).
std::string compare_value(const pb_field_iter_t& iter, const void* data, const Message& proto,
                          const FieldDescriptor& field, int index, int* leaves) {
  const Reflection& r = *proto.GetReflection();
  const bool repeated = index >= 0;
  auto leaf = [&](bool equal, const char* what) {
    ++*leaves;
    return equal ? std::string() : describe(iter, what);
  };
  switch (PB_LTYPE(iter.type)) {
    case PB_LTYPE_BOOL:
      return leaf(
          *static_cast<const bool*>(data) ==
              (repeated ? r.GetRepeatedBool(proto, &field, index) : r.GetBool(proto, &field)),
          "bool differs");
    case PB_LTYPE_VARINT:
      return leaf(
          *static_cast<const int32_t*>(data) ==
              (repeated ? r.GetRepeatedInt32(proto, &field, index) : r.GetInt32(proto, &field)),
          "int32 differs");
    case PB_LTYPE_UVARINT:
      return leaf(
          *static_cast<const uint32_t*>(data) ==
              (repeated ? r.GetRepeatedUInt32(proto, &field, index) : r.GetUInt32(proto, &field)),
          "uint32 differs");
    case PB_LTYPE_STRING:
      return leaf((repeated ? r.GetRepeatedString(proto, &field, index)
                            : r.GetString(proto, &field)) == static_cast<const char*>(data),
                  "string differs");
    case PB_LTYPE_SUBMESSAGE:
    case PB_LTYPE_SUBMSG_W_CB: {
      const Message& sub =
          repeated ? r.GetRepeatedMessage(proto, &field, index) : r.GetMessage(proto, &field);
      std::string difference = compare_message(iter.submsg_desc, data, sub, leaves);
      return difference.empty() ? "" : describe(iter, "in sub-message, ") + difference;
    }
    default:
      return describe(iter, "type the message sets do not use");
  }
}

std::string compare_message(const pb_msgdesc_t* descriptor, const void* record,
                            const Message& proto, int* leaves) {
  const Descriptor& protoDescriptor = *proto.GetDescriptor();
  const Reflection& reflection = *proto.GetReflection();
  pb_field_iter_t iter;
  int fields = 0;
  if (pb_field_iter_begin_const(&iter, descriptor, record)) {
    do {
      ++fields;
      const FieldDescriptor* field = protoDescriptor.FindFieldByNumber(iter.tag);
      if (field == nullptr) {
        return describe(iter, "missing in the libprotobuf schema");
      }
      switch (PB_HTYPE(iter.type)) {
        case PB_HTYPE_REQUIRED:
          if (!reflection.HasField(proto, field)) {
            return describe(iter, "required but absent in libprotobuf");
          }
          break;
        case PB_HTYPE_OPTIONAL: {
          const bool has = *static_cast<const bool*>(iter.pSize);
          if (has != reflection.HasField(proto, field)) {
            return describe(iter, "presence differs");
          }
          if (!has) {
            continue;
          }
          break;
        }
        case PB_HTYPE_REPEATED: {
          // A fixed-count array has no count field: it always carries all of its elements.
          const std::size_t count =
              iter.pSize != nullptr ? *static_cast<const pb_size_t*>(iter.pSize) : iter.array_size;
          if (static_cast<int>(count) != reflection.FieldSize(proto, field)) {
            return describe(iter, "count differs");
          }
          for (std::size_t i = 0; i < count; ++i) {
            std::string difference =
                compare_value(iter, element(iter, i), proto, *field, static_cast<int>(i), leaves);
            if (!difference.empty()) {
              return difference;
            }
          }
          continue;
        }
        default:
          return describe(iter, "unexpected oneof below a wrapper");
      }
      std::string difference = compare_value(iter, iter.pData, proto, *field, -1, leaves);
      if (!difference.empty()) {
        return difference;
      }
    } while (pb_field_iter_next(&iter));
  }
  if (fields != protoDescriptor.field_count()) {
    return "field count differs: nanopb " + std::to_string(fields) + ", libprotobuf " +
           std::to_string(protoDescriptor.field_count());
  }
  return "";
}

}  // namespace

void fill_proto(Message& message, ValueSeed& seed, int repeatedCount) {
  const Descriptor& descriptor = *message.GetDescriptor();
  for (int i = 0; i < descriptor.field_count(); ++i) {
    fill_proto_field(message, *descriptor.field(i), seed, repeatedCount);
  }
}

void fill_nanopb(const pb_msgdesc_t* descriptor, void* message, ValueSeed& seed,
                 int repeatedCount) {
  pb_field_iter_t iter;
  if (!pb_field_iter_begin(&iter, descriptor, message)) {
    return;
  }
  do {
    switch (PB_HTYPE(iter.type)) {
      case PB_HTYPE_OPTIONAL:
        *static_cast<bool*>(iter.pSize) = true;
        fill_nanopb_value(iter, iter.pData, seed, repeatedCount);
        break;
      case PB_HTYPE_REPEATED: {
        std::size_t count = iter.array_size;
        if (iter.pSize != nullptr) {
          count = std::min<std::size_t>(repeatedCount, iter.array_size);
          *static_cast<pb_size_t*>(iter.pSize) = static_cast<pb_size_t>(count);
        }
        for (std::size_t i = 0; i < count; ++i) {
          fill_nanopb_value(iter, const_cast<void*>(element(iter, i)), seed, repeatedCount);
        }
        break;
      }
      default:
        fill_nanopb_value(iter, iter.pData, seed, repeatedCount);
        break;
    }
  } while (pb_field_iter_next(&iter));
}

Message* select_proto_member(Message& wrapper, uint32_t tag) {
  const FieldDescriptor* field = wrapper.GetDescriptor()->FindFieldByNumber(tag);
  if (field == nullptr || field->containing_oneof() == nullptr) {
    return nullptr;
  }
  return wrapper.GetReflection()->MutableMessage(&wrapper, field);
}

void* select_nanopb_member(const pb_msgdesc_t* wrapperDescriptor, void* wrapper, uint32_t tag,
                           const pb_msgdesc_t** ret_descriptor) {
  pb_field_iter_t iter;
  if (!pb_field_iter_begin(&iter, wrapperDescriptor, wrapper) || !pb_field_iter_find(&iter, tag)) {
    return nullptr;
  }
  *static_cast<pb_size_t*>(iter.pSize) = iter.tag;
  *ret_descriptor = iter.submsg_desc;
  return iter.pData;
}

std::string compare_wrappers(const pb_msgdesc_t* wrapperDescriptor, const void* nanopbWrapper,
                             const Message& protoWrapper, int* ret_leaves) {
  int leaves = 0;
  pb_field_iter_t iter;
  if (!pb_field_iter_begin_const(&iter, wrapperDescriptor, nanopbWrapper)) {
    return "wrapper without members";
  }
  const pb_size_t which = *static_cast<const pb_size_t*>(iter.pSize);
  const Descriptor& descriptor = *protoWrapper.GetDescriptor();
  const FieldDescriptor* set = descriptor.oneof_decl(0) == nullptr
                                   ? nullptr
                                   : protoWrapper.GetReflection()->GetOneofFieldDescriptor(
                                         protoWrapper, descriptor.oneof_decl(0));
  const uint32_t protoTag = set == nullptr ? 0 : static_cast<uint32_t>(set->number());
  if (which != protoTag) {
    return "member differs: nanopb " + std::to_string(which) + ", libprotobuf " +
           std::to_string(protoTag);
  }
  std::string difference;
  if (which != 0) {
    if (!pb_field_iter_find(&iter, which)) {
      return "nanopb wrapper has no member " + std::to_string(which);
    }
    difference =
        compare_message(iter.submsg_desc, iter.pData,
                        protoWrapper.GetReflection()->GetMessage(protoWrapper, set), &leaves);
  }
  if (ret_leaves != nullptr) {
    *ret_leaves = leaves;
  }
  return difference;
}

std::vector<uint32_t> member_tags(const Descriptor& wrapper) {
  std::vector<uint32_t> tags;
  for (int i = 0; i < wrapper.field_count(); ++i) {
    tags.push_back(static_cast<uint32_t>(wrapper.field(i)->number()));
  }
  return tags;
}

}  // namespace links_test
