#include "sim/camsim/scenario.h"

#include <time.h>

#include <algorithm>
#include <array>
#include <span>
#include <sstream>

namespace sim::camsim {

using std::chrono::milliseconds;

namespace {

constexpr std::string_view kFormatHelp = R"(Scenario files
  One instruction per line; "#" starts a comment. Times are a number and a unit: 500ms, 2s,
  1.5s, 10m, 1h. Dates are UTC: 2024-06-01 12:00:00. First the board's set-up, then the story:
  wake-ups, each followed by its events, and pauses with the camera asleep.

Set-up
  title TEXT                      what the scenario shows
  date DATE TIME                  the camera's date and time at the start
  speed N                         time compression: board time runs N times as fast (1..1000)
  watchdog-limit TIME             the watchdog daemon reports a gap after this long
  tag NAMESPACE KEY VALUE         a boot tag in the factory tag store
  tag-store damaged               the tag store's checksum is broken
  tag-store markers T R S         the boot loader's verdicts tagbk, riscv_fw, sensor_setting_fw
  gpio LINE LEVEL                 an input: 43 or card-detect, 63 or format-button; 0 or 1
  mcu rtc valid DATE TIME | mcu rtc invalid   (the RTC starts at the date above unless given)
  mcu install-date DATE TIME | mcu install-date invalid
  mcu version TEXT                the MCU firmware version
  mcu camera-state REASON STATE   the state number the MCU reports after a REASON wake-up
  mcu adc battery|external|photodiode WHOLE DECIMAL | mcu adc NAME absent
  mcu fuel-gauge valid|invalid [index N]
  mcu fuel-gauge-entry SOURCE TYPE PERCENT VALUE   (the first replaces the default entry)
  mcu day | mcu night | mcu day-night invalid
  mcu wdm-reboot EPOCH | mcu wdm-reboot none
  fault mcu ...                   a fault on from the start (see below)

Story
  wake REASON [boot-reason N] [exp-reuse N] [adc N] [for TIME]
      powers the camera up; REASON is first-boot, sync, daily-sync, pir, timelapse,
      test-button or instant-request. The boot reason is 1 for pir, else 0. The power goes off
      when the MCU answers ready-to-sleep, or is cut when TIME (default 60s) has passed.
  at TIME EVENT                   an event TIME after the power-up of the wake-up above:
      pir | timelapse | test-button     the MCU's notification
      gpio LINE LEVEL                   drive an input
      fault mcu KIND [MEMBER] [count N] [delay TIME] [bytes N]
          KIND: no-answer, late-answer (needs delay), drop-answer, garbage, bad-checksum;
          MEMBER: the request member whose answers it spoils (default every one) or a
          notification (pir_detection_request, ...); count: how many messages (default all)
      clear-faults                      every MCU fault off
      power-cut                         cut the power at once
      date DATE TIME                    set the camera's date and time
      rtc valid | rtc invalid           the MCU's clock turns valid (at the camera's date)
      note TEXT                         a line in the record
  asleep TIME                     the camera sleeps; its date and the MCU's clock move on
)";

struct LineAlias {
  std::string_view name;
  int line;
};

constexpr std::array kInputAliases = {
    LineAlias{"card-detect", 43},
    LineAlias{"format-button", 63},
};

constexpr std::string_view kSetupWords =
    "title, date, speed, watchdog-limit, tag, tag-store, gpio, mcu, fault, wake, asleep";
constexpr std::string_view kStoryWords = "wake, asleep, at";
constexpr std::string_view kEventWords =
    "pir, timelapse, test-button, gpio, fault, clear-faults, power-cut, date, rtc, note";
constexpr std::string_view kMcuWords =
    "rtc, install-date, version, camera-state, adc, fuel-gauge, fuel-gauge-entry, day, night, "
    "day-night, wdm-reboot";

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
  const std::size_t last = line.find_last_not_of(" \t\r");
  return std::string(line.substr(position, last + 1 - position));
}

using sim::board::parse_number;

// Parses one file; each method handles one instruction and returns false with `error_` set.
class Parser {
 public:
  Parser(std::string_view sourceName, Scenario* scenario)
      : sourceName_(sourceName), scenario_(scenario) {}

  int parse(std::string_view text, std::string* ret_error) {
    std::size_t start = 0;
    while (start <= text.size()) {
      std::size_t end = text.find('\n', start);
      if (end == std::string_view::npos) {
        end = text.size();
      }
      ++lineNumber_;
      std::string_view line = text.substr(start, end - start);
      const std::size_t comment = line.find('#');
      if (comment != std::string_view::npos) {
        line = line.substr(0, comment);
      }
      line_ = line;
      const std::vector<std::string> words = split_words(line);
      if (!words.empty() && !instruction(words)) {
        if (ret_error != nullptr) {
          *ret_error = std::string(sourceName_) + ":" + std::to_string(lineNumber_) + ": " + error_;
        }
        return -1;
      }
      start = end + 1;
    }
    if (scenario_->steps.empty() ||
        std::none_of(scenario_->steps.begin(), scenario_->steps.end(),
                     [](const ScenarioStep& step) { return !step.asleep; })) {
      if (ret_error != nullptr) {
        *ret_error = std::string(sourceName_) + ": the scenario has no wake-up";
      }
      return -1;
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

  bool expect_count(const std::vector<std::string>& words, std::size_t count,
                    std::string_view form) {
    if (words.size() != count) {
      return fail("'" + words[0] + "' takes the form: " + std::string(form));
    }
    return true;
  }

  bool duration(const std::string& text, milliseconds* ret_duration) {
    if (!parse_duration(text, ret_duration)) {
      return fail("'" + text + "' is not a time (a number and a unit: 500ms, 2s, 10m, 1h)");
    }
    return true;
  }

  bool date_time(const std::vector<std::string>& words, std::size_t first, int64_t* ret_epochMs) {
    std::string text;
    if (words.size() == first + 2) {
      text = words[first] + " " + words[first + 1];
    } else if (words.size() == first + 1) {
      text = words[first];
    } else {
      return fail("expected a date and time such as 2024-06-01 12:00:00");
    }
    if (!parse_date_time(text, ret_epochMs)) {
      return fail("'" + text + "' is not a date and time such as 2024-06-01 12:00:00");
    }
    return true;
  }

  template <typename Number>
  bool number(const std::string& text, Number* ret_value, std::string_view what) {
    if (!parse_number(text, ret_value)) {
      return fail("'" + text + "' is not a number (" + std::string(what) + ")");
    }
    return true;
  }

  bool input_line(const std::string& text, int* ret_line) {
    for (const LineAlias& alias : kInputAliases) {
      if (alias.name == text) {
        *ret_line = alias.line;
        return true;
      }
    }
    int line = 0;
    const sim::board::GpioLine* known =
        parse_number(text, &line) ? sim::board::find_gpio_line(line) : nullptr;
    if (known == nullptr || !known->input) {
      return fail("'" + text + "' is not an input the board drives (43 card-detect, 63 " +
                  "format-button)");
    }
    *ret_line = line;
    return true;
  }

  bool level(const std::string& text, int* ret_level) {
    if (text != "0" && text != "1") {
      return fail("'" + text + "' is not a level (0 or 1)");
    }
    *ret_level = text == "1" ? 1 : 0;
    return true;
  }

  bool reason(const std::string& text, sim::WakeReason* ret_reason) {
    if (!sim::board::parse_wake_reason(text, ret_reason)) {
      return fail("unknown wake-up reason '" + text +
                  "' (expected first-boot, sync, daily-sync, pir, timelapse, test-button or "
                  "instant-request)");
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
    if (word == "title") {
      scenario_->title = rest_after(line_, 1);
      return true;
    }
    if (word == "date") {
      return date_time(words, 1, &scenario_->startEpochMs);
    }
    if (word == "speed") {
      uint32_t speed = 0;
      if (!expect_count(words, 2, "speed N") || !number(words[1], &speed, "the speed")) {
        return false;
      }
      if (speed < 1 || speed > 1000) {
        return fail("the speed must be 1..1000");
      }
      scenario_->speed = speed;
      return true;
    }
    if (word == "watchdog-limit") {
      milliseconds limit{0};
      if (!expect_count(words, 2, "watchdog-limit TIME") || !duration(words[1], &limit)) {
        return false;
      }
      scenario_->watchdogLimitMs = static_cast<int>(limit.count());
      return true;
    }
    if (word == "tag") {
      long value = 0;
      if (!expect_count(words, 4, "tag NAMESPACE KEY VALUE") ||
          !number(words[3], &value, "the tag's value")) {
        return false;
      }
      if (!sim::tagstore::valid_name(words[1]) || !sim::tagstore::valid_name(words[2])) {
        return fail("tag names are letters, digits and _");
      }
      scenario_->tags.push_back({words[1], words[2], value});
      return true;
    }
    if (word == "tag-store") {
      if (words.size() == 2 && words[1] == "damaged") {
        scenario_->tagStoreDamaged = true;
        return true;
      }
      sim::tagstore::Markers& markers = scenario_->markers;
      if (words.size() != 5 || words[1] != "markers") {
        return fail(
            "'tag-store' takes the form: tag-store damaged, or tag-store markers TAGBK "
            "RISCV_FW SENSOR_SETTING_FW");
      }
      return number(words[2], &markers.tagbk, "tagbk") &&
             number(words[3], &markers.riscv_fw, "riscv_fw") &&
             number(words[4], &markers.sensor_setting_fw, "sensor_setting_fw");
    }
    if (word == "gpio") {
      int line = 0;
      int value = 0;
      if (!expect_count(words, 3, "gpio LINE LEVEL") || !input_line(words[1], &line) ||
          !level(words[2], &value)) {
        return false;
      }
      scenario_->inputs[line] = value;
      return true;
    }
    if (word == "mcu") {
      return mcu(words);
    }
    if (word == "fault") {
      sim::McuFault fault;
      if (!fault_spec(words, 1, &fault)) {
        return false;
      }
      scenario_->faults.push_back(fault);
      return true;
    }
    if (const sim::board::DirectiveSyntax* directive = sim::board::find_directive(word)) {
      if (!directive->setup) {
        return fail("'" + word + "' belongs to a wake-up: at TIME " + word + " ...");
      }
      Scenario::PartSetup part;
      part.sourceLine = lineNumber_;
      return part_directive(*directive, words, 1, &part.action) &&
             (scenario_->partSetup.push_back(std::move(part)), true);
    }
    return fail("unknown word '" + word + "' (expected one of: " + std::string(kSetupWords) +
                part_words(false) + ")");
  }

  // The words a part of the board adds to the set-up or to the events of a wake-up.
  static std::string part_words(bool timed) {
    std::string words;
    for (const sim::board::PartRegistration& part : sim::board::board_parts()) {
      for (const sim::board::DirectiveSyntax& directive : part.directives) {
        if (timed ? directive.timed : directive.setup) {
          words += ", " + std::string(directive.word);
        }
      }
    }
    return words;
  }

  bool part_directive(const sim::board::DirectiveSyntax& directive,
                      const std::vector<std::string>& words, std::size_t first,
                      sim::board::BoardAction* ret_action) {
    const std::vector<std::string> args(words.begin() + static_cast<std::ptrdiff_t>(first),
                                        words.end());
    std::string why;
    if (directive.parse(args, ret_action, &why) != 0) {
      return fail("'" + std::string(directive.word) + "': " + why +
                  " (usage: " + std::string(directive.usage) + ")");
    }
    return true;
  }

  bool adc_value(const std::vector<std::string>& words, sim::McuAdcValue* ret_value) {
    if (words.size() == 4 && words[3] == "absent") {
      ret_value->present = false;
      return true;
    }
    if (words.size() != 5) {
      return fail("'mcu adc' takes the form: mcu adc NAME WHOLE DECIMAL, or mcu adc NAME absent");
    }
    ret_value->present = true;
    return number(words[3], &ret_value->whole, "the whole part") &&
           number(words[4], &ret_value->decimal, "the decimal part");
  }

  bool mcu(const std::vector<std::string>& words) {
    sim::McuSetup& mcu = scenario_->mcu;
    const std::string what = words.size() > 1 ? words[1] : "";
    if (what == "rtc" || what == "install-date") {
      bool& valid = what == "rtc" ? mcu.rtcValid : mcu.installDateValid;
      int32_t& epoch = what == "rtc" ? mcu.rtcEpoch : mcu.installEpoch;
      if (words.size() == 3 && words[2] == "invalid") {
        valid = false;
        return true;
      }
      int64_t epochMs = 0;
      if (words.size() < 3 || words[2] != "valid" || !date_time(words, 3, &epochMs)) {
        return error_.empty() ? fail("'mcu " + what + "' takes the form: mcu " + what +
                                     " valid DATE TIME, or mcu " + what + " invalid")
                              : false;
      }
      valid = true;
      epoch = static_cast<int32_t>(epochMs / 1000);
      scenario_->rtcGiven = scenario_->rtcGiven || what == "rtc";
      return true;
    }
    if (what == "version") {
      mcu.version = rest_after(line_, 2);
      if (mcu.version.empty() || mcu.version.size() > 31) {
        return fail("the MCU version is 1..31 characters");
      }
      return true;
    }
    if (what == "camera-state") {
      sim::WakeReason wakeReason;
      uint32_t state = 0;
      if (!expect_count(words, 4, "mcu camera-state REASON STATE") ||
          !reason(words[2], &wakeReason) || !number(words[3], &state, "the state")) {
        return false;
      }
      mcu.cameraStateFor[static_cast<std::size_t>(wakeReason)] = state;
      return true;
    }
    if (what == "adc") {
      const std::string name = words.size() > 2 ? words[2] : "";
      sim::McuAdcValue* value = name == "battery"      ? &mcu.batteryVoltage
                                : name == "external"   ? &mcu.externalVoltage
                                : name == "photodiode" ? &mcu.photodiodeRaw
                                                       : nullptr;
      if (value == nullptr) {
        return fail("'mcu adc' reads battery, external or photodiode");
      }
      return adc_value(words, value);
    }
    if (what == "fuel-gauge") {
      if ((words.size() != 3 && words.size() != 5) ||
          (words[2] != "valid" && words[2] != "invalid") ||
          (words.size() == 5 && words[3] != "index")) {
        return fail("'mcu fuel-gauge' takes the form: mcu fuel-gauge valid|invalid [index N]");
      }
      mcu.fuelGaugeValid = words[2] == "valid";
      return words.size() == 3 || number(words[4], &mcu.fuelGaugeIndex, "the index");
    }
    if (what == "fuel-gauge-entry") {
      sim::McuFuelGaugeEntry entry;
      if (!expect_count(words, 6, "mcu fuel-gauge-entry SOURCE TYPE PERCENT VALUE") ||
          !number(words[2], &entry.powerSource, "the power source") ||
          !number(words[3], &entry.batteryType, "the battery type") ||
          !number(words[4], &entry.batteryPercent, "the percentage") ||
          !number(words[5], &entry.field4, "the value")) {
        return false;
      }
      if (!fuelGaugeEntriesGiven_) {
        mcu.fuelGaugeEntries.clear();
        fuelGaugeEntriesGiven_ = true;
      }
      if (mcu.fuelGaugeEntries.size() == 6) {
        return fail("the fuel gauge holds at most 6 entries");
      }
      mcu.fuelGaugeEntries.push_back(entry);
      return true;
    }
    if (what == "day" || what == "night") {
      if (!expect_count(words, 2, "mcu day, or mcu night")) {
        return false;
      }
      mcu.dayNightValid = true;
      mcu.isNight = what == "night";
      return true;
    }
    if (what == "day-night") {
      if (words.size() != 3 || words[2] != "invalid") {
        return fail("'mcu day-night' takes the form: mcu day-night invalid");
      }
      mcu.dayNightValid = false;
      return true;
    }
    if (what == "wdm-reboot") {
      if (words.size() == 3 && words[2] == "none") {
        mcu.wdmRebooted = false;
        return true;
      }
      if (!expect_count(words, 3, "mcu wdm-reboot EPOCH, or mcu wdm-reboot none") ||
          !number(words[2], &mcu.wdmEpoch, "the epoch")) {
        return false;
      }
      mcu.wdmRebooted = true;
      mcu.wdmEpochValid = true;
      return true;
    }
    return fail("unknown 'mcu' set-up '" + what + "' (expected one of: " + std::string(kMcuWords) +
                ")");
  }

  // "fault mcu KIND [MEMBER] [count N] [delay TIME] [bytes N]" from words[first] on.
  bool fault_spec(const std::vector<std::string>& words, std::size_t first,
                  sim::McuFault* ret_fault) {
    if (words.size() < first + 2 || words[first] != "mcu") {
      return fail(
          "a fault takes the form: fault mcu KIND [MEMBER] [count N] [delay TIME] "
          "[bytes N]");
    }
    std::string why;
    if (sim::parse_fault(std::span(words).subspan(first + 1), sim::McuPeer::fault_member_known,
                         ret_fault, &why) != 0) {
      return fail(why);
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
    if (!reason(words[1], &step.wake.request.reason)) {
      return false;
    }
    for (std::size_t i = 2; i < words.size(); i += 2) {
      if (i + 1 >= words.size()) {
        return fail("'" + words[i] + "' needs a value");
      }
      const std::string& option = words[i];
      const std::string& value = words[i + 1];
      if (option == "boot-reason") {
        if (!number(value, &step.wake.request.bootReason, "the boot reason")) {
          return false;
        }
      } else if (option == "exp-reuse") {
        if (!number(value, &step.wake.request.expReuse, "exp-reuse")) {
          return false;
        }
      } else if (option == "adc") {
        if (!number(value, &step.wake.request.adc, "the ADC value")) {
          return false;
        }
      } else if (option == "for") {
        if (!duration(value, &step.wake.limit)) {
          return false;
        }
      } else {
        return fail("unknown wake option '" + option +
                    "' (expected boot-reason, exp-reuse, adc or for)");
      }
    }
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
    ScenarioEvent event;
    event.sourceLine = lineNumber_;
    if (!duration(words[1], &event.at)) {
      return false;
    }
    const std::string& what = words[2];
    if (what == "pir" || what == "timelapse" || what == "test-button" || what == "clear-faults" ||
        what == "power-cut") {
      if (words.size() != 3) {
        return fail("'" + what + "' takes nothing after it");
      }
      event.type = what == "pir"            ? EventType::kPir
                   : what == "timelapse"    ? EventType::kTimelapse
                   : what == "test-button"  ? EventType::kTestButton
                   : what == "clear-faults" ? EventType::kClearFaults
                                            : EventType::kPowerCut;
    } else if (what == "gpio") {
      event.type = EventType::kGpio;
      if (!expect_count(words, 5, "at TIME gpio LINE LEVEL") ||
          !input_line(words[3], &event.line) || !level(words[4], &event.level)) {
        return false;
      }
    } else if (what == "fault") {
      event.type = EventType::kFault;
      if (!fault_spec(words, 3, &event.fault)) {
        return false;
      }
    } else if (what == "date") {
      event.type = EventType::kDate;
      if (!date_time(words, 3, &event.epochMs)) {
        return false;
      }
    } else if (what == "rtc") {
      event.type = EventType::kRtc;
      if (words.size() != 4 || (words[3] != "valid" && words[3] != "invalid")) {
        return fail("'rtc' takes the form: at TIME rtc valid, or at TIME rtc invalid");
      }
      event.level = words[3] == "valid" ? 1 : 0;
    } else if (what == "note") {
      event.type = EventType::kNote;
      event.text = rest_after(line_, 3);
    } else if (const sim::board::DirectiveSyntax* directive = sim::board::find_directive(what);
               directive != nullptr && directive->timed) {
      event.type = EventType::kPartAction;
      if (!part_directive(*directive, words, 3, &event.action)) {
        return false;
      }
    } else {
      return fail("unknown event '" + what + "' (expected one of: " + std::string(kEventWords) +
                  part_words(true) + ")");
    }
    scenario_->steps.back().wake.events.push_back(event);
    return true;
  }

  std::string_view sourceName_;
  Scenario* scenario_;
  int lineNumber_ = 0;
  std::string_view line_;
  std::string error_;
  bool fuelGaugeEntriesGiven_ = false;
};

}  // namespace

int parse_scenario(std::string_view text, std::string_view sourceName, Scenario* ret_scenario,
                   std::string* ret_error) {
  Scenario scenario;
  Parser parser(sourceName, &scenario);
  if (parser.parse(text, ret_error) != 0) {
    return -1;
  }
  *ret_scenario = std::move(scenario);
  return 0;
}

std::string_view scenario_format_help() {
  return kFormatHelp;
}

}  // namespace sim::camsim
