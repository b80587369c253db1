#include "sim/mcu/mcu_part.h"

#include <array>

#include "sim/board/board.h"

namespace sim::mcu {

namespace {

constexpr std::array<std::string_view, 4> kLedColours = {"off", "red", "green", "blue"};
constexpr std::array<std::string_view, 3> kNotificationNames = {"PIR", "time-lapse", "test-button"};

}  // namespace

std::unique_ptr<board::BoardPart> make_mcu_part() {
  return std::make_unique<McuPart>();
}

McuPart::~McuPart() {
  if (peer_) {
    peer_->stop();
  }
  if (board_ != nullptr) {
    board_->set_mcu(nullptr);
  }
}

int McuPart::attach(board::Board& board, std::string* ret_error) {
  board_ = &board;
  const sim::PtyPair* line = board.claim_serial_line("ttyS1");
  if (line == nullptr) {
    *ret_error = "ttyS1 belongs to another part";
    return -1;
  }
  const board::BoardSetup& setup = board.setup();
  sim::McuSetup mcu = setup.mcu;
  if (setup.mcuRtcFromDate) {
    mcu.rtcEpoch = static_cast<int32_t>(setup.startEpochMs / 1000);
  }
  peer_ = std::make_unique<sim::McuPeer>(
      line->master, mcu, [this](const sim::McuRecord& record) { on_record(record); },
      board.time().clock());
  peer_->set_on_ready_to_sleep([&board] { board.cut_power("the MCU answered ready-to-sleep"); });
  peer_->add_on_modem_power([this](bool on) {
    board_->part_event("mcu", std::string("Modem power ") + (on ? "on" : "off"),
                       {{"what", std::string("modem-power")}, {"on", on}});
  });
  peer_->record_line_to(board.run_dir() + "/ttyS1.jsonl");
  if (peer_->start() != 0) {
    *ret_error = "the MCU peer does not start";
    return -1;
  }
  board.set_mcu(peer_.get());
  return 0;
}

void McuPart::update_setup(const std::function<void(sim::McuSetup&)>& change) {
  const bool rtcValid = peer_->rtc_valid();
  const int32_t rtcEpoch = peer_->rtc_epoch();
  sim::McuSetup setup = peer_->setup();
  change(setup);
  peer_->set_setup(setup);
  peer_->set_rtc(rtcValid, rtcEpoch);
}

void McuPart::add_fuel_gauge_entry(const sim::McuFuelGaugeEntry& entry) {
  const bool first = !fuelGaugeEntriesGiven_;
  fuelGaugeEntriesGiven_ = true;
  update_setup([&](sim::McuSetup& setup) {
    if (first) {
      setup.fuelGaugeEntries.clear();
    }
    setup.fuelGaugeEntries.push_back(entry);
  });
}

void McuPart::on_record(const sim::McuRecord& record) {
  const bool toMcu = record.direction == sim::PeerDirection::kCameraToPeer;
  // A message the MCU kept back never was on the line: say so, not as if it had been sent.
  std::string text = toMcu         ? "camera -> MCU  "
                     : record.sent ? "MCU -> camera  "
                                   : "MCU kept back  ";
  text += record.member.empty() ? "?" : record.member;
  if (!record.detail.empty()) {
    text += "  " + record.detail;
  }
  if (record.retry) {
    text += "  (retry)";
  }
  board_->note(board::EventKind::kSerial, text,
               {{"line", std::string("ttyS1")},
                {"direction", std::string(toMcu ? "camera->mcu" : "mcu->camera")},
                {"member", record.member},
                {"detail", record.detail},
                {"retry", record.retry},
                {"sent", record.sent}});
  if (toMcu && record.member == "set_status_led_request") {
    const sim::McuStatusLed led = peer_->status_led();
    const std::string colour =
        led.colour < kLedColours.size() ? std::string(kLedColours[led.colour]) : "?";
    board_->part_event("mcu", "status LED " + colour + (led.blinking ? " blinking" : ""),
                       {{"what", std::string("status-led")},
                        {"colour", colour},
                        {"blinking", led.blinking},
                        {"blink_period_ms", int64_t{led.blinkPeriodMs}}});
  }
}

void McuPart::powered_off(const board::WakeContext& wake) {
  (void)wake;
  // The MCU's notifications of this wake-up, and whether the camera acknowledged them.
  for (const sim::McuNotificationRecord& sent : peer_->notifications()) {
    if (sent.sentAt < board_->woke_at()) {
      continue;
    }
    const std::string name(kNotificationNames[static_cast<std::size_t>(sent.kind)]);
    const std::string text =
        sent.acknowledged ? " acknowledged after " +
                                std::to_string((sent.acknowledgedAt - sent.sentAt).count()) + " ms"
                          : " never acknowledged";
    board_->part_event("mcu", name + " notification #" + std::to_string(sent.id) + text,
                       {{"what", std::string("notification")},
                        {"notification", name},
                        {"id", int64_t{sent.id}},
                        {"acknowledged", sent.acknowledged}});
  }
}

}  // namespace sim::mcu
