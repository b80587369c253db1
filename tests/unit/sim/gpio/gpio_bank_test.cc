// The board's GPIO lines: the tree the camera finds at power-up, the record of what it writes,
// the inputs the board drives, and the front panel's LEDs a person looks at.
#include "sim/gpio/gpio_bank.h"

#include <chrono>
#include <condition_variable>
#include <fstream>
#include <mutex>
#include <string>
#include <vector>

#include <gtest/gtest.h>

#include "sim/ledpanel/ledpanel_part.h"

#include "tests/unit/sim/board/probe_board.h"

namespace {

using sim::gpio::GpioBank;
using sim::gpio::GpioChange;

class Gpio : public ::testing::Test {
 protected:
  Gpio()
      : bank_([this](const GpioChange& change) {
          std::lock_guard lock(mutex_);
          changes_.push_back(change);
          seen_.notify_all();
        }) {}

  std::string sys() const { return dir_.path() + "/sys"; }
  std::string file(int line, const char* name) const {
    return sys() + "/class/gpio/gpio" + std::to_string(line) + "/" + name;
  }
  static void write(const std::string& path, const std::string& text) {
    std::ofstream out(path, std::ios::trunc);
    out << text;
  }
  // Waits until `count` changes were seen; returns them.
  std::vector<GpioChange> wait_changes(std::size_t count) {
    std::unique_lock lock(mutex_);
    seen_.wait_for(lock, board_test::kPatience, [&] { return changes_.size() >= count; });
    return changes_;
  }

  board_test::TempDir dir_;
  std::mutex mutex_;
  std::condition_variable seen_;
  std::vector<GpioChange> changes_;
  GpioBank bank_;
};

TEST_F(Gpio, PowerUpShowsEveryLineAsAnInputAtZeroAndTheUsbGadget) {
  ASSERT_EQ(bank_.power_up(sys()), 0);
  for (const sim::gpio::GpioLine& line : sim::gpio::kGpioLines) {
    EXPECT_EQ(board_test::read_file(file(line.number, "direction")), "in\n") << line.number;
    EXPECT_EQ(board_test::read_file(file(line.number, "value")), "0\n") << line.number;
  }
  EXPECT_TRUE(std::filesystem::exists(sys() + "/class/gpio/export"));
  EXPECT_TRUE(std::filesystem::exists(sys() + "/class/android_usb/android0/enable"));
  EXPECT_TRUE(std::filesystem::exists(sys() + "/devices/platform/jz-dwc2/dwc2/gadget/lun0/file"));
}

TEST_F(Gpio, EveryChangeOfLevelDirectionAndExportIsRecordedInOrder) {
  ASSERT_EQ(bank_.power_up(sys()), 0);
  write(sys() + "/class/gpio/export", "42\n");
  wait_changes(1);
  write(file(42, "direction"), "out\n");
  wait_changes(2);
  write(file(42, "value"), "1\n");
  wait_changes(3);
  write(file(42, "value"), "1\n");  // the same level again is no change
  write(file(42, "value"), "0\n");
  const std::vector<GpioChange> changes = wait_changes(4);
  bank_.power_down();

  ASSERT_EQ(changes.size(), 4u);
  EXPECT_EQ(changes[0].what, "export");
  EXPECT_EQ(changes[1].to, "out");
  EXPECT_EQ(changes[2].from, "0");
  EXPECT_EQ(changes[3].from, "1");
  EXPECT_EQ(bank_.level(42), "0");
}

TEST_F(Gpio, OnlyInputsAreDrivenAtOnceAndKeptAcrossPowerUps) {
  EXPECT_EQ(bank_.set_input(43, 1), 0) << "set while off: taken at the next power-up";
  ASSERT_EQ(bank_.power_up(sys()), 0);
  EXPECT_EQ(board_test::read_file(file(43, "value")), "1\n");

  EXPECT_EQ(bank_.set_input(63, 1), 0);
  EXPECT_EQ(board_test::read_file(file(63, "value")), "1\n");
  const std::vector<GpioChange> changes = wait_changes(1);
  EXPECT_EQ(changes[0].line, 63);
  EXPECT_EQ(changes[0].to, "1");
  bank_.power_down();

  ASSERT_EQ(bank_.power_up(dir_.path() + "/sys2"), 0);
  EXPECT_EQ(board_test::read_file(dir_.path() + "/sys2/class/gpio/gpio63/value"), "1\n");
  EXPECT_EQ(bank_.input(43), 1);

  // Only the board's inputs can be driven.
  EXPECT_EQ(bank_.set_input(42, 1), -1) << "an output of the camera";
  EXPECT_EQ(bank_.set_input(7, 1), -1) << "no such line";
  EXPECT_EQ(bank_.set_input(43, 2), -1) << "no such level";
  EXPECT_EQ(bank_.input(42), -1);
}

// front_panel.png has a row for each moment an LED changed, as the panel looked then: the
// LEDs the camera sets in one tick make one row, the panel at power-off a row of its own.
TEST(FrontPanel, EachMomentAnLedChangesIsARowOfThePicture) {
  using sim::ledpanel::PanelMoment;
  using std::chrono::milliseconds;
  const std::vector<std::string> green = {"on", "off"};
  const std::vector<std::string> both = {"on", "on"};
  const std::vector<std::string> dark = {"off", "off"};
  std::vector<PanelMoment> moments;
  sim::ledpanel::add_led_moment(moments, {1, milliseconds(1000), "SD green on", green});
  sim::ledpanel::add_led_moment(moments, {1, milliseconds(1200), "SD red on", both});
  sim::ledpanel::add_led_moment(moments, {1, milliseconds(4000), "SD green off", dark});
  moments.push_back({1, milliseconds(4100), "power off", dark});
  sim::ledpanel::add_led_moment(moments, {2, milliseconds(4200), "SD red on", green});
  ASSERT_EQ(moments.size(), 4u);
  EXPECT_EQ(moments[0].what, "SD green on, SD red on");
  EXPECT_EQ(moments[0].states, both) << "the row shows the panel after the whole tick";
  EXPECT_EQ(moments[1].states, dark);
  EXPECT_EQ(moments[3].wake, 2) << "a new wake-up starts a new row";
}

}  // namespace
