// The simulated camera board, as scenario tests and camsim drive it.
//
// A board lives in a run folder. What survives power cuts lives there for the whole scenario:
// the configuration partition (config/), the card (sdcard/), the tag store (tagstore.bin),
// the board clock page (clock) and the record (record.jsonl). Each wake-up gets a folder of
// its own (wake-01/, ...) with what the application processor had while powered: its /tmp
// (removed at the power cut, except the application's log, kept as app.log), its /sys, the
// kernel command line, the console and error output.
//
// Waking the board starts camera_app in the sandbox with the boot tags of that wake-up; the
// MCU's answer to ready-to-sleep (or the scenario) cuts the power, killing every process of
// the application at once. The MCU peer sits on ttyS1. A part that plays the peer of a line
// claims it; on a line nobody claims, what the camera sends is only recorded.
#pragma once

#include <array>
#include <chrono>
#include <condition_variable>
#include <cstdint>
#include <cstdio>
#include <functional>
#include <map>
#include <memory>
#include <mutex>
#include <shared_mutex>
#include <span>
#include <string>
#include <string_view>
#include <vector>

#include "sim/board/board_part.h"
#include "sim/board/board_record.h"
#include "sim/board/board_time.h"
#include "sim/board/camera_process.h"
#include "sim/mcu/mcu_peer.h"
#include "sim/peers/serial_line.h"
#include "sim/tagstore/tag_store.h"

namespace sim::board {

// Where the parts of the board are. The defaults are those of the build the library is part
// of; a field left empty takes its default.
struct BoardPaths {
  std::string imageDir;       // the system image, /system inside the sandbox
  std::string sandboxScript;  // sim/sandbox/camera-sandbox
  std::string clockShim;      // libboardclock.so
  std::string cameraApp;      // another camera_app than the image's
};
BoardPaths default_board_paths();

struct BoardSetup {
  // The parts to build, in the order they attach and power up (sim/assembly's board_parts()
  // gives every part of the board). A board needs them: without, it has no clock and no MCU.
  std::span<const PartRegistration> parts;
  std::string runDir;  // made if missing; must not hold an earlier run
  BoardPaths paths;
  // Board clock: the camera's date and time at the start. Board time runs ahead whenever
  // everything waits; `speed` (0: no limit) keeps it from running more than that many times as
  // fast as the host's time, for a person who wants to follow a story as it happens.
  int64_t startEpochMs = 1717243200000;  // 2024-06-01 12:00:00 UTC
  uint32_t speed = 0;
  sim::McuSetup mcu;
  // The MCU's real-time clock starts at the board's date (its validity as `mcu` says), unless
  // the set-up gives the RTC a time of its own.
  bool mcuRtcFromDate = true;
  // Tags set in the factory tag store, and whether the store is damaged at the start.
  std::vector<sim::tagstore::Tag> tags;
  bool tagStoreDamaged = false;
  // The boot loader's verdicts on the partitions beside the tags (non-zero: corrupt).
  sim::tagstore::Markers markers;
  // Levels of the inputs at the start (card detect 43, format button 63).
  std::map<int, int> inputs;
  // The watchdog daemon reports a gap after this much board time without a keep-alive.
  int watchdogLimitMs = 10000;
};

struct WakeUpRequest {
  sim::WakeReason reason = sim::WakeReason::kTimelapse;
  int bootReason = -1;  // -1: 1 for a PIR wake-up, 0 for the others
  int expReuse = 0;
  int adc = 0;
};

std::string_view wake_reason_name(sim::WakeReason reason);
// "pir", "timelapse", ... -> reason; false when unknown.
bool parse_wake_reason(std::string_view name, sim::WakeReason* ret_reason);

class Board {
 public:
  static std::unique_ptr<Board> create(const BoardSetup& setup, std::string* ret_error = nullptr);
  ~Board();
  Board(const Board&) = delete;
  Board& operator=(const Board&) = delete;

  // Power. wake() returns 0, or -1 (already powered, the sandbox cannot start).
  int wake(const WakeUpRequest& request, std::string* ret_error = nullptr);
  // Cuts the supply now (a fault, the scenario's limit, or the MCU after ready-to-sleep).
  void cut_power(std::string_view why);
  bool powered() const;
  int wake_count() const;
  // Waits (host time) until the power is off; false on time-out.
  bool wait_power_off(std::chrono::milliseconds hostTimeout) const;
  // Waits until `at` of board time after the last wake-up, or until the power goes off; true
  // while the camera is still powered.
  bool wait_awake_until(std::chrono::milliseconds at);
  // Waits until the power goes off by itself or `boardLimit` of board time passes since the
  // last wake-up, then cuts it. True when it went off by itself. When the time ran out while
  // the board was computing rather than waiting, the record says so; the stacks of the
  // camera's processes at that moment are kept in the wake-up's folder (stacks.txt).
  bool run_until_power_off(std::chrono::milliseconds boardLimit);
  // Processes of the last power-up still alive (0 once the power is off).
  int processes_alive() const;
  // The kernel command line of the last wake-up.
  std::string last_cmdline() const;

  // Time.
  BoardTime& time() { return time_; }
  std::chrono::milliseconds elapsed() const { return time_.elapsed(); }
  // Board time of the last wake-up.
  std::chrono::milliseconds woke_at() const;
  // The camera sleeps for `duration`: its date and the MCU's clock move on at once.
  void pass_time_asleep(std::chrono::seconds duration);
  // Sets the camera's date and time (and the MCU's clock with it).
  void set_date(int64_t epochMs);

  // The set-up the board was built with, and where its pieces are (absolute paths).
  const BoardSetup& setup() const { return setup_; }
  const BoardPaths& paths() const { return paths_; }

  // The MCU peer every board has, and the record.
  sim::McuPeer& mcu();
  BoardRecord& record() { return record_; }
  // The part that plays the MCU hands its peer to the board in attach(): the board tells it
  // each wake-up's reason and moves its clock with the board's date. A board whose parts give
  // no MCU is not made.
  void set_mcu(sim::McuPeer* peer);
  // The watchdog daemon the sandbox starts beside camera_app at every power-up (the part that
  // models it calls this from attach()): `command` gives its command line at each power-up,
  // `onLine` takes each line it reports. Without one, camera_app runs alone.
  void set_watchdog_daemon(std::function<std::string()> command,
                           std::function<void(const std::string&)> onLine);
  // The serial line "ttyS0" or "ttyS1", for the part that plays the peer on it (call it from
  // attach()): the line is that part's from then on. nullptr for an unknown line or one that
  // is already taken. Each line's traffic is recorded in the run folder as LINE.jsonl.
  const sim::PtyPair* claim_serial_line(std::string_view tty);
  const std::string& run_dir() const { return runDir_; }
  std::string wake_dir(int wake) const;
  std::string tag_store_path() const { return runDir_ + "/tagstore.bin"; }

  // A program that starts camera_app in the sandbox at every power-up (call it from attach()):
  // it brings its part's device up first, as a kernel driver does at boot, then runs the rest
  // of its command line. "card_blockd IMAGE --" makes the command "card_blockd IMAGE --
  // camera_app"; wrappers added later go outside earlier ones.
  void wrap_camera_app(std::string wrapper) { cameraWrappers_.push_back(std::move(wrapper)); }

  // The board's part of type T (nullptr when the board has none).
  template <class T>
  T* part() {
    // Parts' threads ask while the board takes its parts down (in reverse order, each part's
    // threads ended by its destructor): a part already gone is not found.
    std::shared_lock lock(partsMutex_);
    for (const std::unique_ptr<BoardPart>& part : parts_) {
      if (T* found = dynamic_cast<T*>(part.get())) {
        return found;
      }
    }
    return nullptr;
  }
  // The context of the last (or current) power-up.
  WakeContext wake_context() const;
  // Every part leaves its outputs in the run folder and prints its report to `out` (if set).
  void report_parts(FILE* out);

  // A line in the record from one of the board's parts (its kind in the JSON is `part`).
  void part_event(std::string_view part, std::string text, std::vector<Field> fields = {});

  // A line of the scenario's own in the record (setup and notes).
  void note(EventKind kind, const std::string& text, std::vector<Field> fields = {});

 private:
  Board() = default;
  int build(const BoardSetup& setup, std::string* ret_error);
  void add(EventKind kind, std::string text, std::vector<Field> fields);
  void on_console(const std::string& line);
  void on_error_line(const std::string& line);
  void on_ended(bool cut, int status);
  // Records how long the wake-up took in board and host time, and how much was computing.
  void note_wake_usage(int wake);
  // cut_power(), noting the file of the camera's stacks (save_stacks()) when there is one.
  void cut_power_with_stacks(std::string_view why, const std::string& stacks);
  // Writes what every thread of the camera's processes is doing into the wake-up's folder;
  // returns the file's path, or "" when nothing runs or it could not be written.
  std::string save_stacks();
  struct SerialLine {
    std::string_view tty;
    sim::PtyPair pty;
    bool claimed = false;
  };
  // Records what the camera sends on a line no part claimed.
  void listen_silently(SerialLine& line);
  std::vector<std::string> sandbox_options(const std::string& wakeDir,
                                           const std::string& cmdline) const;

  BoardSetup setup_;
  BoardPaths paths_;
  std::string runDir_;
  BoardTime time_;
  BoardRecord record_;
  std::array<SerialLine, 2> lines_ = {{{"ttyS0", {}, false}, {"ttyS1", {}, false}}};
  std::vector<std::unique_ptr<sim::SilentLineListener>> listeners_;
  CameraProcess camera_;
  mutable std::shared_mutex partsMutex_;
  std::vector<std::unique_ptr<BoardPart>> parts_;
  std::vector<std::string> cameraWrappers_;
  sim::McuPeer* mcu_ = nullptr;
  std::function<std::string()> watchdogCommand_;
  std::function<void(const std::string&)> watchdogLine_;
  WakeContext wakeContext_;

  mutable std::mutex mutex_;
  mutable std::condition_variable powerChanged_;
  bool powered_ = false;
  int wakeCount_ = 0;
  std::chrono::milliseconds wokeAt_{0};
  BoardTime::Usage wakeUsage_;    // the clock's usage at the last power-up
  bool heldForPowerOff_ = false;  // board time held from the power cut to the power being off
  std::string lastCmdline_;
  std::string cutReason_;
  bool cutting_ = false;  // cut_power() is taking the parts down
  FILE* console_ = nullptr;
  FILE* errors_ = nullptr;
};

}  // namespace sim::board
