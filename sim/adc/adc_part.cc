#include "sim/adc/adc_part.h"

#include <fcntl.h>
#include <unistd.h>

#include <array>
#include <filesystem>

#include "sim/adc/thermistor.h"
#include "sim/board/board.h"
#include "sim/board/directive_words.h"

namespace sim::adc {

namespace {

constexpr char kDeviceNode[] = "/dev/jz_adc_aux_0";
// The thermistor's working range, a little beyond what the camera accepts.
constexpr int kLowest = -50;
constexpr int kHighest = 130;

AdcPart* adc_of(board::Board& board, std::string* ret_error) {
  AdcPart* part = board.part<AdcPart>();
  if (part == nullptr) {
    *ret_error = "the board has no ADC";
  }
  return part;
}

int parse_temperature(const std::vector<std::string>& args, board::BoardAction* ret_action,
                      std::string* ret_error) {
  int celsius = 0;
  if (args.size() != 1 || !board::parse_number(args[0], &celsius) || celsius < kLowest ||
      celsius > kHighest) {
    *ret_error = "expected degrees Celsius, a whole number from " + std::to_string(kLowest) +
                 " to " + std::to_string(kHighest);
    return -1;
  }
  *ret_action = [celsius](board::Board& board, std::string* ret_why) {
    AdcPart* part = adc_of(board, ret_why);
    if (part == nullptr) {
      return -1;
    }
    if (part->set_temperature(celsius) != 0) {
      *ret_why = "cannot write the ADC device file";
      return -1;
    }
    return 0;
  };
  return 0;
}

int parse_adc(const std::vector<std::string>& args, board::BoardAction* ret_action,
              std::string* ret_error) {
  if (args.size() != 1 || (args[0] != "missing" && args[0] != "present")) {
    *ret_error = "expected missing or present";
    return -1;
  }
  const bool missing = args[0] == "missing";
  *ret_action = [missing](board::Board& board, std::string* ret_why) {
    AdcPart* part = adc_of(board, ret_why);
    if (part == nullptr) {
      return -1;
    }
    part->set_missing(missing);
    return 0;
  };
  return 0;
}

constexpr std::array kDirectives = {
    board::DirectiveSyntax{"temperature", "temperature C",
                           "the air around the camera in degrees Celsius; its thermistor follows",
                           true, true, parse_temperature},
    board::DirectiveSyntax{
        "adc", "adc missing|present",
        "the ADC driver is not loaded (no /dev/jz_adc_aux_0) from the next power-up, "
        "or is again",
        true, false, parse_adc},
};

}  // namespace

const std::span<const board::DirectiveSyntax> kAdcDirectives = kDirectives;

std::unique_ptr<board::BoardPart> make_adc_part() {
  return std::make_unique<AdcPart>();
}

int AdcPart::attach(board::Board& board, std::string* ret_error) {
  board_ = &board;
  const std::string folder = board.run_dir() + "/adc";
  std::error_code error;
  std::filesystem::create_directories(folder, error);
  device_ = folder + "/jz_adc_aux_0";
  millivolts_ = sim::adc::millivolts_for(celsius_);
  if (error || write_device() != 0) {
    *ret_error = "cannot make the ADC device file " + device_;
    return -1;
  }
  return 0;
}

void AdcPart::sandbox_options(const board::WakeContext& wake, board::SandboxOptions* options) {
  (void)wake;
  if (!missing_) {
    options->insert(options->end(), {"--ro-bind", device_, kDeviceNode});
  }
}

int AdcPart::power_up(const board::WakeContext& wake, std::string* ret_error) {
  (void)wake;
  if (missing_) {
    board_->part_event("adc", "no ADC driver: /dev/jz_adc_aux_0 is missing", {{"missing", true}});
    return 0;
  }
  if (write_device() != 0) {
    *ret_error = "cannot write the ADC device file " + device_;
    return -1;
  }
  return 0;
}

int AdcPart::set_temperature(double celsius) {
  celsius_ = celsius;
  millivolts_ = sim::adc::millivolts_for(celsius);
  char text[96];
  snprintf(text, sizeof(text), "temperature %.0f C: the thermistor divider gives %d mV", celsius,
           static_cast<int>(millivolts_));
  board_->part_event(
      "adc", text,
      {{"celsius", static_cast<int64_t>(celsius)}, {"millivolts", int64_t{millivolts_}}});
  return write_device();
}

void AdcPart::set_missing(bool missing) {
  missing_ = missing;
}

// The device node is a bind of this file, so it is rewritten in place (same file, same
// length), never replaced or truncated: the pin's voltage in millivolts, as text.
int AdcPart::write_device() {
  const std::string text = sim::adc::device_text(millivolts_);
  int fd = open(device_.c_str(), O_WRONLY | O_CREAT | O_CLOEXEC, 0644);
  if (fd < 0) {
    return -1;
  }
  const bool written = pwrite(fd, text.data(), text.size(), 0) == static_cast<ssize_t>(text.size());
  close(fd);
  return written ? 0 : -1;
}

}  // namespace sim::adc
