// Scenario directives of the Modem part: the Modem's behaviour and the server's set-up.
#include <charconv>
#include <sstream>

#include "sim/board/board.h"
#include "sim/board/directive_words.h"
#include "sim/modem/modem_part.h"

namespace sim::modem {

namespace {

using board::Board;
using board::BoardAction;
using google::protobuf::FieldDescriptor;
using google::protobuf::Message;

using SetupChange = std::function<int(ModemSetup&, std::string*)>;

// An action that changes the Modem's set-up (used at its next power-on).
BoardAction change_setup(SetupChange change) {
  return [change = std::move(change)](Board& board, std::string* ret_error) {
    ModemPart* part = board.part<ModemPart>();
    if (part == nullptr) {
      *ret_error = "the board has no Modem";
      return -1;
    }
    return part->change_setup(change, ret_error);
  };
}

int fail(std::string* ret_error, std::string why) {
  *ret_error = std::move(why);
  return -1;
}

template <typename Number>
bool number(const std::vector<std::string>& args, std::size_t at, Number* ret_value) {
  return at < args.size() && board::parse_number(args[at], ret_value);
}

// Sets one field of a message by a dotted path ("warningLEDConfig.timing.duration",
// "detectionSchedule.2.startTime.hour", "powerSources.1"); repeated fields grow to the index.
int set_field(Message& message, std::string_view path, const std::string& value,
              std::string* ret_error) {
  const std::size_t dot = path.find('.');
  const std::string name(path.substr(0, dot));
  const FieldDescriptor* field = message.GetDescriptor()->FindFieldByName(name);
  if (field == nullptr) {
    return fail(ret_error, "no configuration field " + name);
  }
  const google::protobuf::Reflection* reflection = message.GetReflection();
  std::string_view rest = dot == std::string_view::npos ? "" : path.substr(dot + 1);
  int index = -1;
  if (field->is_repeated()) {
    const std::size_t next = rest.find('.');
    if (!board::parse_number(rest.substr(0, next), &index) || index < 0 || index > 64) {
      return fail(ret_error, name + " needs an index: " + name + ".N");
    }
    rest = next == std::string_view::npos ? "" : rest.substr(next + 1);
    while (reflection->FieldSize(message, field) <= index) {
      if (field->cpp_type() == FieldDescriptor::CPPTYPE_MESSAGE) {
        reflection->AddMessage(&message, field);
      } else {
        reflection->AddUInt32(&message, field, 0);
      }
    }
  }
  if (field->cpp_type() == FieldDescriptor::CPPTYPE_MESSAGE) {
    Message* sub = index >= 0 ? reflection->MutableRepeatedMessage(&message, field, index)
                              : reflection->MutableMessage(&message, field);
    return set_field(*sub, rest, value, ret_error);
  }
  if (!rest.empty()) {
    return fail(ret_error, name + " has no fields");
  }
  int64_t parsed = 0;
  if (value == "true" || value == "false") {
    parsed = value == "true" ? 1 : 0;
  } else if (!board::parse_number(value, &parsed)) {
    return fail(ret_error, "not a number: " + value);
  }
  switch (field->cpp_type()) {
    case FieldDescriptor::CPPTYPE_UINT32:
      index >= 0
          ? reflection->SetRepeatedUInt32(&message, field, index, static_cast<uint32_t>(parsed))
          : reflection->SetUInt32(&message, field, static_cast<uint32_t>(parsed));
      return 0;
    case FieldDescriptor::CPPTYPE_INT32:
      reflection->SetInt32(&message, field, static_cast<int32_t>(parsed));
      return 0;
    case FieldDescriptor::CPPTYPE_BOOL:
      reflection->SetBool(&message, field, parsed != 0);
      return 0;
    default:
      return fail(ret_error, name + " cannot be set here");
  }
}

int parse_modem_setting(const std::vector<std::string>& args, BoardAction* ret_action,
                        std::string* ret_error) {
  const std::string& what = args[0];
  uint32_t value = 0;
  int32_t epoch = 0;
  if (what == "model" && number(args, 1, &value)) {
    *ret_action = change_setup([value](ModemSetup& s, std::string*) {
      s.deviceModel = value;
      return 0;
    });
  } else if (what == "clock" && args.size() == 2) {
    const std::string how = args[1];
    if (how != "invalid" && how != "none" && !board::parse_number(how, &epoch)) {
      return fail(ret_error, "modem clock EPOCH|invalid|none");
    }
    *ret_action = change_setup([how, epoch](ModemSetup& s, std::string*) {
      s.sendClock = how != "none";
      s.clockValid = how != "invalid";
      if (how != "none" && how != "invalid") {
        s.clockEpoch = epoch;
        s.clockFromBoard = false;
      }
      return 0;
    });
  } else if (what == "searching" && args.size() >= 2) {
    int reports = -1;
    std::chrono::milliseconds every{2000};
    if (args[1] != "forever" && !board::parse_number(args[1], &reports)) {
      return fail(ret_error, "modem searching N|forever [every TIME]");
    }
    if (args.size() == 4 && (args[2] != "every" || !board::parse_duration(args[3], &every))) {
      return fail(ret_error, "modem searching N|forever [every TIME]");
    }
    *ret_action = change_setup([reports, every](ModemSetup& s, std::string*) {
      s.sync.searchingReports = reports;
      s.sync.searchInterval = every;
      return 0;
    });
  } else if (what == "signal" && number(args, 1, &value)) {
    *ret_action = change_setup([value](ModemSetup& s, std::string*) {
      s.sync.signalStrength = value;
      return 0;
    });
  } else if (what == "sync" && args.size() >= 2) {
    const bool error = args[1] == "error";
    if (args[1] == "status" && !number(args, 2, &value)) {
      return fail(ret_error, "modem sync ok|error|status N");
    }
    *ret_action = change_setup([error, value](ModemSetup& s, std::string*) {
      s.sync.error = error;
      s.sync.finalStatusOverride = value;
      return 0;
    });
  } else if (what == "upload" && args.size() == 2 && args[1] == "fails") {
    *ret_action = change_setup([](ModemSetup& s, std::string*) {
      s.sync.uploadFails = true;
      return 0;
    });
  } else if (what == "no-card") {
    *ret_action = change_setup([](ModemSetup& s, std::string*) {
      s.sync.askCard = false;
      return 0;
    });
  } else if (what == "reboot" && args.size() == 2) {
    const bool midSync = args[1] == "mid-sync";
    if (!midSync && !board::parse_number(args[1], &value)) {
      return fail(ret_error, "modem reboot mid-sync|REASON");
    }
    *ret_action = change_setup([midSync, value](ModemSetup& s, std::string*) {
      if (midSync) {
        s.sync.rebootMidSync = true;
      } else {
        s.rebootReport = ModemRebootReport{true, 1704067000, value};
      }
      return 0;
    });
  } else if (what == "format" && args.size() == 4) {
    ModemFormatRequest format;
    if (!number(args, 1, &format.value) || (args[2] != "0" && args[2] != "1") ||
        (args[3] != "0" && args[3] != "1")) {
      return fail(ret_error, "modem format VALUE 0|1 0|1");
    }
    format.validation = args[2] == "1";
    format.format = args[3] == "1";
    *ret_action = change_setup([format](ModemSetup& s, std::string*) {
      s.formatRequest = format;
      return 0;
    });
  } else if (what == "query" && number(args, 1, &value)) {
    *ret_action = change_setup([value](ModemSetup& s, std::string*) {
      s.instantQuery = value;
      return 0;
    });
  } else {
    return fail(ret_error, "unknown modem setting: " + what);
  }
  return 0;
}

}  // namespace

int parse_modem_directive(const std::vector<std::string>& args, BoardAction* ret_action,
                          std::string* ret_error) {
  if (args.empty()) {
    return fail(ret_error, "modem needs a setting");
  }
  if (args[0] != "fault") {
    return parse_modem_setting(args, ret_action, ret_error);
  }
  PeerFault fault;
  if (parse_fault(std::span<const std::string>(args).subspan(1), ModemPeer::fault_member_known,
                  &fault, ret_error) != 0) {
    return -1;
  }
  *ret_action = [fault](Board& board, std::string* error) {
    ModemPart* part = board.part<ModemPart>();
    if (part == nullptr) {
      return fail(error, "the board has no Modem");
    }
    part->peer()->add_fault(fault);
    board.note(board::EventKind::kFault, describe_fault("Modem", fault));
    return 0;
  };
  return 0;
}

int parse_server_directive(const std::vector<std::string>& args, BoardAction* ret_action,
                           std::string* ret_error) {
  if (args.size() == 2 && args[0] == "password") {
    const std::string password = args[1];
    *ret_action = change_setup([password](ModemSetup& s, std::string*) {
      s.password = password;
      return 0;
    });
    return 0;
  }
  if (args.size() > 2 && args[0] == "password") {
    return fail(ret_error,
                "a password is one word: the scenario splits its lines at spaces and tabs");
  }
  if (args.size() == 1 && args[0] == "no-password") {
    *ret_action = change_setup([](ModemSetup& s, std::string*) {
      s.password.clear();
      return 0;
    });
    return 0;
  }
  if (args.size() == 3 && args[0] == "config") {
    // Checked now on a scratch copy, so that a bad path is reported with its line.
    kvt::CameraConfigurationResponse scratch = default_server_configuration();
    if (set_field(scratch, args[1], args[2], ret_error) != 0) {
      return -1;
    }
    const std::string path = args[1];
    const std::string value = args[2];
    *ret_action = change_setup([path, value](ModemSetup& s, std::string* error) {
      return set_field(s.configuration, path, value, error);
    });
    return 0;
  }
  return fail(ret_error, "server password TEXT | server no-password | server config FIELD VALUE");
}

}  // namespace sim::modem
