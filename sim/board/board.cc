#include "sim/board/board.h"

#include <sys/stat.h>
#include <sys/wait.h>
#include <unistd.h>

#include <array>
#include <cerrno>
#include <cstring>
#include <filesystem>
#include <fstream>
#include <sstream>
#include <thread>
#include <utility>

#include "sim/board/board_install_paths.h"
#include "sim/board/folder_snapshot.h"
#include "sim/board/process_stacks.h"
#include "sim/tagstore/boot_loader.h"

namespace sim::board {

namespace fs = std::filesystem;
using std::chrono::milliseconds;

namespace {

struct ReasonName {
  sim::WakeReason reason;
  std::string_view name;
};

constexpr std::array kReasonNames = {
    ReasonName{sim::WakeReason::kFirstBoot, "first-boot"},
    ReasonName{sim::WakeReason::kSync, "sync"},
    ReasonName{sim::WakeReason::kSyncDaily, "daily-sync"},
    ReasonName{sim::WakeReason::kPir, "pir"},
    ReasonName{sim::WakeReason::kTimelapse, "timelapse"},
    ReasonName{sim::WakeReason::kTestButton, "test-button"},
    ReasonName{sim::WakeReason::kInstantRequest, "instant-request"},
};

int write_text(const std::string& path, const std::string& text) {
  std::ofstream file(path, std::ios::trunc);
  file << text;
  return file.good() ? 0 : -1;
}

}  // namespace

BoardPaths default_board_paths() {
  BoardPaths paths;
  paths.imageDir = SIM_BOARD_IMAGE_DIR;
  paths.sandboxScript = SIM_BOARD_SANDBOX_SCRIPT;
  paths.clockShim = SIM_BOARD_CLOCK_SHIM;
  return paths;
}

std::string_view wake_reason_name(sim::WakeReason reason) {
  for (const ReasonName& entry : kReasonNames) {
    if (entry.reason == reason) {
      return entry.name;
    }
  }
  return "unknown";
}

bool parse_wake_reason(std::string_view name, sim::WakeReason* ret_reason) {
  for (const ReasonName& entry : kReasonNames) {
    if (entry.name == name) {
      *ret_reason = entry.reason;
      return true;
    }
  }
  return false;
}

std::unique_ptr<Board> Board::create(const BoardSetup& setup, std::string* ret_error) {
  std::unique_ptr<Board> board(new Board());
  if (board->build(setup, ret_error) != 0) {
    return nullptr;
  }
  return board;
}

int Board::build(const BoardSetup& setup, std::string* ret_error) {
  auto fail = [&](const std::string& what) {
    if (ret_error != nullptr) {
      *ret_error = what;
    }
    return -1;
  };
  // Parts are the caller's to give (sim/assembly has every part of the board): a board without
  // them would run the camera on the host's clock with nobody on its serial lines.
  if (setup.parts.empty()) {
    return fail(
        "the board was given no parts (BoardSetup::parts is empty; sim::assembly::board_parts() "
        "gives every part of the board)");
  }
  setup_ = setup;
  const BoardPaths defaults = default_board_paths();
  paths_.imageDir = setup.paths.imageDir.empty() ? defaults.imageDir : setup.paths.imageDir;
  paths_.sandboxScript =
      setup.paths.sandboxScript.empty() ? defaults.sandboxScript : setup.paths.sandboxScript;
  paths_.clockShim = setup.paths.clockShim.empty() ? defaults.clockShim : setup.paths.clockShim;
  paths_.cameraApp = setup.paths.cameraApp;
  // The sandbox starts elsewhere: every path it is given is absolute.
  for (std::string* path :
       {&paths_.imageDir, &paths_.sandboxScript, &paths_.clockShim, &paths_.cameraApp}) {
    std::error_code ignored;
    if (!path->empty()) {
      *path = fs::absolute(*path, ignored).string();
    }
  }
  for (const std::string* needed : {&paths_.sandboxScript, &paths_.clockShim}) {
    if (access(needed->c_str(), R_OK) != 0) {
      return fail("missing board part " + *needed);
    }
  }
  if (access((paths_.imageDir + "/bin/camera_app").c_str(), X_OK) != 0) {
    return fail("no board image at " + paths_.imageDir + " (build the board_image target)");
  }
  if (!paths_.cameraApp.empty() && access(paths_.cameraApp.c_str(), X_OK) != 0) {
    return fail("camera_app not found: " + paths_.cameraApp);
  }

  std::error_code error;
  const fs::path run = fs::absolute(setup.runDir, error);
  fs::create_directories(run, error);
  if (error) {
    return fail("cannot make the run folder " + setup.runDir + ": " + error.message());
  }
  if (fs::exists(run / "record.jsonl")) {
    return fail("the run folder " + run.string() + " holds an earlier run");
  }
  runDir_ = run.string();
  for (const char* dir : {"config", "sdcard", "sdcard/primary", "sdcard/secondary"}) {
    fs::create_directories(run / dir, error);
  }
  if (error) {
    return fail("cannot fill the run folder: " + error.message());
  }
  // The run keeps the image it started with: a build that replaces the image meanwhile does
  // not change the programs under a running camera.
  std::string snapshotWhy;
  if (snapshot_folder(paths_.imageDir, runDir_ + "/system", &snapshotWhy) != 0) {
    return fail("cannot copy the board image " + paths_.imageDir +
                " into the run folder: " + snapshotWhy);
  }
  paths_.imageDir = runDir_ + "/system";
  // So does the clock shim preloaded into the sandbox: a shim built for another layout of the
  // clock page would leave the camera on the host's clock.
  const std::string shim = runDir_ + "/" + fs::path(paths_.clockShim).filename().string();
  fs::copy_file(paths_.clockShim, shim, fs::copy_options::overwrite_existing, error);
  if (error) {
    return fail("cannot copy the clock shim into the run folder: " + error.message());
  }
  paths_.clockShim = shim;
  if (record_.open_file(runDir_ + "/record.jsonl") != 0) {
    return fail("cannot write " + runDir_ + "/record.jsonl");
  }
  record_.set_stamp([this](BoardEvent& event) {
    event.elapsed = time_.elapsed();
    event.boardEpochMs = time_.epoch_ms();
    std::lock_guard lock(mutex_);
    event.wake = wakeCount_;
  });

  std::string why;
  if (time_.create(runDir_ + "/clock", setup.speed, setup.startEpochMs, &why) != 0) {
    return fail(why);
  }

  for (std::size_t i = 0; i < lines_.size(); ++i) {
    SerialLine& line = lines_[i];
    if (sim::open_pty(&line.pty) != 0) {
      return fail(std::string("cannot open the serial lines: ") + strerror(errno));
    }
    // The clock counts the bytes on their way between the camera and the board's end.
    const int index = static_cast<int>(i);
    time_.watch_serial_line(index, line.pty.slavePath, line.pty.master);
    const auto [wrote, read] = time_.board_byte_counters(index);
    sim::meter_line(line.pty.master, wrote, read);
  }
  for (const PartRegistration& registration : setup.parts) {
    parts_.push_back(registration.make());
  }
  for (const std::unique_ptr<BoardPart>& part : parts_) {
    if (part->attach(*this, &why) != 0) {
      return fail("the board's " + std::string(part->name()) + " does not attach: " + why);
    }
  }
  if (mcu_ == nullptr) {
    return fail("none of the board's parts plays the MCU on ttyS1");
  }
  for (SerialLine& line : lines_) {
    if (!line.claimed) {
      listen_silently(line);
    }
  }

  const std::string pace = setup.speed > 0
                               ? "board time at most x" + std::to_string(setup.speed) + " host time"
                               : "board time as fast as the board works";
  add(EventKind::kSetup,
      "board ready: date " + format_board_time(setup.startEpochMs) + ", " + pace + ", run folder " +
          runDir_,
      {{"speed", int64_t{setup.speed}},
       {"start", format_board_time(setup.startEpochMs)},
       {"run_dir", runDir_}});
  return 0;
}

Board::~Board() {
  camera_.cut();
  camera_.join();
  listeners_.clear();
  // Parts go before the lines they use, the last made first: a part may use those before it.
  for (std::size_t i = parts_.size(); i-- > 0;) {
    std::unique_ptr<BoardPart> part;
    {
      std::unique_lock lock(partsMutex_);
      part = std::move(parts_[i]);
    }
    part.reset();
  }
  for (SerialLine& line : lines_) {
    sim::meter_line(line.pty.master, nullptr, nullptr);
    sim::close_pty(&line.pty);
  }
}

const sim::PtyPair* Board::claim_serial_line(std::string_view tty) {
  for (SerialLine& line : lines_) {
    if (line.tty == tty && !line.claimed && line.pty.master >= 0) {
      line.claimed = true;
      return &line.pty;
    }
  }
  return nullptr;
}

void Board::listen_silently(SerialLine& line) {
  // The camera's side of the line tells which message set it speaks.
  const bool modem = line.tty == "ttyS0";
  const std::string tty(line.tty);
  const std::string peer = modem ? "Modem" : "MCU";
  listeners_.push_back(std::make_unique<sim::SilentLineListener>(
      line.pty.master, modem ? "kvt.kvt_ISP2Modem" : "kvt.kvt_ISP2MCU",
      [this, tty, peer](const sim::SilentLineListener::Heard& heard) {
        std::string text = "camera -> " + peer + "  " + (heard.member.empty() ? "?" : heard.member);
        if (!heard.detail.empty()) {
          text += "  " + heard.detail;
        }
        text += "  (no " + peer + " on " + tty + ")";
        add(EventKind::kSerial, text,
            {{"line", tty},
             {"direction", "camera->" + std::string(peer == "MCU" ? "mcu" : "modem")},
             {"member", heard.member},
             {"detail", heard.detail},
             {"retry", false}});
      }));
}

void Board::add(EventKind kind, std::string text, std::vector<Field> fields) {
  // Time and wake-up are stamped by the record as it takes the event.
  BoardEvent event;
  event.kind = kind;
  event.text = std::move(text);
  event.fields = std::move(fields);
  record_.add(std::move(event));
}

void Board::part_event(std::string_view part, std::string text, std::vector<Field> fields) {
  BoardEvent event;
  event.kind = EventKind::kPart;
  event.part = std::string(part);
  event.text = std::move(text);
  event.fields = std::move(fields);
  record_.add(std::move(event));
}

void Board::note(EventKind kind, const std::string& text, std::vector<Field> fields) {
  add(kind, text, std::move(fields));
}

std::string Board::wake_dir(int wake) const {
  char name[32];
  snprintf(name, sizeof name, "/wake-%02d", wake);
  return runDir_ + name;
}

std::vector<std::string> Board::sandbox_options(const std::string& wakeDir,
                                                const std::string& cmdline) const {
  std::vector<std::string> options = {
      "--system",
      paths_.imageDir,
      "--config",
      runDir_ + "/config",
      "--sdcard",
      runDir_ + "/sdcard",
      "--tmp",
      wakeDir + "/tmp",
      "--sys",
      wakeDir + "/sys",
      "--tty",
      "ttyS0",
      lines_[0].pty.slavePath,
      "--tty",
      "ttyS1",
      lines_[1].pty.slavePath,
      "--cmdline",
      cmdline,
      "--ro-bind",
      wakeDir + "/kmsg",
      "/run/board/kmsg",
  };
  if (!paths_.cameraApp.empty()) {
    options.insert(options.end(), {"--ro-bind", paths_.cameraApp, "/system/bin/camera_app"});
  }
  for (const std::unique_ptr<BoardPart>& part : parts_) {
    part->sandbox_options(wakeContext_, &options);
  }
  return options;
}

int Board::wake(const WakeUpRequest& request, std::string* ret_error) {
  auto fail = [&](const std::string& what) {
    if (ret_error != nullptr) {
      *ret_error = what;
    }
    return -1;
  };
  int wake;
  {
    std::unique_lock lock(mutex_);
    if (powered_) {
      return fail("the camera is already powered");
    }
    // A cut made on another thread (the MCU's, after ready-to-sleep) may still be taking the
    // parts down: powering them up meanwhile would race with it.
    powerChanged_.wait(lock, [this] { return !cutting_; });
    wake = wakeCount_ + 1;
  }
  camera_.join();

  const std::string dir = wake_dir(wake);
  std::error_code error;
  fs::create_directories(dir + "/tmp", error);
  if (error) {
    return fail("cannot make " + dir + ": " + error.message());
  }
  fs::create_directories(dir + "/sys", error);

  sim::tagstore::WakeUp boot;
  boot.boot_reason = request.bootReason >= 0 ? request.bootReason
                                             : (request.reason == sim::WakeReason::kPir ? 1 : 0);
  boot.exp_reuse = request.expReuse;
  boot.adc = request.adc;
  const std::string cmdline = sim::tagstore::boot_cmdline(tag_store_path(), boot);
  write_text(dir + "/cmdline", cmdline + "\n");
  write_text(dir + "/kmsg",
             "[    0.000000] Linux version 3.10.14 (simulated board)\n"
             "[    0.000000] Kernel command line: " +
                 cmdline + "\n");
  {
    std::lock_guard lock(mutex_);
    wakeContext_ = WakeContext{wake, dir, dir + "/sys", cmdline};
  }
  for (const std::unique_ptr<BoardPart>& part : parts_) {
    std::string why;
    if (part->power_up(wakeContext_, &why) != 0) {
      return fail("the board's " + std::string(part->name()) + " does not power up: " + why);
    }
  }

  FILE* console = fopen((dir + "/console.log").c_str(), "we");
  FILE* errors = fopen((dir + "/stderr.log").c_str(), "we");
  time_.power_up();
  {
    std::lock_guard lock(mutex_);
    wakeCount_ = wake;
    wokeAt_ = time_.elapsed();
    wakeUsage_ = time_.usage();
    lastCmdline_ = cmdline;
    cutReason_.clear();
    console_ = console;
    errors_ = errors;
    powered_ = true;
  }
  mcu().set_wake_reason(request.reason);
  add(EventKind::kWake,
      "wake-up " + std::to_string(wake) + ": " + std::string(wake_reason_name(request.reason)) +
          " (boot reason " + std::to_string(boot.boot_reason) + ")",
      {{"reason", std::string(wake_reason_name(request.reason))},
       {"boot_reason", int64_t{boot.boot_reason}},
       {"exp_reuse", int64_t{boot.exp_reuse}},
       {"adc", int64_t{boot.adc}},
       {"cmdline", cmdline}});

  CameraLaunch launch;
  launch.sandboxScript = paths_.sandboxScript;
  launch.sandboxOptions = sandbox_options(dir, cmdline);
  for (const std::string& wrapper : cameraWrappers_) {
    launch.command = wrapper + " " + launch.command;
  }
  launch.watchdogCommand = watchdogCommand_ ? watchdogCommand_() : "";
  CameraProcess::Callbacks callbacks;
  callbacks.consoleLine = [this](const std::string& line) { on_console(line); };
  callbacks.errorLine = [this](const std::string& line) { on_error_line(line); };
  callbacks.watchdogLine = [this](const std::string& line) {
    if (watchdogLine_) {
      watchdogLine_(line);
    }
  };
  callbacks.ended = [this](bool cut, int status) { on_ended(cut, status); };
  std::string why;
  if (camera_.start(launch, std::move(callbacks), &why) != 0) {
    on_ended(true, 0);
    return fail(why);
  }
  return 0;
}

void Board::cut_power(std::string_view why) {
  cut_power_with_stacks(why, "");
}

void Board::cut_power_with_stacks(std::string_view why, const std::string& stacks) {
  {
    std::lock_guard lock(mutex_);
    if (!powered_ || !cutReason_.empty()) {
      return;
    }
    cutReason_ = why;
    cutting_ = true;
    // Taking the power away is the board's work: board time stands still until it is done.
    time_.hold();
    heldForPowerOff_ = true;
  }
  camera_.cut();
  std::vector<Field> fields{{"why", std::string(why)}};
  std::string text = "power cut: " + std::string(why);
  if (!stacks.empty()) {
    fields.push_back({"stacks", stacks});
    text += " (the camera's stacks: " + stacks + ")";
  }
  add(EventKind::kPowerCut, std::move(text), std::move(fields));
  // The MCU peer cuts the power from its own thread, which may run while the board takes its
  // parts down: parts already gone are passed over.
  const WakeContext wake = wake_context();
  {
    std::shared_lock lock(partsMutex_);
    for (const std::unique_ptr<BoardPart>& part : parts_) {
      if (part) {
        part->power_cut(wake);
      }
    }
  }
  // The camera's processes may be gone before the parts are down: the power is off, and a
  // new wake-up may begin, only once this is done too.
  {
    std::lock_guard lock(mutex_);
    cutting_ = false;
  }
  powerChanged_.notify_all();
}

WakeContext Board::wake_context() const {
  std::lock_guard lock(mutex_);
  return wakeContext_;
}

void Board::report_parts(FILE* out) {
  // Every part writes its outputs into the run folder whether or not anyone reads the report.
  FILE* sink = out != nullptr ? out : fopen("/dev/null", "we");
  for (const std::unique_ptr<BoardPart>& part : parts_) {
    part->report(runDir_, sink);
  }
  if (sink != out && sink != nullptr) {
    fclose(sink);
  }
}

void Board::on_ended(bool cut, int status) {
  int wake;
  std::string dir;
  {
    std::lock_guard lock(mutex_);
    wake = wakeCount_;
    dir = wake_dir(wake);
    if (!heldForPowerOff_) {
      time_.hold();
      heldForPowerOff_ = true;
    }
  }
  if (!cut) {
    std::string how = WIFEXITED(status) ? "exit status " + std::to_string(WEXITSTATUS(status))
                                        : "signal " + std::to_string(WTERMSIG(status));
    add(EventKind::kCameraExit, "camera_app ended by itself (" + how + ")",
        {{"status", int64_t{WIFEXITED(status) ? WEXITSTATUS(status) : -1}}});
  }
  for (const std::unique_ptr<BoardPart>& part : parts_) {
    part->powered_off(wake_context());
  }

  // The sandbox's first process has been reaped; the kernel is still killing the others of its
  // namespace. Power is off once none is left (bounded: a process stuck in the kernel must not
  // hang the board).
  for (int i = 0; i < 500 && camera_.processes_alive() > 0; ++i) {
    std::this_thread::sleep_for(milliseconds(10));
  }

  time_.power_off();
  note_wake_usage(wake);

  // The processor's RAM is gone; its log is kept as far as it reached the file.
  std::error_code error;
  fs::rename(dir + "/tmp/app.log", dir + "/app.log", error);
  fs::remove_all(dir + "/tmp", error);

  {
    std::lock_guard lock(mutex_);
    for (FILE** file : {&console_, &errors_}) {
      if (*file != nullptr) {
        fclose(*file);
        *file = nullptr;
      }
    }
    powered_ = false;
    heldForPowerOff_ = false;
    time_.release();
  }
  powerChanged_.notify_all();
}

bool Board::powered() const {
  std::lock_guard lock(mutex_);
  return powered_;
}

int Board::wake_count() const {
  std::lock_guard lock(mutex_);
  return wakeCount_;
}

milliseconds Board::woke_at() const {
  std::lock_guard lock(mutex_);
  return wokeAt_;
}

std::string Board::last_cmdline() const {
  std::lock_guard lock(mutex_);
  return lastCmdline_;
}

bool Board::wait_power_off(milliseconds hostTimeout) const {
  std::unique_lock lock(mutex_);
  return powerChanged_.wait_for(lock, hostTimeout, [this] { return !powered_ && !cutting_; });
}

bool Board::wait_awake_until(milliseconds at) {
  const milliseconds deadline = woke_at() + at;
  std::unique_lock lock(mutex_);
  return !time_.wait_until(lock, powerChanged_, deadline,
                           [this] { return !powered_ && !cutting_; });
}

bool Board::run_until_power_off(milliseconds boardLimit) {
  if (!wait_awake_until(boardLimit)) {
    return true;
  }
  if (time_.usage().workingNow) {
    add(EventKind::kClock,
        "warning: the wake-up's time ran out while the board was computing, not waiting",
        {{"budget_ms", int64_t{boardLimit.count()}}, {"computing", true}});
  }
  cut_power_with_stacks("the scenario's time for this wake-up is over", save_stacks());
  wait_power_off(std::chrono::minutes(1));
  return false;
}

std::string Board::save_stacks() {
  const std::vector<pid_t> processes = camera_.processes();
  if (processes.empty()) {
    return "";
  }
  // Looking is the board's work: board time stands still meanwhile.
  time_.hold();
  const std::string path = wake_dir(wake_count()) + "/stacks.txt";
  const std::string stacks = describe_stacks(processes);
  FILE* file = fopen(path.c_str(), "w");
  const bool saved = file != nullptr && fputs(stacks.c_str(), file) >= 0;
  if (file != nullptr) {
    fclose(file);
  }
  time_.release();
  return saved ? path : "";
}

int Board::processes_alive() const {
  return camera_.processes_alive();
}

void Board::note_wake_usage(int wake) {
  BoardTime::Usage start;
  milliseconds wokeAt;
  {
    std::lock_guard lock(mutex_);
    start = wakeUsage_;
    wokeAt = wokeAt_;
  }
  const BoardTime::Usage end = time_.usage();
  auto ms = [](std::chrono::nanoseconds span) {
    return std::chrono::duration_cast<milliseconds>(span).count();
  };
  const int64_t board = (time_.elapsed() - wokeAt).count();
  const int64_t host = ms(end.host - start.host);
  const int64_t working = ms(end.working - start.working);
  char text[192];
  snprintf(text, sizeof text,
           "wake-up %d took %.1f s of board time, %.1f s of host time (%.1f s of it computing)",
           wake, board / 1000.0, host / 1000.0, working / 1000.0);
  add(EventKind::kClock, text,
      {{"board_ms", board},
       {"host_ms", host},
       {"computing_ms", working},
       {"camera_cpu_ms", ms(end.cameraCpu - start.cameraCpu)},
       {"hardware_cpu_ms", ms(end.hardwareCpu - start.hardwareCpu)},
       {"jumps", end.jumps - start.jumps}});
}

void Board::pass_time_asleep(std::chrono::seconds duration) {
  const int64_t ms = std::chrono::duration_cast<milliseconds>(duration).count();
  time_.set_epoch_ms(time_.epoch_ms() + ms);
  mcu().set_rtc(mcu().rtc_valid(), mcu().rtc_epoch() + static_cast<int32_t>(duration.count()));
  add(EventKind::kClock, "asleep for " + std::to_string(duration.count()) + " s",
      {{"asleep_s", int64_t{duration.count()}}});
}

void Board::set_date(int64_t epochMs) {
  time_.set_epoch_ms(epochMs);
  mcu().set_rtc(mcu().rtc_valid(), static_cast<int32_t>(epochMs / 1000));
  add(EventKind::kClock, "date set to " + format_board_time(epochMs),
      {{"date", format_board_time(epochMs)}});
}

sim::McuPeer& Board::mcu() {
  return *mcu_;
}

void Board::set_mcu(sim::McuPeer* peer) {
  mcu_ = peer;
}

void Board::set_watchdog_daemon(std::function<std::string()> command,
                                std::function<void(const std::string&)> onLine) {
  watchdogCommand_ = std::move(command);
  watchdogLine_ = std::move(onLine);
}

}  // namespace sim::board
