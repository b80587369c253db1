#include "sim/clock/clock_part.h"

#include <array>

#include "sim/board/board.h"
#include "sim/board/directive_words.h"

namespace sim::clock {

namespace {

int parse_date(const std::vector<std::string>& args, board::BoardAction* ret_action,
               std::string* ret_error) {
  std::string text;
  for (const std::string& word : args) {
    text += text.empty() ? word : " " + word;
  }
  int64_t epochMs = 0;
  if (args.empty() || args.size() > 2 || !board::parse_date_time(text, &epochMs)) {
    *ret_error = "'" + text + "' is not a date and time such as 2024-06-01 12:00:00 (up to 2037)";
    return -1;
  }
  *ret_action = [epochMs](board::Board& board, std::string*) {
    board.set_date(epochMs);
    return 0;
  };
  return 0;
}

constexpr std::array kDirectives = {
    board::DirectiveSyntax{"date", "date DATE TIME", "set the camera's date and time", false, true,
                           parse_date},
};

}  // namespace

const std::span<const board::DirectiveSyntax> kClockDirectives = kDirectives;

std::unique_ptr<board::BoardPart> make_clock_part() {
  return std::make_unique<ClockPart>();
}

int ClockPart::attach(board::Board& board, std::string* ret_error) {
  (void)ret_error;
  board_ = &board;
  return 0;
}

void ClockPart::sandbox_options(const board::WakeContext& wake, board::SandboxOptions* options) {
  (void)wake;
  options->insert(options->end(), {"--clock", board_->time().path(), board_->paths().clockShim});
}

}  // namespace sim::clock
