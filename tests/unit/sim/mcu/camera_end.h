// The camera's end of the MCU line in tests: a pseudo-terminal pair with the MCU peer on the
// master, and frames built and read with the peers' framer and libprotobuf on the slave.
#pragma once

#include <atomic>
#include <chrono>
#include <cstdint>
#include <functional>
#include <map>
#include <memory>
#include <mutex>
#include <string>
#include <vector>

#include "sim/mcu/mcu_peer.h"
#include "sim/peers/peer_framer.h"
#include "sim/peers/proto/mcu_messages.pb.h"

namespace sim_test {

// Generous bound for anything that must happen; never used to measure speed.
inline constexpr std::chrono::seconds kPatience{20};

// A board clock the test moves by hand; it rings the peer's alarms as it passes them.
class ManualClock {
 public:
  sim::PeerClock clock();
  void advance(std::chrono::milliseconds step);

 private:
  std::atomic<int64_t> now_{0};
  std::mutex mutex_;
  uint64_t lastId_ = 0;
  std::map<uint64_t, std::pair<int64_t, std::function<void()>>> alarms_;
};

class CameraEnd {
 public:
  // Opens the pair and starts a peer with `setup` on its master, on a hand-moved clock.
  explicit CameraEnd(sim::McuSetup setup = {});
  ~CameraEnd();

  sim::McuPeer& peer() { return *peer_; }
  ManualClock& clock() { return clock_; }

  // The camera's end of the line closed and opened again, as a power cycle of the camera does.
  void close_line();
  int open_line();  // 0 or -1

  // Writes one framed kvt_ISP2MCU, or raw bytes, as the camera would.
  void send(const kvt::kvt_ISP2MCU& message);
  void send_bytes(const std::vector<uint8_t>& bytes);

  // Waits for the next good frame from the peer and decodes it; false when none comes in time
  // or it does not decode. Bytes read on the way are kept in raw().
  bool receive(kvt::kvt_MCU2ISP* ret_message);
  // The member of the next good frame from the peer; empty when none comes or it does not decode.
  std::string receive_member();
  const sim::Deframer& deframer() const { return deframer_; }
  const std::vector<uint8_t>& raw() const { return raw_; }

 private:
  int master_ = -1;
  int slave_ = -1;
  ManualClock clock_;
  std::unique_ptr<sim::McuPeer> peer_;
  sim::Deframer deframer_;
  std::vector<uint8_t> raw_;
};

// A kvt_ISP2MCU with member `member` set to an empty message (no required fields filled).
kvt::kvt_ISP2MCU empty_member(const std::string& member);
inline kvt::kvt_ISP2MCU device_info_request() {
  return empty_member("get_device_info_request");
}
inline kvt::kvt_ISP2MCU camera_state_request() {
  return empty_member("get_camera_state_request");
}

}  // namespace sim_test
