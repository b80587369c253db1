// The camera's view as a board part: the scene in front of the simulated sensor, the faults
// the scenario injects into the media library, the IR-cut filter's position, and the
// snapshots the camera took, kept as PNG files of the wake-up.
//
// The host media library inside the camera reads the part's folder, bound at
// /run/board/sensor: "scene", "faults", "ircut" and "evstart" (the exposure the boot firmware
// programmed, from the last capture when the boot tags say to reuse it) written here, "fired" and
// "isp-m0" written there. Directives (set-up, or "at TIME ..." in a wake-up):
//   scene day | scene night
//   scene crossing deer|none [SECONDS]
//   imp-fault OPERATION once|always
//   frames stop | frames run
//   exposure unstable | exposure normal
// Recorded (kind "sensor"): sensor power, IR-cut pulses, IR LEDs, each snapshot file as the
// camera closes it; at the power-off every snapshot becomes wake-NN/snapN.png.
#pragma once

#include <condition_variable>
#include <deque>
#include <memory>
#include <mutex>
#include <span>
#include <string>
#include <thread>
#include <vector>

#include "sim/board/board_part.h"
#include "sim/board/board_record.h"
#include "sim/sensor/snapshot_watch.h"

namespace sim::sensor {

class SensorPart final : public board::BoardPart {
 public:
  ~SensorPart() override;
  std::string_view name() const override { return "sensor"; }
  int attach(board::Board& board, std::string* ret_error) override;
  void sandbox_options(const board::WakeContext& wake, board::SandboxOptions* options) override;
  int power_up(const board::WakeContext& wake, std::string* ret_error) override;
  void powered_off(const board::WakeContext& wake) override;
  void report(const std::string& runDir, FILE* out) override;

  // What the directives change. Each returns 0, or -1 when the folder cannot be written.
  int set_night(bool night);
  int set_crossing(bool crossing, int seconds);
  int add_fault(const std::string& operation, bool always);
  int set_frames_stopped(bool stopped);
  int set_exposure_unstable(bool unstable);

  const std::string& folder() const { return folder_; }
  // PNG files made from the camera's snapshots so far.
  const std::vector<std::string>& pictures() const { return pictures_; }

 private:
  struct Note {
    std::string text;
    std::vector<board::Field> fields;
  };
  int write_scene();
  int write_faults();
  void recorder();

  board::Board* board_ = nullptr;
  std::string folder_;
  bool night_ = false;
  bool crossing_ = true;
  int crossingSeconds_ = 8;
  struct Fault {
    int id;
    std::string operation;
    bool always;
  };
  std::vector<Fault> faults_;
  int nextFaultId_ = 1;
  bool framesStopped_ = false;
  bool exposureUnstable_ = false;
  std::vector<std::string> pictures_;
  sim::sensor::SnapshotWatch snapshots_;

  // GPIO changes seen in the record, turned into the part's own lines by the recorder thread
  // (a record listener may not add to the record itself). Shared with the listener, which
  // may outlive the part.
  struct Watch {
    std::string folder;
    std::mutex mutex;
    std::condition_variable wake;
    std::deque<Note> notes;
    bool stopping = false;
    std::chrono::milliseconds pulseStart[2] = {std::chrono::milliseconds{-1},
                                               std::chrono::milliseconds{-1}};
    size_t activityRead = 0;  // bytes of the activity file already recorded
    void note(std::string text, std::vector<board::Field> fields);
    void on_event(const board::BoardEvent& event);
    // Lines the camera's media library added to its activity file since the last look.
    std::vector<std::string> new_activity();
  };
  std::shared_ptr<Watch> watch_ = std::make_shared<Watch>();
  std::thread thread_;
};

std::unique_ptr<board::BoardPart> make_sensor_part();
extern const std::span<const board::DirectiveSyntax> kSensorDirectives;

}  // namespace sim::sensor
