#include "sim/ledpanel/ledpanel_part.h"

#include <spawn.h>
#include <sys/wait.h>
#include <unistd.h>

#include <algorithm>
#include <array>
#include <cstdio>

#include "sim/board/board.h"
#include "sim/board/directive_words.h"
#include "sim/gpio/gpio_bank.h"
#include "sim/gpio/gpio_part.h"

namespace sim::ledpanel {

namespace {

using std::chrono::milliseconds;

struct PanelLed {
  int line;
  std::string_view name;
  std::string_view colour;  // lit, in the picture
};

// The front panel, left to right, by the lines the camera's LED manager drives.
constexpr std::array<PanelLed, 12> kPanel = {{
    {53, "SD green", "0x20e020"},
    {52, "SD red", "0xe02020"},
    {62, "signal 1", "0x30a0ff"},
    {61, "signal 2", "0x30a0ff"},
    {60, "signal 3", "0x30a0ff"},
    {59, "signal 4", "0x30a0ff"},
    {58, "signal 5", "0x30a0ff"},
    {39, "battery 1", "0xf0d020"},
    {45, "battery 2", "0xf0d020"},
    {40, "battery 3", "0xf0d020"},
    {46, "battery 4", "0xf0d020"},
    {42, "status/warning", "0xff9020"},
}};

// The board's GPIO table names each LED line after the LED it lights ("SD green LED"); the panel
// and the GPIO record must tell the same LED for the same line.
constexpr bool panel_matches_gpio_names() {
  for (const PanelLed& led : kPanel) {
    bool found = false;
    for (const gpio::GpioLine& gpio : gpio::kGpioLines) {
      if (gpio.number != led.line) {
        continue;
      }
      const std::string_view name = gpio.name;
      found = name.size() == led.name.size() + 4 && name.substr(0, led.name.size()) == led.name &&
              name.substr(led.name.size()) == " LED";
    }
    if (!found) {
      return false;
    }
  }
  return true;
}
static_assert(panel_matches_gpio_names(), "front panel and GPIO table name a line differently");

// Two changes closer than this are a blink, not a switch.
constexpr milliseconds kBlinkGap{2500};
constexpr milliseconds kGapTolerance{200};
constexpr int kFormatButtonLine = 63;
// LED changes this close together are one moment of the panel.
constexpr milliseconds kSameMoment{300};
// A story with more moments than this shows its first ones.
constexpr std::size_t kMaxMoments = 80;
constexpr char kFont[] = "/usr/share/fonts/truetype/dejavu/DejaVuSans.ttf";

const PanelLed* find_led(int line) {
  for (const PanelLed& led : kPanel) {
    if (led.line == line) {
      return &led;
    }
  }
  return nullptr;
}

int parse_format_button(const std::vector<std::string>& args, board::BoardAction* ret_action,
                        std::string* ret_error) {
  milliseconds hold{0};
  if (args.size() != 2 || args[0] != "hold" || !board::parse_duration(args[1], &hold)) {
    *ret_error = "expected: format-button hold TIME";
    return -1;
  }
  *ret_action = [hold](board::Board& board, std::string* ret_why) {
    LedPanelPart* panel = board.part<LedPanelPart>();
    if (panel == nullptr || panel->hold_format_button(hold) != 0) {
      *ret_why = "the format button cannot be pressed";
      return -1;
    }
    return 0;
  };
  return 0;
}

constexpr std::array kDirectives = {
    board::DirectiveSyntax{"format-button", "format-button hold TIME",
                           "press the format button (GPIO 63, active low) and release it TIME "
                           "later",
                           false, true, parse_format_button},
};

}  // namespace

const std::span<const board::DirectiveSyntax> kLedPanelDirectives = kDirectives;

std::unique_ptr<board::BoardPart> make_ledpanel_part() {
  return std::make_unique<LedPanelPart>();
}

bool fold_change(LedLook& look, int level, milliseconds at) {
  // A blink is two gaps alike in a row; a single quick change is a switch.
  const milliseconds gap = look.lastChange.count() >= 0 ? at - look.lastChange : milliseconds{-1};
  const bool blinking = gap.count() >= 0 && gap <= kBlinkGap && look.lastGap.count() >= 0 &&
                        std::chrono::abs(gap - look.lastGap) <= kGapTolerance &&
                        level != look.level;
  look.lastGap = gap;
  look.lastChange = at;
  look.level = level;
  if (blinking) {
    // Rounded to the LED manager's 250 ms tick: a whole cycle is two gaps.
    const milliseconds period{(2 * gap.count() + 125) / 250 * 250};
    // The camera's ticks wander by a tick or so under load: only a real change is news.
    const bool changed =
        look.state != "blinking" || std::chrono::abs(period - look.period) > kGapTolerance * 2;
    if (changed) {
      look.state = "blinking";
      look.period = period;
    }
    return changed;
  }
  const std::string state = level != 0 ? "on" : "off";
  const bool changed = state != look.state;
  look.state = state;
  look.period = milliseconds{0};
  return changed;
}

void add_led_moment(std::vector<PanelMoment>& moments, PanelMoment moment) {
  if (!moments.empty() && moments.back().wake == moment.wake &&
      moments.back().what != "power off" && moment.at - moments.back().at <= kSameMoment) {
    PanelMoment& last = moments.back();
    last.what += ", " + moment.what;
    last.states = std::move(moment.states);
    return;
  }
  if (moments.size() < kMaxMoments) {
    moments.push_back(std::move(moment));
  }
}

LedPanelPart::~LedPanelPart() {
  {
    std::lock_guard lock(mutex_);
    stopping_ = true;
  }
  stopped_.notify_all();
  {
    std::lock_guard lock(inbox_->mutex);
    inbox_->closed = true;
  }
  inbox_->wake.notify_all();
  if (worker_.joinable()) {
    worker_.join();
  }
  for (std::thread& press : presses_) {
    press.join();
  }
}

int LedPanelPart::attach(board::Board& board, std::string* ret_error) {
  board_ = &board;
  // The button is active low: a panel whose button nobody touches reads 1.
  if (!board.setup().inputs.contains(kFormatButtonLine) &&
      gpio::drive_gpio_input(board, kFormatButtonLine, 1) != 0) {
    *ret_error = "the format button line cannot be driven";
    return -1;
  }
  worker_ = std::thread([this] { run(); });
  // The record calls its listeners while it adds an event, so the panel's own lines are added
  // from the worker thread, never from the listener.
  board.record().add_listener([inbox = inbox_](const board::BoardEvent& event) {
    if (event.kind != board::EventKind::kPart || event.part != "gpio" ||
        event.field("what") != "value") {
      return;
    }
    {
      std::lock_guard lock(inbox->mutex);
      if (inbox->closed) {
        return;
      }
      inbox->events.push_back(event);
    }
    inbox->wake.notify_all();
  });
  return 0;
}

int LedPanelPart::power_up(const board::WakeContext& wake, std::string* ret_error) {
  (void)wake;
  (void)ret_error;
  std::lock_guard lock(mutex_);
  looks_.clear();  // the lines start low at every power-up
  return 0;
}

void LedPanelPart::run() {
  for (;;) {
    board::BoardEvent event;
    {
      std::unique_lock lock(inbox_->mutex);
      inbox_->wake.wait(lock, [this] { return inbox_->closed || !inbox_->events.empty(); });
      if (inbox_->events.empty()) {
        return;
      }
      event = inbox_->events.front();
      inbox_->events.pop_front();
    }
    int line = -1;
    if (!board::parse_number(event.field("line"), &line) || find_led(line) == nullptr) {
      continue;
    }
    LedLook shown;
    {
      std::lock_guard lock(mutex_);
      LedLook& look = looks_[line];
      if (!fold_change(look, event.field("to") == "1" ? 1 : 0, event.elapsed)) {
        continue;
      }
      shown = look;
      PanelMoment moment{
          event.wake, event.elapsed, std::string(find_led(line)->name) + " " + look.state, {}};
      panel_line(&moment.states);
      add_led_moment(moments_, std::move(moment));
    }
    std::string text = "LED " + std::string(find_led(line)->name) + " " + shown.state;
    if (shown.state == "blinking") {
      char period[32];
      snprintf(period, sizeof period, " every %.2f s", shown.period.count() / 1000.0);
      text += period;
    }
    board_->part_event("ledpanel", text,
                       {{"line", int64_t{line}},
                        {"led", std::string(find_led(line)->name)},
                        {"state", shown.state},
                        {"periodMs", int64_t{shown.period.count()}}});
  }
}

std::string LedPanelPart::panel_line(std::vector<std::string>* states) {
  std::string text;
  for (const PanelLed& led : kPanel) {
    const auto found = looks_.find(led.line);
    std::string state = found == looks_.end() ? "off" : found->second.state;
    // A blink that has not toggled for a while has stopped at its last level.
    if (state == "blinking" && board_->elapsed() - found->second.lastChange > kBlinkGap) {
      state = found->second.level != 0 ? "on" : "off";
    }
    states->push_back(state);
    text += std::string(led.name) + "=" + state + (&led == &kPanel.back() ? "" : ", ");
  }
  return text;
}

void LedPanelPart::powered_off(const board::WakeContext& wake) {
  std::string text;
  {
    std::lock_guard lock(mutex_);
    PanelMoment moment{wake.wake, board_->elapsed(), "power off", {}};
    text = panel_line(&moment.states);
    if (moments_.size() < kMaxMoments) {
      moments_.push_back(std::move(moment));
    }
    panels_.push_back("wake " + std::to_string(wake.wake) + ": " + text);
  }
  board_->part_event("ledpanel", "front panel at power-off: " + text);
}

void LedPanelPart::report(const std::string& runDir, FILE* out) {
  std::lock_guard lock(mutex_);
  if (panels_.empty()) {
    return;
  }
  const std::string path = runDir + "/front_panel.txt";
  FILE* file = fopen(path.c_str(), "w");
  fprintf(out, "Front panel at the end of each wake-up (%s):\n", path.c_str());
  for (const std::string& panel : panels_) {
    fprintf(out, "  %s\n", panel.c_str());
    if (file != nullptr) {
      fprintf(file, "%s\n", panel.c_str());
    }
  }
  if (file != nullptr) {
    fclose(file);
  }
  const std::string picture = runDir + "/front_panel.png";
  if (draw_panels(picture) == 0) {
    fprintf(out, "  picture, at each moment an LED changed and at each power-off: %s\n",
            picture.c_str());
  }
}

int LedPanelPart::draw_panels(const std::string& path) const {
  constexpr int kCell = 24;
  constexpr int kGap = 8;
  constexpr int kLabelWidth = 420;
  const int width = kLabelWidth + static_cast<int>(kPanel.size()) * (kCell + kGap) + kGap;
  const int height = static_cast<int>(moments_.size()) * (kCell + kGap) + kGap;
  std::string filters;
  for (size_t row = 0; row < moments_.size(); ++row) {
    const PanelMoment& moment = moments_[row];
    const int y = kGap + static_cast<int>(row) * (kCell + kGap);
    char label[96];
    snprintf(label, sizeof label, "w%d %+.3fs %s", moment.wake, moment.at.count() / 1000.0,
             moment.what.c_str());
    std::string text;
    for (const char c : std::string(label).substr(0, 60)) {
      if (c == '\'' || c == ':' || c == '\\' || c == '%' || c == ',') {
        text += '\\';
      }
      text += c;
    }
    filters += std::string(filters.empty() ? "" : ",") + "drawtext=fontfile=" + kFont + ":text='" +
               text + "':fontcolor=white:fontsize=14:x=" + std::to_string(kGap) +
               ":y=" + std::to_string(y + 5);
    for (size_t i = 0; i < kPanel.size(); ++i) {
      const std::string& state = moment.states[i];
      const std::string colour = state == "off" ? "0x303030" : std::string(kPanel[i].colour);
      char box[160];
      snprintf(box, sizeof box, ",drawbox=x=%d:y=%d:w=%d:h=%d:color=%s:t=%s",
               kLabelWidth + kGap + static_cast<int>(i) * (kCell + kGap), y, kCell, kCell,
               colour.c_str(), state == "blinking" ? "4" : "fill");
      filters += box;
    }
  }
  const std::string source =
      "color=c=black:s=" + std::to_string(width) + "x" + std::to_string(height);
  std::vector<std::string> words = {"ffmpeg",    "-loglevel", "error", "-y",  "-f",
                                    "lavfi",     "-i",        source,  "-vf", filters,
                                    "-frames:v", "1",         path};
  std::vector<char*> argv;
  for (std::string& word : words) {
    argv.push_back(word.data());
  }
  argv.push_back(nullptr);
  pid_t pid = 0;
  if (posix_spawnp(&pid, "ffmpeg", nullptr, nullptr, argv.data(), environ) != 0) {
    return -1;
  }
  int status = 0;
  if (waitpid(pid, &status, 0) != pid || !WIFEXITED(status) || WEXITSTATUS(status) != 0) {
    return -1;
  }
  return 0;
}

int LedPanelPart::hold_format_button(milliseconds hold) {
  if (gpio::drive_gpio_input(*board_, kFormatButtonLine, 0) != 0) {
    return -1;
  }
  board_->part_event("ledpanel", "format button pressed");
  const milliseconds release_at = board_->elapsed() + hold;
  std::lock_guard lock(mutex_);
  presses_.emplace_back([this, release_at] {
    {
      std::unique_lock guard(mutex_);
      if (board_->time().wait_until(guard, stopped_, release_at, [this] { return stopping_; })) {
        return;
      }
    }
    gpio::drive_gpio_input(*board_, kFormatButtonLine, 1);
    board_->part_event("ledpanel", "format button released");
  });
  return 0;
}

}  // namespace sim::ledpanel
