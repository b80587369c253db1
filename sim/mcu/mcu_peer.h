// The supervisor MCU's side of the MCU link, as the simulated board plays it.
//
// The peer sits on the master side of a pseudo-terminal whose slave the camera opens as
// /dev/ttyS1. It decodes every kvt_ISP2MCU frame with the peers' libprotobuf schema, answers
// each request member with its response member (once: the MCU never repeats on its own), sends
// the MCU's own notifications (PIR, time-lapse, test button) when the board says so and tracks
// their acknowledgements. Everything it sees and does is reported as McuRecord lines for the
// board's timeline. Faults can be switched on to play a flaky or silent MCU.
//
// Threading: start() runs one worker thread that owns the descriptor's reads and writes. Every
// public member function may be called from any thread. Callbacks run on the worker thread with
// no lock held, so they may call back into the peer.
#pragma once

#include <array>
#include <chrono>
#include <cstdint>
#include <functional>
#include <memory>
#include <string>
#include <string_view>
#include <thread>
#include <vector>

#include "sim/peers/fault_book.h"
#include "sim/peers/line_record.h"
#include "sim/peers/peer_clock.h"

namespace sim {

struct McuPeerState;

// Board time in milliseconds. Monotonic; its origin is the board's business (scenario start).

// Why the MCU powered the camera processor this time; selects the camera state it reports.
enum class WakeReason : int {
  kFirstBoot = 0,
  kSync,
  kSyncDaily,
  kPir,
  kTimelapse,
  kTestButton,
  kInstantRequest,
};
inline constexpr std::size_t kWakeReasonCount = 7;

// One of the three AdcValue readings of the ADC answer; absent readings are left out.
struct McuAdcValue {
  bool present = true;
  uint32_t whole = 0;
  uint32_t decimal = 0;
};

// One FuelGaugeEntry; the MCU reports them, the camera only passes them on.
struct McuFuelGaugeEntry {
  uint32_t powerSource = 0;
  uint32_t batteryType = 0;
  uint32_t batteryPercent = 0;
  uint32_t field4 = 0;
};

// What the MCU answers. Fields of the record are what the board's scenario sets up.
struct McuSetup {
  // Real-time clock: the epoch it held at the moment it was set; it then runs with board time.
  bool rtcValid = true;
  int32_t rtcEpoch = 1704067200;  // 2024-01-01 00:00:00 UTC
  // Installation date (get_rtc_install_date_time_response).
  bool installDateValid = true;
  int32_t installEpoch = 1701388800;  // 2023-12-01 00:00:00 UTC
  // Device information: the MCU firmware version (at most 31 bytes on the wire).
  std::string version = "MCU-SIM 1.0.0";
  // Camera state (system state number) reported for each wake-up reason, indexed by WakeReason.
  // Defaults: first boot 1, sync 2, daily sync 3, detection 4, time-lapse 5, test 6, instant 7.
  std::array<uint32_t, kWakeReasonCount> cameraStateFor = {1, 2, 3, 4, 5, 6, 7};
  // ADC readings.
  McuAdcValue batteryVoltage = {true, 6, 20};
  McuAdcValue externalVoltage = {true, 0, 0};
  McuAdcValue photodiodeRaw = {false, 0, 0};
  // Fuel gauge: valid or not, the index of the entry to report, up to 6 entries.
  bool fuelGaugeValid = true;
  uint32_t fuelGaugeIndex = 0;
  std::vector<McuFuelGaugeEntry> fuelGaugeEntries = {{0, 1, 80, 0}};
  // Day/night sensor.
  bool dayNightValid = true;
  bool isNight = false;
  // The answer to mcu_wdm_triggered_request: whether the MCU's watchdog rebooted the camera
  // processor, and when.
  bool wdmRebooted = false;
  bool wdmEpochValid = false;
  uint32_t wdmEpoch = 0;
  // Field 1 of set_pir_configuration_response.
  uint32_t pirConfigResult = 1;
};

// One message on the MCU's line, as the peer records it.
using McuRecord = LineMessage;
using McuRecordCallback = LineMessageCallback;

enum class McuNotification : int { kPir, kTimelapse, kTestButton };

struct McuNotificationRecord {
  int id = 0;
  McuNotification kind = McuNotification::kPir;
  std::chrono::milliseconds sentAt{0};
  bool acknowledged = false;
  std::chrono::milliseconds acknowledgedAt{0};
};

// Status LED as last requested by the camera (set_status_led_request).
inline constexpr uint32_t kMcuLedOff = 0;
inline constexpr uint32_t kMcuLedRed = 1;
inline constexpr uint32_t kMcuLedGreen = 2;
inline constexpr uint32_t kMcuLedBlue = 3;
struct McuStatusLed {
  uint32_t colour = kMcuLedOff;
  bool blinking = false;
  uint32_t blinkPeriodMs = 0;
};

// Faults of the MCU: the peers' fault book, by request member or notification member
// ("pir_detection_request", "timelapse_request", "test_button_notification_request").
using McuFaultKind = PeerFaultKind;
using McuFault = PeerFault;

class McuPeer {
 public:
  // `ptyMasterFd` is borrowed: the caller keeps it open while the peer runs and closes it.
  // Without the board's clock, board time is the host's monotonic time since construction.
  McuPeer(int ptyMasterFd, McuSetup setup, McuRecordCallback onRecord, PeerClock clock = {});
  ~McuPeer();
  McuPeer(const McuPeer&) = delete;
  McuPeer& operator=(const McuPeer&) = delete;

  // Starts / stops the worker thread. start() puts the line in raw mode (so that nothing is
  // echoed before the camera sets up its port) and returns 0, or -1 when already running.
  // stop() is idempotent; messages still due are kept for the next start().
  int start();
  void stop();

  // Called by the board before it powers the camera processor: the reason selects the camera
  // state reported, and a new power-up forgets frames half received, answers still due and
  // bytes the old one left unread on the line. While nobody holds the line's slave open (the
  // camera is off), messages are recorded as not written instead of waiting in the line.
  void set_wake_reason(WakeReason reason);
  void set_setup(const McuSetup& setup);
  McuSetup setup() const;
  // Sets the RTC (as the scenario's clock set-up or the camera's set_rtc_date_time_request do).
  void set_rtc(bool valid, int32_t epoch);
  // RTC as it reads now (epoch advanced with board time since it was set).
  bool rtc_valid() const;
  int32_t rtc_epoch() const;

  // MCU notifications, sent at once. Each returns the notification's id (1, 2, ...), or -1 when
  // the peer is not running or the write failed. An acknowledgement from the camera marks the
  // oldest unacknowledged notification of its kind.
  int notify_pir();
  int notify_timelapse();
  int notify_test_button();
  bool acknowledged(int notificationId) const;
  std::vector<McuNotificationRecord> notifications() const;

  // Board reactions. Called on the worker thread.
  // After the answer to isp_ready_to_sleep_request has been written: the board cuts power.
  void set_on_ready_to_sleep(std::function<void()> callback);
  // When a set_modem_power_state_request changes the Modem's power: the board powers the Modem
  // (every listener added is called).
  void add_on_modem_power(std::function<void(bool on)> callback);

  // What the camera asked for.
  McuStatusLed status_led() const;
  bool modem_powered() const;
  int watchdog_notifications() const;  // watchdog_notification_request received
  int wdm_done_requests() const;       // mcu_wdm_triggered_request received

  // Faults on demand.
  // True when `member` is a request the camera sends or a notification the MCU sends: the
  // members a fault can name.
  static bool fault_member_known(std::string_view member);
  void add_fault(const McuFault& fault);
  void clear_faults();
  // Writes raw bytes onto the line now (test-facing: garbage, broken frames).
  int send_raw(const std::vector<uint8_t>& bytes);

  // Appends every message on the line from now on to a JSON-lines file. Returns 0 or -1.
  int record_line_to(const std::string& path);

  // The record so far, and counts by member (requests received / messages sent, faulty ones
  // included).
  std::vector<McuRecord> history() const;
  int received(std::string_view member) const;
  int sent(std::string_view member) const;
  // Waits (host time, bounded) until `received(member)` reaches `count`; false on time-out.
  bool wait_received(std::string_view member, int count, std::chrono::milliseconds timeout) const;
  // Waits until `sent(member)` reaches `count`; false on time-out.
  bool wait_sent(std::string_view member, int count, std::chrono::milliseconds timeout) const;

 private:
  int notify(McuNotification kind);
  void run();

  int fd_;
  std::unique_ptr<McuPeerState> state_;
  std::thread worker_;
};

}  // namespace sim
