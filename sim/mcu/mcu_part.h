// The supervisor MCU as a board part: the MCU peer on ttyS1, its set-up, faults and
// notifications from the scenario, and its lines in the record (serial messages by member;
// kind "mcu" for the status LED, the Modem's power and the notifications of each wake-up).
// Directives (see kMcuDirectives for the forms):
//   mcu rtc|install-date|version|camera-state|adc|fuel-gauge|fuel-gauge-entry|day|night|...
//   fault mcu KIND [MEMBER] [count N] [delay TIME] [bytes N]
//   at TIME pir | timelapse | test-button | clear-faults | rtc valid|invalid
#pragma once

#include <memory>

#include "sim/board/board_part.h"
#include "sim/mcu/mcu_peer.h"

namespace sim::mcu {

class McuPart final : public board::BoardPart {
 public:
  ~McuPart() override;
  std::string_view name() const override { return "mcu"; }
  int attach(board::Board& board, std::string* ret_error) override;
  void powered_off(const board::WakeContext& wake) override;

  sim::McuPeer& peer() { return *peer_; }
  // Changes the MCU's set-up; its clock keeps running as it was.
  void update_setup(const std::function<void(sim::McuSetup&)>& change);
  // The first fuel gauge entry of a scenario replaces the default one.
  void add_fuel_gauge_entry(const sim::McuFuelGaugeEntry& entry);

 private:
  void on_record(const sim::McuRecord& record);

  board::Board* board_ = nullptr;
  std::unique_ptr<sim::McuPeer> peer_;
  bool fuelGaugeEntriesGiven_ = false;
};

std::unique_ptr<board::BoardPart> make_mcu_part();
extern const std::span<const board::DirectiveSyntax> kMcuDirectives;

}  // namespace sim::mcu
