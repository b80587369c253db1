// The board's GPIO lines: the /sys/class/gpio tree the camera writes (plain files, as the
// sandbox sees them), a watcher that records every change of level or direction with its
// board time, and the inputs the scenario drives (card detect, format button).
#pragma once

#include <array>
#include <atomic>
#include <functional>
#include <map>
#include <mutex>
#include <string>
#include <string_view>
#include <thread>

namespace sim::gpio {

struct GpioLine {
  int number;
  std::string_view name;
  bool input;  // driven by the board, read by the camera
};

// Every line the camera uses, with what it is wired to on the board.
inline constexpr std::array<GpioLine, 20> kGpioLines = {{
    {8, "thermistor divider", false},  {17, "sensor power", false},  {38, "IR-cut filter A", false},
    {39, "battery 1 LED", false},      {40, "battery 3 LED", false}, {41, "IR-cut filter B", false},
    {42, "status/warning LED", false},  // the warning light on model 6, the status LED otherwise
    {43, "card detect", true},         {45, "battery 2 LED", false}, {46, "battery 4 LED", false},
    {49, "IR LED 1", false},           {50, "IR LED 2", false},      {52, "SD red LED", false},
    {53, "SD green LED", false},       {58, "signal 5 LED", false},  {59, "signal 4 LED", false},
    {60, "signal 3 LED", false},       {61, "signal 2 LED", false},  {62, "signal 1 LED", false},
    {63, "format button", true},
}};

const GpioLine* find_gpio_line(int number);

// A change the watcher saw: `what` is "value", "direction", "export" or "unexport".
struct GpioChange {
  int line = 0;
  std::string what;
  std::string from;
  std::string to;
};

class GpioBank {
 public:
  using ChangeCallback = std::function<void(const GpioChange&)>;

  explicit GpioBank(ChangeCallback onChange);
  ~GpioBank();
  GpioBank(const GpioBank&) = delete;
  GpioBank& operator=(const GpioBank&) = delete;

  // Makes a fresh /sys tree under `sysDir` (as the kernel shows it after power-up: every line
  // an input at 0, the driven inputs at their levels, the USB gadget files) and starts
  // watching it. Returns 0 or -1.
  int power_up(const std::string& sysDir);
  // Stops watching (the tree stays for the run folder).
  void power_down();

  // Drives an input line; takes effect at once when powered, else at the next power-up.
  // Returns -1 for a line that is not a board-driven input.
  int set_input(int line, int level);
  int input(int line) const;

  // Level last seen on a line ("" when never written).
  std::string level(int line) const;

 private:
  void watch(int inotifyFd, int stopFd);
  void look_at(int line, const std::string& what);

  ChangeCallback onChange_;
  mutable std::mutex mutex_;
  std::string gpioDir_;
  std::map<int, int> inputs_;
  std::map<std::pair<int, std::string>, std::string> seen_;
  std::map<int, std::pair<int, std::string>> watches_;  // watch descriptor -> line, file
  std::thread watcher_;
  int stopWrite_ = -1;
};

}  // namespace sim::gpio
