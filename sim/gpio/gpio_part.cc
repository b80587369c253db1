#include "sim/gpio/gpio_part.h"

#include <array>

#include "sim/board/board.h"
#include "sim/board/directive_words.h"

namespace sim::gpio {

namespace {

struct LineAlias {
  std::string_view name;
  int line;
};

constexpr std::array kInputAliases = {
    LineAlias{"card-detect", 43},
    LineAlias{"format-button", 63},
};

int parse_gpio(const std::vector<std::string>& args, board::BoardAction* ret_action,
               std::string* ret_error) {
  if (args.size() != 2) {
    *ret_error = "expected a line and a level";
    return -1;
  }
  int line = -1;
  for (const LineAlias& alias : kInputAliases) {
    if (alias.name == args[0]) {
      line = alias.line;
    }
  }
  const GpioLine* known =
      line >= 0 || board::parse_number(args[0], &line) ? find_gpio_line(line) : nullptr;
  if (known == nullptr || !known->input) {
    *ret_error = "'" + args[0] + "' is not an input the board drives (43 card-detect, 63 " +
                 "format-button)";
    return -1;
  }
  if (args[1] != "0" && args[1] != "1") {
    *ret_error = "'" + args[1] + "' is not a level (0 or 1)";
    return -1;
  }
  const int level = args[1] == "1" ? 1 : 0;
  *ret_action = [line, level](board::Board& board, std::string* ret_why) {
    if (drive_gpio_input(board, line, level) != 0) {
      *ret_why = "GPIO " + std::to_string(line) + " cannot be driven";
      return -1;
    }
    return 0;
  };
  return 0;
}

constexpr std::array kDirectives = {
    board::DirectiveSyntax{"gpio", "gpio LINE LEVEL",
                           "drive an input: 43 or card-detect, 63 or format-button; 0 or 1", true,
                           true, parse_gpio},
};

}  // namespace

const std::span<const board::DirectiveSyntax> kGpioDirectives = kDirectives;

int drive_gpio_input(board::Board& board, int line, int level) {
  GpioPart* gpio = board.part<GpioPart>();
  return gpio != nullptr ? gpio->set_input(line, level) : -1;
}

int gpio_input(board::Board& board, int line) {
  GpioPart* gpio = board.part<GpioPart>();
  return gpio != nullptr ? gpio->bank().input(line) : -1;
}

std::unique_ptr<board::BoardPart> make_gpio_part() {
  return std::make_unique<GpioPart>();
}

GpioPart::GpioPart() : bank_([this](const GpioChange& change) { on_change(change); }) {}

int GpioPart::attach(board::Board& board, std::string* ret_error) {
  board_ = &board;
  for (const auto& [line, level] : board.setup().inputs) {
    if (bank_.set_input(line, level) != 0) {
      *ret_error = "GPIO " + std::to_string(line) + " is not an input the board drives";
      return -1;
    }
  }
  return 0;
}

int GpioPart::power_up(const board::WakeContext& wake, std::string* ret_error) {
  if (bank_.power_up(wake.sysDir) != 0) {
    *ret_error = "cannot make the GPIO tree in " + wake.sysDir;
    return -1;
  }
  return 0;
}

void GpioPart::powered_off(const board::WakeContext& wake) {
  (void)wake;
  bank_.power_down();
}

int GpioPart::set_input(int line, int level) {
  if (bank_.set_input(line, level) != 0) {
    return -1;
  }
  if (!board_->powered()) {
    const GpioLine* known = find_gpio_line(line);
    board_->part_event("gpio",
                       "GPIO " + std::to_string(line) + " " + std::string(known->name) +
                           " set to " + std::to_string(level) + " (camera off)",
                       {{"line", int64_t{line}},
                        {"name", std::string(known->name)},
                        {"what", std::string("value")},
                        {"to", std::to_string(level)},
                        {"input", true},
                        {"driven", true}});
  }
  return 0;
}

void GpioPart::on_change(const GpioChange& change) {
  const GpioLine* line = find_gpio_line(change.line);
  const std::string name = line != nullptr ? std::string(line->name) : "unknown line";
  std::string text = "GPIO " + std::to_string(change.line) + " " + name + " ";
  if (change.what == "value") {
    text += change.from + " -> " + change.to;
  } else if (change.what == "direction") {
    text += "direction " + change.to;
  } else {
    text += change.what + "ed";
  }
  board_->part_event("gpio", text,
                     {{"line", int64_t{change.line}},
                      {"name", name},
                      {"what", change.what},
                      {"from", change.from},
                      {"to", change.to},
                      {"input", line != nullptr && line->input}});
}

}  // namespace sim::gpio
