#include "sim/sensor/sensor_part.h"

#include <fcntl.h>
#include <stdlib.h>
#include <unistd.h>

#include <algorithm>
#include <array>
#include <filesystem>
#include <fstream>

#include "sim/board/board.h"
#include "sim/board/directive_words.h"
#include "sim/sensor/nv12_png.h"

namespace sim::sensor {

namespace fs = std::filesystem;

namespace {

// Where the camera finds the part's folder.
constexpr char kSandboxFolder[] = "/run/board/sensor";

// The media library operations a fault can name.
constexpr std::array<std::string_view, 38> kOperations = {
    "IMP_System_Init",
    "IMP_System_Exit",
    "IMP_ISP_Open",
    "IMP_ISP_Close",
    "IMP_ISP_AddSensor",
    "IMP_ISP_DelSensor",
    "IMP_ISP_EnableSensor",
    "IMP_ISP_DisableSensor",
    "IMP_ISP_EnableTuning",
    "IMP_ISP_DisableTuning",
    "IMP_ISP_Tuning_SetContrast",
    "IMP_ISP_Tuning_SetBrightness",
    "IMP_ISP_Tuning_SetISPRunningMode",
    "IMP_ISP_Tuning_GetISPRunningMode",
    "IMP_ISP_Tuning_GetEVAttr",
    "IMP_ISP_Tuning_GetAeState",
    "IMP_ISP_Tuning_GetWB",
    "IMP_ISP_Tuning_SetEvStart",
    "IMP_FrameSource_CreateChn",
    "IMP_FrameSource_DestroyChn",
    "IMP_FrameSource_SetChnAttr",
    "IMP_FrameSource_GetChnAttr",
    "IMP_FrameSource_EnableChn",
    "IMP_FrameSource_DisableChn",
    "IMP_FrameSource_SetFrameDepth",
    "IMP_FrameSource_GetFrame",
    "IMP_FrameSource_ReleaseFrame",
    "IMP_OSD_SetPoolSize",
    "IMP_OSD_CreateGroup",
    "IMP_System_Bind",
    "IMP_Encoder_CreateGroup",
    "IMP_Encoder_CreateChn",
    "IMP_Encoder_RegisterChn",
    "IMP_Encoder_StartRecvPic",
    "IMP_Encoder_PollingStream",
    "IMP_Encoder_GetStream",
    "IMP_AI_PollingFrame",
    "IMP_AI_GetFrame",
};

// Writes a file of the folder whole, under a new name first, so the camera never reads half.
int write_whole(const std::string& path, const std::string& text) {
  const std::string temporary = path + ".new";
  {
    std::ofstream out(temporary, std::ios::trunc);
    out << text;
    if (!out) {
      return -1;
    }
  }
  std::error_code error;
  fs::rename(temporary, path, error);
  return error ? -1 : 0;
}

SensorPart* sensor_of(board::Board& board, std::string* ret_error) {
  SensorPart* part = board.part<SensorPart>();
  if (part == nullptr) {
    *ret_error = "the board has no sensor";
  }
  return part;
}

// Runs `change` on the board's sensor part.
template <typename Change>
board::BoardAction on_sensor(Change change) {
  return [change](board::Board& board, std::string* ret_error) {
    SensorPart* part = sensor_of(board, ret_error);
    if (part == nullptr) {
      return -1;
    }
    if (change(*part) != 0) {
      *ret_error = "cannot write the sensor's folder " + part->folder();
      return -1;
    }
    return 0;
  };
}

int parse_scene(const std::vector<std::string>& args, board::BoardAction* ret_action,
                std::string* ret_error) {
  if (args.size() == 1 && (args[0] == "day" || args[0] == "night")) {
    const bool night = args[0] == "night";
    *ret_action = on_sensor([night](SensorPart& part) { return part.set_night(night); });
    return 0;
  }
  if ((args.size() == 2 || args.size() == 3) && args[0] == "crossing" &&
      (args[1] == "deer" || args[1] == "none")) {
    int seconds = 8;
    if (args.size() == 3 &&
        (!board::parse_number(args[2], &seconds) || seconds < 1 || seconds > 600)) {
      *ret_error = "'" + args[2] + "' is not a crossing time in seconds (1 to 600)";
      return -1;
    }
    const bool crossing = args[1] == "deer";
    *ret_action = on_sensor(
        [crossing, seconds](SensorPart& part) { return part.set_crossing(crossing, seconds); });
    return 0;
  }
  *ret_error = "expected day, night, or crossing deer|none [SECONDS]";
  return -1;
}

int parse_imp_fault(const std::vector<std::string>& args, board::BoardAction* ret_action,
                    std::string* ret_error) {
  if (args.size() != 2 || (args[1] != "once" && args[1] != "always")) {
    *ret_error = "expected an IMP_ operation and once or always";
    return -1;
  }
  if (std::find(kOperations.begin(), kOperations.end(), args[0]) == kOperations.end()) {
    *ret_error = "'" + args[0] + "' is not a media library operation the board can fail";
    return -1;
  }
  const std::string operation = args[0];
  const bool always = args[1] == "always";
  *ret_action = on_sensor(
      [operation, always](SensorPart& part) { return part.add_fault(operation, always); });
  return 0;
}

int parse_frames(const std::vector<std::string>& args, board::BoardAction* ret_action,
                 std::string* ret_error) {
  if (args.size() != 1 || (args[0] != "stop" && args[0] != "run")) {
    *ret_error = "expected stop or run";
    return -1;
  }
  const bool stopped = args[0] == "stop";
  *ret_action = on_sensor([stopped](SensorPart& part) { return part.set_frames_stopped(stopped); });
  return 0;
}

int parse_exposure(const std::vector<std::string>& args, board::BoardAction* ret_action,
                   std::string* ret_error) {
  if (args.size() != 1 || (args[0] != "unstable" && args[0] != "normal")) {
    *ret_error = "expected unstable or normal";
    return -1;
  }
  const bool unstable = args[0] == "unstable";
  *ret_action =
      on_sensor([unstable](SensorPart& part) { return part.set_exposure_unstable(unstable); });
  return 0;
}

constexpr std::array kDirectives = {
    board::DirectiveSyntax{
        "scene", "scene day|night | scene crossing deer|none [SECONDS]",
        "the camera's view: daylight or dark, and whether a deer walks across it", true, true,
        parse_scene},
    board::DirectiveSyntax{
        "imp-fault", "imp-fault OPERATION once|always",
        "the media library operation (IMP_...) fails the next time, or every time", true, true,
        parse_imp_fault},
    board::DirectiveSyntax{"frames", "frames stop|run",
                           "the sensor stops delivering frames (readers time out), or runs again",
                           true, true, parse_frames},
    board::DirectiveSyntax{"exposure", "exposure unstable|normal",
                           "the auto exposure hunts and never settles, or settles again", true,
                           true, parse_exposure},
};

// "value" changes of a camera-driven GPIO line, as the GPIO part records them.
bool gpio_level(const board::BoardEvent& event, int* ret_line, std::string* ret_level) {
  if (event.kind != board::EventKind::kPart || event.part != "gpio" ||
      event.field("what") != "value") {
    return false;
  }
  return board::parse_number(event.field("line"), ret_line) &&
         (*ret_level = event.field("to"), true);
}

}  // namespace

const std::span<const board::DirectiveSyntax> kSensorDirectives = kDirectives;

std::unique_ptr<board::BoardPart> make_sensor_part() {
  return std::make_unique<SensorPart>();
}

SensorPart::~SensorPart() {
  {
    std::lock_guard lock(watch_->mutex);
    watch_->stopping = true;
  }
  watch_->wake.notify_all();
  if (thread_.joinable()) {
    thread_.join();
  }
}

int SensorPart::attach(board::Board& board, std::string* ret_error) {
  board_ = &board;
  folder_ = board.run_dir() + "/sensor";
  std::error_code error;
  fs::create_directories(folder_, error);
  // The filter is bistable: it stays where it was left, across power-ups. New boards come
  // with it in the day position.
  if (error || write_scene() != 0 || write_faults() != 0 ||
      write_whole(folder_ + "/ircut", "day\n") != 0 ||
      write_whole(folder_ + "/activity", "") != 0) {
    *ret_error = "cannot make the sensor's folder " + folder_;
    return -1;
  }
  watch_->folder = folder_;
  board.record().add_listener(
      [watch = watch_](const board::BoardEvent& event) { watch->on_event(event); });
  thread_ = std::thread([this] { recorder(); });
  return 0;
}

void SensorPart::sandbox_options(const board::WakeContext& wake, board::SandboxOptions* options) {
  (void)wake;
  options->insert(options->end(), {"--bind", folder_, kSandboxFolder});
}

namespace {

// A "dovu" tag the boot loader put on the kernel command line ("dovu_glow=1;"); -1 when absent.
long boot_tag(const std::string& cmdline, const std::string& tag) {
  const size_t at = cmdline.find(tag + "=");
  return at == std::string::npos ? -1 : strtol(cmdline.c_str() + at + tag.size() + 1, nullptr, 10);
}

// Number `index` of the bracketed list that ends the command line: boot reason, cap_mode,
// tag_corrupt, exp_reuse, prev_ir_mode, last_ev_value, adc. -1 when absent.
long boot_number(const std::string& cmdline, int index) {
  size_t at = cmdline.rfind(' ');
  for (int i = 0; at != std::string::npos && i <= index; ++i) {
    at = cmdline.find('[', at + 1);
  }
  return at == std::string::npos ? -1 : strtol(cmdline.c_str() + at + 1, nullptr, 10);
}

}  // namespace

int SensorPart::power_up(const board::WakeContext& wake, std::string* ret_error) {
  // The co-processor's boot firmware keeps a log of what it did before the application
  // started; /system/bin/riscvread prints it from /sys.
  std::string firmwareLog = "riscv: boot reason " + std::to_string(boot_number(wake.cmdline, 0)) +
                            ", capture mode " + std::to_string(boot_number(wake.cmdline, 1)) + "\n";
  // The boot firmware of a capture boot lights the IR LEDs (lowglow or noglow) when the
  // previous capture was at night, before the application starts; the application switches
  // them off after its snapshots.
  if (boot_number(wake.cmdline, 0) == 1 && boot_number(wake.cmdline, 4) == 1) {
    const int line = boot_tag(wake.cmdline, "dovu_glow") == 0 ? 50 : 49;
    std::ofstream(wake.sysDir + "/class/gpio/gpio" + std::to_string(line) + "/value") << "1\n";
    const std::string bank = line == 49 ? "lowglow" : "noglow";
    board_->part_event("sensor",
                       "IR LEDs " + bank + " on (boot firmware: the last capture was at night)",
                       {{"leds", bank}, {"on", true}});
    firmwareLog += "riscv: IR LEDs " + bank + " on\n";
  }
  // With exp_reuse the boot firmware programs the sensor with the last capture's exposure.
  const long lastEv = boot_number(wake.cmdline, 3) == 1 ? boot_number(wake.cmdline, 5) : 0;
  firmwareLog += "riscv: sensor exposure start " + std::to_string(lastEv > 0 ? lastEv : 0) + "\n";
  std::error_code made;
  fs::create_directories(wake.sysDir + "/devices/platform/riscv", made);
  if (write_whole(wake.sysDir + "/devices/platform/riscv/log", firmwareLog) != 0) {
    *ret_error = "cannot write the co-processor's log in " + wake.sysDir;
    return -1;
  }
  if (write_whole(folder_ + "/evstart", std::to_string(lastEv > 0 ? lastEv : 0) + "\n") != 0) {
    *ret_error = "cannot write the sensor's folder " + folder_;
    return -1;
  }
  {
    std::lock_guard lock(watch_->mutex);
    watch_->pulseStart[0] = watch_->pulseStart[1] = std::chrono::milliseconds{-1};
  }
  std::error_code error;
  fs::create_directories(wake.wakeDir + "/tmp", error);
  auto kept = [watch = watch_](const std::string& name, const std::string& copy, size_t size) {
    (void)copy;
    sim::sensor::FrameSize frame{};
    const bool whole = sim::sensor::frame_size_of(size, &frame);
    // The exposure the camera read last, normally the one of this frame.
    unsigned ev = 0, exposureUs = 0, again = 0, dgain = 0;
    std::ifstream exposure(watch->folder + "/exposure");
    std::string word;
    exposure >> word >> ev >> word >> exposureUs >> word >> again >> word >> dgain;
    char shown[96];
    snprintf(shown, sizeof(shown), ", ev %u, %u us, gain %.1fx", ev, exposureUs,
             again * static_cast<double>(dgain) / (1024.0 * 1024.0));
    watch->note("snapshot /tmp/" + name + " written (" +
                    (whole ? std::to_string(frame.width) + "x" + std::to_string(frame.height)
                           : std::to_string(size) + " bytes, not a whole frame") +
                    (exposure ? shown : "") + ")",
                {{"snapshot", name},
                 {"bytes", static_cast<int64_t>(size)},
                 {"ev", int64_t{ev}},
                 {"expr_us", int64_t{exposureUs}}});
  };
  if (snapshots_.start(wake.wakeDir + "/tmp", wake.wakeDir + "/.snapshots", kept) != 0) {
    *ret_error = "cannot watch " + wake.wakeDir + "/tmp for snapshots";
    return -1;
  }
  return 0;
}

int SensorPart::write_scene() {
  std::string text = std::string("light ") + (night_ ? "night" : "day") + "\ncrossing " +
                     (crossing_ ? "deer " : "none ") + std::to_string(crossingSeconds_) + "\n";
  return write_whole(folder_ + "/scene", text);
}

int SensorPart::write_faults() {
  std::string text;
  for (const Fault& fault : faults_) {
    text += "fail " + std::to_string(fault.id) + " " + fault.operation +
            (fault.always ? " always\n" : " once\n");
  }
  text += framesStopped_ ? "frames stop\n" : "frames run\n";
  text += exposureUnstable_ ? "exposure unstable\n" : "exposure normal\n";
  return write_whole(folder_ + "/faults", text);
}

int SensorPart::set_night(bool night) {
  night_ = night;
  board_->part_event("sensor", std::string("scene: ") + (night ? "night" : "day"),
                     {{"light", std::string(night ? "night" : "day")}});
  return write_scene();
}

int SensorPart::set_crossing(bool crossing, int seconds) {
  crossing_ = crossing;
  crossingSeconds_ = seconds;
  board_->part_event("sensor",
                     crossing ? "scene: a deer crosses in " + std::to_string(seconds) + " s"
                              : std::string("scene: nothing crosses"),
                     {{"crossing", crossing}, {"seconds", int64_t{seconds}}});
  return write_scene();
}

int SensorPart::add_fault(const std::string& operation, bool always) {
  faults_.push_back({nextFaultId_++, operation, always});
  board_->part_event("sensor", operation + (always ? " fails from now on" : " fails once"),
                     {{"operation", operation}, {"always", always}});
  return write_faults();
}

int SensorPart::set_frames_stopped(bool stopped) {
  framesStopped_ = stopped;
  board_->part_event("sensor", stopped ? "frames stop coming" : "frames come again",
                     {{"frames", std::string(stopped ? "stop" : "run")}});
  return write_faults();
}

int SensorPart::set_exposure_unstable(bool unstable) {
  exposureUnstable_ = unstable;
  board_->part_event("sensor", unstable ? "exposure never settles" : "exposure settles again",
                     {{"exposure", std::string(unstable ? "unstable" : "normal")}});
  return write_faults();
}

void SensorPart::Watch::note(std::string text, std::vector<board::Field> fields) {
  {
    std::lock_guard lock(mutex);
    notes.push_back({std::move(text), std::move(fields)});
  }
  wake.notify_one();
}

void SensorPart::Watch::on_event(const board::BoardEvent& event) {
  int line = 0;
  std::string level;
  if (!gpio_level(event, &line, &level)) {
    return;
  }
  if (line == 17) {
    note(level == "1" ? "sensor powered" : "sensor power off", {{"power", level == "1"}});
  } else if (line == 49 || line == 50) {
    const std::string bank = line == 49 ? "lowglow" : "noglow";
    note("IR LEDs " + bank + (level == "1" ? " on" : " off"),
         {{"leds", bank}, {"on", level == "1"}});
  } else if (line == 38 || line == 41) {
    // A pulse on 38 pulls the filter out (night), on 41 puts it in (day).
    const int coil = line == 38 ? 0 : 1;
    std::lock_guard lock(mutex);
    if (level == "1") {
      pulseStart[coil] = event.elapsed;
      return;
    }
    if (pulseStart[coil].count() < 0) {
      return;
    }
    const int64_t ms = (event.elapsed - pulseStart[coil]).count();
    pulseStart[coil] = std::chrono::milliseconds{-1};
    const std::string position = coil == 0 ? "night" : "day";
    write_whole(folder + "/ircut", position + "\n");
    notes.push_back({"IR-cut filter pulsed to the " + position + " position (GPIO " +
                         std::to_string(line) + ", " + std::to_string(ms) + " ms)",
                     {{"ircut", position}, {"line", int64_t{line}}, {"pulse_ms", ms}}});
    wake.notify_one();
  }
}

std::vector<std::string> SensorPart::Watch::new_activity() {
  std::vector<std::string> lines;
  std::ifstream file(folder + "/activity", std::ios::binary);
  file.seekg(static_cast<std::streamoff>(activityRead));
  std::string line;
  while (std::getline(file, line)) {
    if (file.eof()) {
      break;  // a line still being written: take it next time
    }
    activityRead += line.size() + 1;
    lines.push_back(line);
  }
  return lines;
}

void SensorPart::recorder() {
  Watch& watch = *watch_;
  std::unique_lock lock(watch.mutex);
  while (!watch.stopping) {
    // The media library's activity file is looked at every 50 ms (host time).
    watch.wake.wait_for(lock, std::chrono::milliseconds(50),
                        [&watch] { return watch.stopping || !watch.notes.empty(); });
    std::deque<Note> notes;
    notes.swap(watch.notes);
    lock.unlock();
    for (std::string& line : watch.new_activity()) {
      board_->part_event("sensor", line, {{"activity", line}});
    }
    for (Note& next : notes) {
      board_->part_event("sensor", std::move(next.text), std::move(next.fields));
    }
    lock.lock();
  }
}

void SensorPart::powered_off(const board::WakeContext& wake) {
  const std::vector<std::string> copies = snapshots_.stop();
  std::vector<std::string> made;
  for (const std::string& copy : copies) {
    // "3-snap2.yuv" -> snap2.png, or snap2-2.png for a second snap2 of this wake-up.
    const std::string file = fs::path(copy).filename().string();
    const std::string name = file.substr(file.find('-') + 1);
    const std::string stem = fs::path(name).stem().string();
    std::string png = wake.wakeDir + "/" + stem + ".png";
    for (int n = 2; std::find(made.begin(), made.end(), png) != made.end(); ++n) {
      png = wake.wakeDir + "/" + stem + "-" + std::to_string(n) + ".png";
    }
    std::string why;
    if (sim::sensor::convert_snapshot(copy, png, &why) != 0) {
      board_->part_event("sensor", "snapshot " + name + " not kept: " + why, {{"snapshot", name}});
      continue;
    }
    made.push_back(png);
    pictures_.push_back(png);
    const std::string shown =
        fs::path(png).parent_path().filename().string() + "/" + fs::path(png).filename().string();
    board_->part_event("sensor", "snapshot " + name + " kept as " + shown,
                       {{"snapshot", name}, {"png", png}});
  }
  std::error_code error;
  fs::remove_all(wake.wakeDir + "/.snapshots", error);
}

void SensorPart::report(const std::string& runDir, FILE* out) {
  (void)runDir;
  if (out == nullptr || pictures_.empty()) {
    return;
  }
  fprintf(out, "snapshots: %zu pictures, the first in %s\n", pictures_.size(),
          pictures_.front().c_str());
}

}  // namespace sim::sensor
