// The cellular Modem's side of the Modem link, as the simulated board plays it, with the
// server behind it.
//
// The peer sits on the master side of the pseudo-terminal whose slave the camera opens as
// /dev/ttyS0. It decodes every kvt_ISP2Modem frame with the peers' libprotobuf schema and
// answers the camera's requests (device model, sync type, crypto password, configuration,
// next action). Once the camera has fetched the password it runs a sync as a modem does:
// optional reboot report and SD format request, the clock, a few questions, searching for a
// signal, in progress with a signal strength, the SD card asked for and uploaded, returned,
// and the final status. An UPLOAD next action starts another card round and status.
//
// Threading: start() runs a line thread (reads, answers) and a session thread (the sync
// script); every public member may be called from any thread.
#pragma once

#include <chrono>
#include <condition_variable>
#include <cstdint>
#include <functional>
#include <map>
#include <memory>
#include <mutex>
#include <optional>
#include <string>
#include <string_view>
#include <thread>
#include <vector>

#include "sim/peers/fault_book.h"
#include "sim/peers/line_record.h"
#include "sim/peers/peer_clock.h"
#include "sim/peers/proto/modem_messages.pb.h"

namespace sim {

// Board time in milliseconds since the scenario started.

// How the sync goes, as the server and the network make it.
struct ModemSyncScript {
  // SEARCHINGSIGNAL reports before a signal is found; -1: a signal is never found (one report,
  // then silence until the camera gives up).
  int searchingReports = 1;
  std::chrono::milliseconds searchInterval{2000};
  uint32_t signalStrength = 4;
  bool askCard = true;               // ask for the SD card and upload (not in a first boot)
  bool error = false;                // the final status is ERROR
  bool uploadFails = false;          // the upload breaks off: card returned, status ERROR
  bool rebootMidSync = false;        // after INPROGRESS the Modem reboots and starts over once
  uint32_t finalStatusOverride = 0;  // non-zero: this status number instead (out of range)
};

struct ModemFormatRequest {
  uint32_t value = 4;  // 0 check only, 1 bypass validation, 2 bypass formatting, 4 format
  bool validation = true;
  bool format = true;
};

struct ModemRebootReport {
  bool rebooted = true;
  uint32_t epoch = 1704067000;
  uint32_t reason = 7;
};

// A configuration with every required field set to an ordinary value.
kvt::CameraConfigurationResponse default_server_configuration();

struct ModemSetup {
  uint32_t deviceModel = 1;
  std::string password;  // empty: the server wants no encryption
  bool clockValid = true;
  int32_t clockEpoch = 1704067200;
  bool clockFromBoard = true;  // the board sets clockEpoch to its date at each power-on
  bool sendClock = true;
  bool askVersion = true;
  bool askStatus = true;
  bool askFuelGauge = true;
  std::optional<uint32_t> instantQuery;  // an instant query type sent after INPROGRESS
  std::optional<ModemFormatRequest> formatRequest;
  std::optional<ModemRebootReport> rebootReport;
  ModemSyncScript sync;
  // The server configuration (member 51). A scenario may leave required fields out.
  kvt::CameraConfigurationResponse configuration = default_server_configuration();
};

// What one upload found.
struct ModemUpload {
  std::chrono::milliseconds boardTime{0};
  std::vector<std::string> files;  // names copied into the inbox
  std::vector<std::string> notJpeg;
  std::string error;  // empty when the card could be read
};

// What the camera's grant says it lent: result 0, the primary of a card with two partitions;
// 3, the only partition of a card with one.
enum class GrantedCard { kPrimaryOfTwo, kOnlyPartition };

// The upload itself: mounts the lent disk as the grant describes it, reads it and fills the
// report. Set by the board.
using ModemUploader = std::function<void(GrantedCard granted, ModemUpload* ret_upload)>;

class ModemPeer {
 public:
  // `ptyMasterFd` is borrowed. Without a clock, board time is host time since construction.
  ModemPeer(int ptyMasterFd, ModemSetup setup, LineMessageCallback onRecord, PeerClock clock = {});
  ~ModemPeer();
  ModemPeer(const ModemPeer&) = delete;
  ModemPeer& operator=(const ModemPeer&) = delete;

  // Powered on / off: start() returns 0, or -1 when already running. stop() is idempotent;
  // a stopped Modem forgets its session (a new power-up starts a new sync).
  int start();
  void stop();
  bool running() const;

  void set_setup(const ModemSetup& setup);
  void set_uploader(ModemUploader uploader);
  void add_fault(const PeerFault& fault);
  void clear_faults();
  // True when `member` is a camera request the Modem answers or a message it sends itself.
  static bool fault_member_known(std::string_view member);

  // Test-facing: sends one kvt_Modem2ISP now (through the faults), or raw bytes.
  int send(const kvt::kvt_Modem2ISP& message);
  int send_raw(const std::vector<uint8_t>& bytes);

  std::vector<LineMessage> history() const;
  std::vector<ModemUpload> uploads() const;
  int received(std::string_view member) const;
  int sent(std::string_view member) const;
  // The last message of `member` the camera sent (empty when none).
  kvt::kvt_ISP2Modem last_received(std::string_view member) const;
  // Waits (host time, bounded) until `received(member)` reaches `count`.
  bool wait_received(std::string_view member, int count, std::chrono::milliseconds limit) const;
  // True once the camera confirmed a SHUTDOWN next action.
  bool shut_down() const;

 private:
  struct Due {
    std::chrono::milliseconds at;
    std::vector<uint8_t> bytes;
    LineMessage record;
  };

  void line_loop();
  void session();
  void on_frame(const std::string& payload);
  void answer_request(const kvt::kvt_ISP2Modem& request, const std::string& member);
  int queue(const kvt::kvt_Modem2ISP& message, std::string_view answered);
  void write_due();
  // Waits board time; false when the Modem was switched off meanwhile.
  bool pause(std::chrono::milliseconds span);
  // Waits at most `limit` of board time until the camera sent `member` `count` times; false
  // when it did not (or the Modem was switched off).
  bool await(std::string_view member, int count, std::chrono::milliseconds limit);
  // Sends `message` and waits for the camera's answer `answer`; false without one.
  bool exchange(const kvt::kvt_Modem2ISP& message, std::string_view answer,
                std::chrono::milliseconds limit);
  bool report_status(uint32_t status, uint32_t value);
  bool report_reboot(const ModemRebootReport& report);
  // Asks for the card, uploads and returns it. Returns true when the upload succeeded.
  bool card_round(const ModemSetup& setup);
  // The sync after the password, until the final status. False when switched off.
  bool sync_once(const ModemSetup& setup, bool firstRound);
  ModemSetup current_setup() const;
  bool powered() const;
  std::chrono::milliseconds now() const;
  void note(LineMessage record);

  int fd_;
  PeerClock clock_;
  LineMessageCallback onRecord_;

  mutable std::mutex mutex_;
  mutable std::condition_variable changed_;
  ModemSetup setup_;
  ModemUploader uploader_;
  FaultBook faults_;
  std::vector<Due> due_;
  std::vector<LineMessage> history_;
  std::vector<ModemUpload> uploads_;
  std::map<std::string, int, std::less<>> received_;
  std::map<std::string, int, std::less<>> sent_;
  std::map<std::string, kvt::kvt_ISP2Modem, std::less<>> lastReceived_;
  uint32_t syncType_ = 0;
  int uploadRequests_ = 0;  // UPLOAD next actions received
  bool shutDown_ = false;
  bool running_ = false;
  int wakeRead_ = -1;
  int wakeWrite_ = -1;
  std::thread line_;
  std::thread session_;
};

}  // namespace sim
