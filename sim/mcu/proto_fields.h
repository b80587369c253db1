// Field access by tag number on libprotobuf messages. The MCU peer reads and writes the MCU
// messages by the tags of the message set alone, so it does not depend on how the schema
// names the fields that the set leaves unnamed.
#pragma once

#include <cstdint>
#include <string>

#include <google/protobuf/message.h>

namespace sim {

// The member set in a wrapper's single oneof; nullptr (and tag 0) when none is set.
const google::protobuf::Message* oneof_member(const google::protobuf::Message& wrapper,
                                              uint32_t* ret_tag);
// Sets the wrapper's member `tag` (empty) and returns it; nullptr when the wrapper has none.
google::protobuf::Message* set_oneof_member(google::protobuf::Message& wrapper, uint32_t tag);
// The schema's name of member `tag`, or "member <tag>" when the schema has none.
std::string member_name(const google::protobuf::Descriptor& wrapper, uint32_t tag);

// Scalar fields (bool, int32, uint32, int64, uint64, enum). Each returns 0, or -1 when the
// message has no such scalar field.
int set_number(google::protobuf::Message& message, uint32_t tag, int64_t value);
int set_text(google::protobuf::Message& message, uint32_t tag, const std::string& value);
// Value of a singular scalar field (its default when absent); 0 when there is no such field.
int64_t get_number(const google::protobuf::Message& message, uint32_t tag);
bool has_field(const google::protobuf::Message& message, uint32_t tag);

// Sub-messages: the singular field `tag` (created), or a new element of repeated field `tag`.
google::protobuf::Message* mutable_sub(google::protobuf::Message& message, uint32_t tag);
google::protobuf::Message* add_sub(google::protobuf::Message& message, uint32_t tag);

}  // namespace sim
