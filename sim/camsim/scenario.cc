#include "sim/camsim/scenario.h"

#include <fcntl.h>
#include <sys/stat.h>
#include <unistd.h>

#include <algorithm>
#include <cerrno>
#include <cstring>
#include <sstream>

#include "sim/assembly/board_assembly.h"

namespace sim::camsim {

using std::chrono::milliseconds;

namespace {

constexpr std::string_view kFormatHelp = R"(Scenario files
  One instruction per line; "#" starts a comment. Times are a number and a unit: 500ms, 2s,
  1.5s, 10m, 1h. Dates are UTC: 2024-06-01 12:00:00, up to 2037 (the MCU's clock ends in
  January 2038). First the board's set-up, then the story: wake-ups, each followed by its
  events, and pauses with the camera asleep.

Set-up
  title TEXT                      what the scenario shows
  date DATE TIME                  the camera's date and time at the start
  speed N                         board time runs at most N times as fast as the host's
                                  (1..1000; by default as fast as the board's work allows)
  and the set-up directives of the board's parts (below)

Story
  wake REASON [boot-reason N] [exp-reuse N] [adc N] [for TIME]
      powers the camera up; REASON is first-boot, sync, daily-sync, pir, timelapse,
      test-button or instant-request. The boot reason is 1 for pir, else 0. The power goes off
      when the MCU answers ready-to-sleep, or is cut when TIME (default 60s) has passed.
  at TIME EVENT                   an event TIME after the power-up of the wake-up above, and
                                  within its TIME:
      power-cut                         cut the power at once
      note TEXT                         a line in the record
      and the timed directives of the board's parts (below)
  asleep TIME                     the camera sleeps; its date and the MCU's clock move on
)";

constexpr std::string_view kStoryWords = "wake, asleep, at";

std::vector<std::string> split_words(std::string_view line) {
  std::vector<std::string> words;
  std::istringstream stream{std::string(line)};
  for (std::string word; stream >> word;) {
    words.push_back(word);
  }
  return words;
}

// The rest of the line after `count` words (for free text).
std::string rest_after(std::string_view line, std::size_t count) {
  std::size_t position = 0;
  for (std::size_t i = 0; i < count; ++i) {
    position = line.find_first_not_of(" \t", position);
    position = line.find_first_of(" \t", position);
    if (position == std::string_view::npos) {
      return "";
    }
  }
  position = line.find_first_not_of(" \t", position);
  if (position == std::string_view::npos) {
    return "";
  }
  const std::size_t last = line.find_last_not_of(" \t");
  return std::string(line.substr(position, last + 1 - position));
}

// The directive a line names: two words ("fault mcu") before one ("gpio").
const sim::board::DirectiveSyntax* find_part_directive(const std::vector<std::string>& words,
                                                       std::size_t first,
                                                       std::size_t* ret_wordCount) {
  if (words.size() > first + 1) {
    if (const auto* directive =
            sim::assembly::find_directive(words[first] + " " + words[first + 1])) {
      *ret_wordCount = 2;
      return directive;
    }
  }
  *ret_wordCount = 1;
  return words.size() > first ? sim::assembly::find_directive(words[first]) : nullptr;
}

// The words parts add to the set-up or to the events of a wake-up.
std::string part_words(bool timed) {
  std::string words;
  for (const sim::board::PartRegistration& part : sim::assembly::board_parts()) {
    for (const sim::board::DirectiveSyntax& directive : part.directives) {
      if (timed ? directive.timed : directive.setup) {
        words += ", " + std::string(directive.word);
      }
    }
  }
  return words;
}

// Parses one file; each method handles one instruction and returns false with `error_` set.
class Parser {
 public:
  Parser(std::string_view sourceName, Scenario* scenario)
      : sourceName_(sourceName), scenario_(scenario) {}

  int parse(std::string_view text, std::string* ret_error) {
    auto failed = [&](const std::string& where) {
      if (ret_error != nullptr) {
        *ret_error = std::string(sourceName_) + where + ": " + error_;
      }
      return -1;
    };
    std::size_t start = 0;
    while (start <= text.size()) {
      std::size_t end = text.find('\n', start);
      if (end == std::string_view::npos) {
        end = text.size();
      }
      ++lineNumber_;
      std::string_view line = text.substr(start, end - start);
      // Lines may end in CR LF, as files written on Windows do; a CR anywhere else is refused.
      if (!line.empty() && line.back() == '\r') {
        line.remove_suffix(1);
      }
      const std::size_t comment = line.find('#');
      if (comment != std::string_view::npos) {
        line = line.substr(0, comment);
      }
      line_ = line;
      if (!printable(line)) {
        return failed(":" + std::to_string(lineNumber_));
      }
      const std::vector<std::string> words = split_words(line);
      if (!words.empty() && !instruction(words)) {
        return failed(":" + std::to_string(lineNumber_));
      }
      start = end + 1;
    }
    if (std::none_of(scenario_->steps.begin(), scenario_->steps.end(),
                     [](const ScenarioStep& step) { return !step.asleep; })) {
      error_ = "the scenario has no wake-up";
      return failed("");
    }
    if (!within_the_clock()) {
      return failed(":" + std::to_string(lateLine_));
    }
    for (ScenarioStep& step : scenario_->steps) {
      std::stable_sort(step.wake.events.begin(), step.wake.events.end(),
                       [](const ScenarioEvent& a, const ScenarioEvent& b) { return a.at < b.at; });
    }
    return 0;
  }

 private:
  bool fail(std::string what) {
    error_ = std::move(what);
    return false;
  }

  // Control bytes (a NUL among them) have no place in a scenario and would cut messages short.
  bool printable(std::string_view line) {
    for (const char c : line) {
      const auto byte = static_cast<unsigned char>(c);
      if (c == '\r') {
        return fail("the line holds a carriage return (0x0d) before its end");
      }
      if (byte < 0x20 && c != '\t') {
        char code[8];
        snprintf(code, sizeof code, "0x%02x", byte);
        return fail(std::string("the line holds the control byte ") + code);
      }
    }
    return true;
  }

  // The story must end before the board's clock does: every wake-up may last its whole time.
  bool within_the_clock() {
    int64_t latest = scenario_->board.startEpochMs;
    for (std::size_t i = 0; i < scenario_->steps.size(); ++i) {
      const ScenarioStep& step = scenario_->steps[i];
      latest += step.asleep ? std::chrono::duration_cast<milliseconds>(step.sleepFor).count()
                            : step.wake.limit.count();
      if (latest >= sim::board::kLastBoardEpochMs) {
        lateLine_ = stepLines_[i];
        return fail("the story runs past 2037, beyond the MCU's 32-bit clock");
      }
    }
    return true;
  }

  bool expect_count(const std::vector<std::string>& words, std::size_t count,
                    std::string_view form) {
    if (words.size() != count) {
      return fail("'" + words[0] + "' takes the form: " + std::string(form));
    }
    return true;
  }

  bool duration(const std::string& text, milliseconds* ret_duration) {
    if (!parse_duration(text, ret_duration)) {
      return fail("'" + text +
                  "' is not a time the board can hold (a number and a unit: 500ms, 2s, 10m, 1h; "
                  "up to 2037)");
    }
    return true;
  }

  template <typename Number>
  bool number(const std::string& text, Number* ret_value, std::string_view what) {
    if (!sim::board::parse_number(text, ret_value)) {
      return fail("'" + text + "' is not a number (" + std::string(what) + ")");
    }
    return true;
  }

  bool instruction(const std::vector<std::string>& words) {
    const std::string& word = words[0];
    if (word == "wake") {
      return wake(words);
    }
    if (word == "asleep") {
      ScenarioStep step;
      step.asleep = true;
      milliseconds length{0};
      if (!expect_count(words, 2, "asleep TIME") || !duration(words[1], &length)) {
        return false;
      }
      step.sleepFor = std::chrono::duration_cast<std::chrono::seconds>(length);
      stepLines_.push_back(lineNumber_);
      scenario_->steps.push_back(step);
      return true;
    }
    if (word == "at") {
      return at(words);
    }
    if (!scenario_->steps.empty()) {
      return fail("unknown word '" + word + "' in the story (expected one of: " +
                  std::string(kStoryWords) + "; the set-up comes before the first wake)");
    }
    return setup(words);
  }

  bool setup(const std::vector<std::string>& words) {
    const std::string& word = words[0];
    sim::board::BoardSetup& board = scenario_->board;
    if (word == "title") {
      scenario_->title = rest_after(line_, 1);
      return true;
    }
    if (word == "date") {
      const std::string text = rest_after(line_, 1);
      if (!parse_date_time(text, &board.startEpochMs)) {
        return fail("'" + text + "' is not a date and time such as 2024-06-01 12:00:00 (up to " +
                    "2037)");
      }
      return true;
    }
    if (word == "speed") {
      uint32_t speed = 0;
      if (!expect_count(words, 2, "speed N") || !number(words[1], &speed, "the speed")) {
        return false;
      }
      if (speed < 1 || speed > 1000) {
        return fail("the speed must be 1..1000");
      }
      board.speed = speed;
      return true;
    }
    std::size_t wordCount = 0;
    if (const sim::board::DirectiveSyntax* directive = find_part_directive(words, 0, &wordCount)) {
      if (!directive->setup) {
        return fail("'" + std::string(directive->word) + "' belongs to a wake-up: at TIME " +
                    std::string(directive->word) + " ...");
      }
      Scenario::PartSetup part;
      part.sourceLine = lineNumber_;
      if (!part_directive(*directive, words, wordCount, false, &part.action)) {
        return false;
      }
      scenario_->partSetup.push_back(std::move(part));
      return true;
    }
    return fail("unknown word '" + word + "' (expected one of: title, date, speed, wake, asleep" +
                part_words(false) + ")");
  }

  bool part_directive(const sim::board::DirectiveSyntax& directive,
                      const std::vector<std::string>& words, std::size_t first, bool timed,
                      sim::board::BoardAction* ret_action) {
    const std::vector<std::string> args(words.begin() + static_cast<std::ptrdiff_t>(first),
                                        words.end());
    std::string why;
    const auto parse =
        timed && directive.parseTimed != nullptr ? directive.parseTimed : directive.parse;
    if (parse(args, ret_action, &why) != 0) {
      return fail("'" + std::string(directive.word) + "': " + why +
                  " (usage: " + std::string(directive.usage) + ")");
    }
    return true;
  }

  bool wake(const std::vector<std::string>& words) {
    ScenarioStep step;
    step.wake.sourceLine = lineNumber_;
    if (words.size() < 2) {
      return fail(
          "'wake' takes the form: wake REASON [boot-reason N] [exp-reuse N] [adc N] "
          "[for TIME]");
    }
    if (!sim::board::parse_wake_reason(words[1], &step.wake.request.reason)) {
      return fail("unknown wake-up reason '" + words[1] +
                  "' (expected first-boot, sync, daily-sync, pir, timelapse, test-button or "
                  "instant-request)");
    }
    for (std::size_t i = 2; i < words.size(); i += 2) {
      if (i + 1 >= words.size()) {
        return fail("'" + words[i] + "' needs a value");
      }
      const std::string& option = words[i];
      const std::string& value = words[i + 1];
      sim::board::WakeUpRequest& request = step.wake.request;
      const bool good = option == "boot-reason" ? number(value, &request.bootReason, option)
                        : option == "exp-reuse" ? number(value, &request.expReuse, option)
                        : option == "adc"       ? number(value, &request.adc, option)
                        : option == "for"       ? duration(value, &step.wake.limit)
                                                : fail("unknown wake option '" + option +
                                                       "' (expected boot-reason, exp-reuse, adc or for)");
      if (!good) {
        return false;
      }
    }
    if (step.wake.limit.count() <= 0) {
      return fail("a wake-up lasts some time: 'for' takes more than 0");
    }
    stepLines_.push_back(lineNumber_);
    scenario_->steps.push_back(step);
    return true;
  }

  bool at(const std::vector<std::string>& words) {
    if (scenario_->steps.empty() || scenario_->steps.back().asleep) {
      return fail("'at' belongs to a wake-up: put it after a 'wake' line");
    }
    if (words.size() < 3) {
      return fail("'at' takes the form: at TIME EVENT");
    }
    ScenarioWake& wake = scenario_->steps.back().wake;
    ScenarioEvent event;
    event.sourceLine = lineNumber_;
    if (!duration(words[1], &event.at)) {
      return false;
    }
    if (event.at >= wake.limit) {
      return fail("at " + words[1] + " the wake-up of line " + std::to_string(wake.sourceLine) +
                  " is over (it lasts " + std::to_string(wake.limit.count()) +
                  " ms): give it a longer 'for'");
    }
    const std::string& what = words[2];
    std::size_t wordCount = 0;
    const sim::board::DirectiveSyntax* directive = find_part_directive(words, 2, &wordCount);
    if (what == "power-cut") {
      event.type = EventType::kPowerCut;
      if (!expect_count(words, 3, "at TIME power-cut")) {
        return false;
      }
    } else if (what == "note") {
      event.type = EventType::kNote;
      event.text = rest_after(line_, 3);
    } else if (directive != nullptr && directive->timed) {
      event.type = EventType::kPartAction;
      if (!part_directive(*directive, words, 2 + wordCount, true, &event.action)) {
        return false;
      }
    } else {
      return fail("unknown event '" + what + "' (expected one of: power-cut, note" +
                  part_words(true) + ")");
    }
    wake.events.push_back(event);
    return true;
  }

  std::string_view sourceName_;
  Scenario* scenario_;
  int lineNumber_ = 0;
  std::string_view line_;
  std::string error_;
  std::vector<int> stepLines_;  // the line of each step
  int lateLine_ = 0;
};

}  // namespace

int parse_scenario(std::string_view text, std::string_view sourceName, Scenario* ret_scenario,
                   std::string* ret_error) {
  Scenario scenario;
  // The board a scenario speaks of is made of the parts whose directives it uses.
  scenario.board.parts = sim::assembly::board_parts();
  Parser parser(sourceName, &scenario);
  if (parser.parse(text, ret_error) != 0) {
    return -1;
  }
  *ret_scenario = std::move(scenario);
  return 0;
}

int read_scenario_file(const std::string& path, std::string* ret_text, std::string* ret_error) {
  auto fail = [&](const std::string& why) {
    *ret_error = path + ": " + why;
    return -1;
  };
  // Opened without blocking, so that a pipe or a device nobody writes to is no trap.
  const int fd = open(path.c_str(), O_RDONLY | O_CLOEXEC | O_NONBLOCK | O_NOCTTY);
  if (fd < 0) {
    return fail(std::string("cannot be read: ") + strerror(errno));
  }
  struct stat info {};
  std::string text;
  int result = 0;
  if (fstat(fd, &info) != 0 || !S_ISREG(info.st_mode)) {
    result = fail("is not a regular file: a scenario is a text file");
  } else if (static_cast<std::size_t>(info.st_size) > kMaxScenarioBytes) {
    result = fail("is larger than 1 MiB: that is no scenario");
  } else {
    char buffer[65536];
    ssize_t got = 0;
    while (text.size() <= kMaxScenarioBytes && (got = read(fd, buffer, sizeof buffer)) > 0) {
      text.append(buffer, static_cast<std::size_t>(got));
    }
    if (got < 0 || text.size() > kMaxScenarioBytes) {
      result = fail(got < 0 ? std::string("cannot be read: ") + strerror(errno)
                            : "is larger than 1 MiB: that is no scenario");
    }
  }
  close(fd);
  if (result == 0) {
    *ret_text = std::move(text);
  }
  return result;
}

std::string_view scenario_format_help() {
  return kFormatHelp;
}

}  // namespace sim::camsim
