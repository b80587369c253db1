// Field-by-field access to one message in both of its forms: the camera's nanopb record and the
// peers' libprotobuf message. The nanopb side is walked with nanopb's own field iterator and the
// libprotobuf side with reflection, so a comparison matches the two by tag number alone and
// relies on neither side's generated names.
#pragma once

#include <pb.h>

#include <cstdint>
#include <string>

#include <google/protobuf/message.h>

namespace links_test {

// Source of distinct field values: every value filled in is new, so a field that lands in the
// wrong place shows up. Unsigned values need five-byte varints; signed ones are negative, which
// nanopb and libprotobuf both encode as ten-byte varints.
class ValueSeed {
 public:
  uint32_t next_unsigned() { return 0x90000000u + 7 * ++count_; }
  int32_t next_signed() { return -static_cast<int32_t>(1000 + ++count_); }
  std::string next_text() { return "v" + std::to_string(++count_); }

 private:
  uint32_t count_ = 0;
};

// Sets every field of `message` (recursively; `repeatedCount` elements per repeated field,
// every optional field present).
void fill_proto(google::protobuf::Message& message, ValueSeed& seed, int repeatedCount = 2);
void fill_nanopb(const pb_msgdesc_t* descriptor, void* message, ValueSeed& seed,
                 int repeatedCount = 2);

// Selects member `tag` of a wrapper and returns it (libprotobuf: the mutable member message;
// nanopb: which_msg is set and the member's record and descriptor returned). Null when the
// wrapper has no such member.
google::protobuf::Message* select_proto_member(google::protobuf::Message& wrapper, uint32_t tag);
void* select_nanopb_member(const pb_msgdesc_t* wrapperDescriptor, void* wrapper, uint32_t tag,
                           const pb_msgdesc_t** ret_descriptor);

// Compares two wrappers: the same member is set and every field of it holds the same value
// (presence of optional fields, counts and elements of repeated ones included). Returns an
// empty string when equal, else a description of the first difference. `ret_leaves`, when given,
// counts the scalar values compared.
std::string compare_wrappers(const pb_msgdesc_t* wrapperDescriptor, const void* nanopbWrapper,
                             const google::protobuf::Message& protoWrapper,
                             int* ret_leaves = nullptr);

// The oneof member tags of a libprotobuf wrapper, in schema order.
std::vector<uint32_t> member_tags(const google::protobuf::Descriptor& wrapper);

}  // namespace links_test
