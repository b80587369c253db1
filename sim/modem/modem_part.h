// The Modem as a part of the board: the Modem peer on ttyS0, powered while the MCU has the
// Modem switched on and the camera processor runs, its server set up by the scenario, its
// uploads read from the partition the USB gadget lends into <run>/server/inbox/.
#pragma once

#include <array>
#include <atomic>
#include <condition_variable>
#include <functional>
#include <memory>
#include <mutex>
#include <string>
#include <thread>

#include "sim/board/board_part.h"
#include "sim/modem/modem_peer.h"
#include "sim/peers/line_record.h"

namespace sim::modem {

class ModemPart : public board::BoardPart {
 public:
  ~ModemPart() override;
  std::string_view name() const override { return "modem"; }
  int attach(board::Board& board, std::string* ret_error) override;
  int power_up(const board::WakeContext& wake, std::string* ret_error) override;
  void power_cut(const board::WakeContext& wake) override;
  void report(const std::string& runDir, FILE* out) override;

  // The server and network the scenario sets up; takes effect at the Modem's next power-on.
  // setup() is for set-up before the first wake-up; change_setup() at any time.
  ModemSetup& setup() { return setup_; }
  int change_setup(const std::function<int(ModemSetup&, std::string*)>& change,
                   std::string* ret_error);
  ModemPeer* peer() { return peer_.get(); }
  std::string inbox_dir() const;
  // Power cuts the Modem has seen (test-facing: the board tells the parts one after another).
  int power_cuts() const { return powerCuts_; }

 private:
  void watch_power();
  void upload(GrantedCard granted, ModemUpload* ret_upload);
  void on_line(const LineMessage& message);

  board::Board* board_ = nullptr;
  std::mutex setupMutex_;
  ModemSetup setup_;
  std::unique_ptr<ModemPeer> peer_;
  LineRecording recording_;
  // What the power watcher follows; it is woken when either changes.
  std::mutex powerMutex_;
  std::condition_variable powerChanged_;
  bool cameraPowered_ = false;
  bool watching_ = false;
  void power_changed(const std::function<void()>& change);
  std::atomic<int> powerCuts_{0};
  std::thread watcher_;
};

std::unique_ptr<board::BoardPart> make_modem_part();
int parse_modem_directive(const std::vector<std::string>& args, board::BoardAction* ret_action,
                          std::string* ret_error);
int parse_server_directive(const std::vector<std::string>& args, board::BoardAction* ret_action,
                           std::string* ret_error);

inline constexpr std::array<board::DirectiveSyntax, 2> kModemDirectives = {{
    {"modem",
     "modem model N | modem clock EPOCH|invalid|none | modem searching N|forever [every TIME] | "
     "modem signal N | modem sync ok|error|status N | modem upload fails | modem reboot "
     "mid-sync|REASON | modem format VALUE VALIDATION FORMAT | modem no-card | modem query TYPE | "
     "modem fault KIND [MEMBER] [count N] [delay TIME] [bytes N]",
     "the cellular Modem: its model, the clock it sets, how long it searches for a signal, the "
     "signal strength, how the sync ends, SD format requests, reboots and faults",
     true, true, parse_modem_directive},
    {"server", "server password TEXT | server no-password | server config FIELD VALUE",
     "the server behind the Modem: the crypto password and any field of the configuration it "
     "sends (protobuf field names, out-of-range values allowed)",
     true, false, parse_server_directive},
}};

}  // namespace sim::modem
