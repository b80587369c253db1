// The camera's front panel as a board part: it names the LED lines the camera drives (SD
// green/red, signal 1-5, battery 1-4, status or warning light), tells on, off and blinking with
// the blink period as they change, and keeps the panel's look at each moment an LED changed and
// at each power-off (front_panel.png, one labelled row per moment).
//   format-button hold TIME   (timed) press the format button, release it TIME later
#pragma once

#include <chrono>
#include <condition_variable>
#include <deque>
#include <map>
#include <memory>
#include <mutex>
#include <span>
#include <string>
#include <thread>
#include <vector>

#include "sim/board/board_part.h"
#include "sim/board/board_record.h"

namespace sim::ledpanel {

// What a person sees of one LED: "on", "off" or "blinking".
struct LedLook {
  std::string state = "off";
  std::chrono::milliseconds period{0};  // a whole on-off cycle, for blinking
  std::chrono::milliseconds lastChange{-1};
  std::chrono::milliseconds lastGap{-1};  // between the two changes before
  int level = 0;
};

// Folds one level change at `at` into the look; true when what a person sees has changed.
bool fold_change(LedLook& look, int level, std::chrono::milliseconds at);

// One row of front_panel.png: the panel at a moment (each LED "on", "off" or "blinking", in
// panel order) and what happened then.
struct PanelMoment {
  int wake = 0;
  std::chrono::milliseconds at{0};  // board time since the start, as in the timeline
  std::string what;                 // "SD green on, SD red off", "power off"
  std::vector<std::string> states;
};

// Adds a moment of LED changes. Changes within a moment of the last in the same wake-up (the
// camera's LED manager sets several LEDs in one tick) make one row, the panel as they left it.
void add_led_moment(std::vector<PanelMoment>& moments, PanelMoment moment);

class LedPanelPart final : public board::BoardPart {
 public:
  ~LedPanelPart() override;
  std::string_view name() const override { return "ledpanel"; }
  int attach(board::Board& board, std::string* ret_error) override;
  int power_up(const board::WakeContext& wake, std::string* ret_error) override;
  void powered_off(const board::WakeContext& wake) override;
  void report(const std::string& runDir, FILE* out) override;

  // Presses the format button now and releases it `hold` of board time later.
  int hold_format_button(std::chrono::milliseconds hold);

 private:
  // The GPIO changes waiting for the worker. Shared with the record's listener, which may
  // outlive the part (the record cannot drop a listener).
  struct Inbox {
    std::mutex mutex;
    std::condition_variable wake;
    std::deque<board::BoardEvent> events;
    bool closed = false;
  };

  void run();
  // Each LED's state now ("on", "off", "blinking"), in panel order; fills `states`.
  std::string panel_line(std::vector<std::string>* states);
  // front_panel.png: one row per moment, labelled, one square per LED (lit, dark, or ringed
  // when blinking), drawn by ffmpeg. Returns 0, or -1 when ffmpeg failed.
  int draw_panels(const std::string& path) const;

  board::Board* board_ = nullptr;
  std::mutex mutex_;
  std::shared_ptr<Inbox> inbox_ = std::make_shared<Inbox>();
  bool stopping_ = false;
  std::condition_variable stopped_;
  std::thread worker_;
  std::vector<std::thread> presses_;
  std::map<int, LedLook> looks_;      // by GPIO line
  std::vector<std::string> panels_;   // one per wake-up
  std::vector<PanelMoment> moments_;  // the rows of the picture
};

std::unique_ptr<board::BoardPart> make_ledpanel_part();
extern const std::span<const board::DirectiveSyntax> kLedPanelDirectives;

}  // namespace sim::ledpanel
