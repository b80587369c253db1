// The scenario directives of the MCU part.
#include <array>
#include <span>

#include "sim/board/board.h"
#include "sim/board/directive_words.h"
#include "sim/mcu/mcu_part.h"

namespace sim::mcu {

namespace {

using Words = std::vector<std::string>;
using SetupChange = std::function<void(sim::McuSetup&)>;

int fail(std::string* ret_error, std::string why) {
  *ret_error = std::move(why);
  return -1;
}

McuPart& mcu(board::Board& board) {
  return *board.part<McuPart>();
}

board::BoardAction change_setup(SetupChange change) {
  return [change = std::move(change)](board::Board& board, std::string*) {
    mcu(board).update_setup(change);
    return 0;
  };
}

bool date_words(const Words& args, std::size_t first, int64_t* ret_epochMs) {
  if (args.size() == first + 2) {
    return board::parse_date_time(args[first] + " " + args[first + 1], ret_epochMs);
  }
  return args.size() == first + 1 && board::parse_date_time(args[first], ret_epochMs);
}

int parse_clock(const Words& args, board::BoardAction* ret_action, std::string* ret_error) {
  const bool rtc = args[0] == "rtc";
  if (args.size() == 2 && args[1] == "invalid") {
    *ret_action = rtc ? board::BoardAction([](board::Board& board, std::string*) {
      board.mcu().set_rtc(false, board.mcu().rtc_epoch());
      return 0;
    })
                      : change_setup([](sim::McuSetup& setup) { setup.installDateValid = false; });
    return 0;
  }
  int64_t epochMs = 0;
  if (args.size() < 2 || args[1] != "valid" || !date_words(args, 2, &epochMs)) {
    return fail(ret_error,
                "expected 'valid' and a date and time such as 2024-06-01 12:00:00 "
                "(up to 2037), or 'invalid'");
  }
  const auto epoch = static_cast<int32_t>(epochMs / 1000);
  *ret_action = rtc ? board::BoardAction([epoch](board::Board& board, std::string*) {
    board.mcu().set_rtc(true, epoch);
    return 0;
  })
                    : change_setup([epoch](sim::McuSetup& setup) {
                        setup.installDateValid = true;
                        setup.installEpoch = epoch;
                      });
  return 0;
}

int parse_adc(const Words& args, board::BoardAction* ret_action, std::string* ret_error) {
  const std::string name = args.size() > 1 ? args[1] : "";
  sim::McuAdcValue sim::McuSetup::*field = name == "battery"      ? &sim::McuSetup::batteryVoltage
                                           : name == "external"   ? &sim::McuSetup::externalVoltage
                                           : name == "photodiode" ? &sim::McuSetup::photodiodeRaw
                                                                  : nullptr;
  sim::McuAdcValue value;
  if (field == nullptr) {
    return fail(ret_error, "'mcu adc' reads battery, external or photodiode");
  }
  if (args.size() == 3 && args[2] == "absent") {
    value.present = false;
  } else if (args.size() != 4 || !board::parse_number(args[2], &value.whole) ||
             !board::parse_number(args[3], &value.decimal)) {
    return fail(ret_error, "expected 'mcu adc NAME WHOLE DECIMAL' or 'mcu adc NAME absent'");
  }
  *ret_action = change_setup([field, value](sim::McuSetup& setup) { setup.*field = value; });
  return 0;
}

int parse_mcu(const Words& args, board::BoardAction* ret_action, std::string* ret_error) {
  const std::string what = args.empty() ? "" : args[0];
  if (what == "rtc" || what == "install-date") {
    return parse_clock(args, ret_action, ret_error);
  }
  if (what == "adc") {
    return parse_adc(args, ret_action, ret_error);
  }
  if (what == "version") {
    std::string version;
    for (std::size_t i = 1; i < args.size(); ++i) {
      version += (i > 1 ? " " : "") + args[i];
    }
    if (version.empty() || version.size() > 31) {
      return fail(ret_error, "the MCU version is 1..31 characters");
    }
    *ret_action = change_setup([version](sim::McuSetup& setup) { setup.version = version; });
    return 0;
  }
  if (what == "camera-state") {
    sim::WakeReason reason;
    uint32_t state = 0;
    if (args.size() != 3 || !board::parse_wake_reason(args[1], &reason) ||
        !board::parse_number(args[2], &state)) {
      return fail(ret_error, "expected 'mcu camera-state REASON STATE'");
    }
    *ret_action = change_setup([reason, state](sim::McuSetup& setup) {
      setup.cameraStateFor[static_cast<std::size_t>(reason)] = state;
    });
    return 0;
  }
  if (what == "fuel-gauge") {
    uint32_t index = 0;
    if ((args.size() != 2 && args.size() != 4) || (args[1] != "valid" && args[1] != "invalid") ||
        (args.size() == 4 && (args[2] != "index" || !board::parse_number(args[3], &index)))) {
      return fail(ret_error, "expected 'mcu fuel-gauge valid|invalid [index N]'");
    }
    const bool valid = args[1] == "valid";
    const bool indexGiven = args.size() == 4;
    *ret_action = change_setup([valid, index, indexGiven](sim::McuSetup& setup) {
      setup.fuelGaugeValid = valid;
      if (indexGiven) {
        setup.fuelGaugeIndex = index;
      }
    });
    return 0;
  }
  if (what == "fuel-gauge-entry") {
    sim::McuFuelGaugeEntry entry;
    if (args.size() != 5 || !board::parse_number(args[1], &entry.powerSource) ||
        !board::parse_number(args[2], &entry.batteryType) ||
        !board::parse_number(args[3], &entry.batteryPercent) ||
        !board::parse_number(args[4], &entry.field4)) {
      return fail(ret_error, "expected 'mcu fuel-gauge-entry SOURCE TYPE PERCENT VALUE'");
    }
    *ret_action = [entry](board::Board& board, std::string* ret_why) {
      mcu(board).add_fuel_gauge_entry(entry);
      if (board.mcu().setup().fuelGaugeEntries.size() > 6) {
        *ret_why = "the fuel gauge holds at most 6 entries";
        return -1;
      }
      return 0;
    };
    return 0;
  }
  if ((what == "day" || what == "night") && args.size() == 1) {
    const bool night = what == "night";
    *ret_action = change_setup([night](sim::McuSetup& setup) {
      setup.dayNightValid = true;
      setup.isNight = night;
    });
    return 0;
  }
  if (what == "day-night" && args.size() == 2 && args[1] == "invalid") {
    *ret_action = change_setup([](sim::McuSetup& setup) { setup.dayNightValid = false; });
    return 0;
  }
  if (what == "wdm-reboot") {
    uint32_t epoch = 0;
    const bool none = args.size() == 2 && args[1] == "none";
    if (!none && (args.size() != 2 || !board::parse_number(args[1], &epoch))) {
      return fail(ret_error, "expected 'mcu wdm-reboot EPOCH' or 'mcu wdm-reboot none'");
    }
    *ret_action = change_setup([none, epoch](sim::McuSetup& setup) {
      setup.wdmRebooted = !none;
      setup.wdmEpochValid = !none;
      setup.wdmEpoch = epoch;
    });
    return 0;
  }
  return fail(ret_error, "unknown 'mcu' set-up '" + what +
                             "' (expected rtc, install-date, version, camera-state, adc, "
                             "fuel-gauge, fuel-gauge-entry, day, night, day-night, wdm-reboot)");
}

int parse_fault_mcu(const Words& args, board::BoardAction* ret_action, std::string* ret_error) {
  sim::McuFault fault;
  if (sim::parse_fault(args, sim::McuPeer::fault_member_known, &fault, ret_error) != 0) {
    return -1;
  }
  *ret_action = [fault](board::Board& board, std::string*) {
    board.mcu().add_fault(fault);
    board.part_event("mcu", sim::describe_fault("MCU", fault), {{"what", std::string("fault")}});
    return 0;
  };
  return 0;
}

int parse_clear_faults(const Words& args, board::BoardAction* ret_action, std::string* ret_error) {
  if (!args.empty()) {
    return fail(ret_error, "takes nothing after it");
  }
  *ret_action = [](board::Board& board, std::string*) {
    board.mcu().clear_faults();
    board.part_event("mcu", "MCU faults cleared", {{"what", std::string("fault")}});
    return 0;
  };
  return 0;
}

template <sim::McuNotification kKind>
int parse_notification(const Words& args, board::BoardAction* ret_action, std::string* ret_error) {
  if (!args.empty()) {
    return fail(ret_error, "takes nothing after it");
  }
  *ret_action = [](board::Board& board, std::string*) {
    sim::McuPeer& peer = board.mcu();
    const int id = kKind == sim::McuNotification::kPir         ? peer.notify_pir()
                   : kKind == sim::McuNotification::kTimelapse ? peer.notify_timelapse()
                                                               : peer.notify_test_button();
    constexpr std::array<std::string_view, 3> kNames = {"PIR", "time-lapse", "test-button"};
    const std::string name(kNames[static_cast<std::size_t>(kKind)]);
    board.part_event(
        "mcu",
        "MCU sends its " + name + " notification" +
            (id < 0 ? " - it could not be written" : " #" + std::to_string(id)),
        {{"what", std::string("notify")}, {"notification", name}, {"id", int64_t{id}}});
    return 0;
  };
  return 0;
}

int parse_rtc(const Words& args, board::BoardAction* ret_action, std::string* ret_error) {
  if (args.size() != 1 || (args[0] != "valid" && args[0] != "invalid")) {
    return fail(ret_error, "expected 'valid' or 'invalid'");
  }
  const bool valid = args[0] == "valid";
  *ret_action = [valid](board::Board& board, std::string*) {
    board.mcu().set_rtc(valid, static_cast<int32_t>(board.time().epoch_ms() / 1000));
    board.part_event("mcu", std::string("the MCU's clock turns ") + (valid ? "valid" : "invalid"),
                     {{"what", std::string("rtc")}, {"valid", valid}});
    return 0;
  };
  return 0;
}

constexpr std::array kDirectives = {
    board::DirectiveSyntax{
        "mcu",
        "mcu rtc valid DATE TIME | rtc invalid | install-date valid DATE TIME | "
        "install-date invalid | version TEXT | camera-state REASON STATE | "
        "adc battery|external|photodiode WHOLE DECIMAL | adc NAME absent | "
        "fuel-gauge valid|invalid [index N] | fuel-gauge-entry SOURCE TYPE PERCENT "
        "VALUE | day | night | day-night invalid | wdm-reboot EPOCH | wdm-reboot none",
        "what the MCU answers (its RTC starts at the board's date unless given)", true, false,
        parse_mcu},
    board::DirectiveSyntax{"fault mcu", "fault mcu KIND [MEMBER] [count N] [delay TIME] [bytes N]",
                           "KIND: no-answer, late-answer (needs delay), drop-answer, garbage, "
                           "bad-checksum; MEMBER: a request or notification (default every answer)",
                           true, true, parse_fault_mcu},
    board::DirectiveSyntax{"clear-faults", "clear-faults", "every MCU fault off", false, true,
                           parse_clear_faults},
    board::DirectiveSyntax{"pir", "pir", "the MCU's PIR notification", false, true,
                           parse_notification<sim::McuNotification::kPir>},
    board::DirectiveSyntax{"timelapse", "timelapse", "the MCU's time-lapse notification", false,
                           true, parse_notification<sim::McuNotification::kTimelapse>},
    board::DirectiveSyntax{"test-button", "test-button", "the MCU's test-button notification",
                           false, true, parse_notification<sim::McuNotification::kTestButton>},
    board::DirectiveSyntax{"rtc", "rtc valid | rtc invalid",
                           "the MCU's clock turns valid (at the camera's date) or invalid", false,
                           true, parse_rtc},
};

}  // namespace

const std::span<const board::DirectiveSyntax> kMcuDirectives = kDirectives;

}  // namespace sim::mcu
