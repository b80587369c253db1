// Messages the link tests build on the peers' side (libprotobuf), framed with the peers' framer.
#pragma once

#include <cstddef>
#include <cstdint>
#include <string>
#include <vector>

#include "sim/peers/peer_framer.h"
#include "sim/peers/proto/modem_messages.pb.h"

namespace links_test {

using Bytes = std::vector<uint8_t>;

inline Bytes to_bytes(const std::string& text) {
  return Bytes(text.begin(), text.end());
}

// The encoding of a kvt_MCU2ISP get_camera_state_response carrying `state`.
inline std::string camera_state_payload(uint32_t state) {
  kvt::kvt_MCU2ISP message;
  message.mutable_get_camera_state_response()->set_state(state);
  return message.SerializeAsString();
}

// A kvt_Modem2ISP server configuration whose encoding is exactly `size` bytes (up to its
// largest, about 2.5 kB): both schedules full (28 entries) and ten battery protections, with
// values shrunk until the size is reached.
kvt::kvt_Modem2ISP configuration_of_size(std::size_t size);

}  // namespace links_test
