// A part of the simulated board: one device (GPIO bank, card, Modem peer, ADC, ...) behind one
// small interface.
//
// The board calls every part at the same moments: once when it is built, for the sandbox
// options of each power-up, at the power-up itself, at the power cut, once every process of
// the wake-up has ended, and at the end of the scenario for its report. A part records what
// happens to it in the board's record, under an event kind of its own.
//
// A part also owns the scenario directives that talk about it. Each directive is a line of a
// scenario file whose first word names it ("card blank 8G", "at 2s card pull"); the part
// parses the rest of the line into an action that runs on the board at set-up or at its time.
// camsim learns the directives (for --help and check) from the list of parts, so adding a part
// is one folder and one line in the assembly's list (sim/assembly/board_assembly.cc).
//
// The board knows its parts only through this interface: the list of parts is put together
// above it (sim/assembly) and handed to Board::create in BoardSetup::parts.
#pragma once

#include <cstdio>
#include <functional>
#include <memory>
#include <span>
#include <string>
#include <string_view>
#include <vector>

namespace sim::board {

class Board;

// One power-up of the application processor, as the parts see it.
struct WakeContext {
  int wake = 0;         // 1 for the first power-up of the scenario
  std::string wakeDir;  // the run folder's wake-NN/
  std::string sysDir;   // what the sandbox mounts as /sys for this power-up
  std::string cmdline;  // the kernel command line of this power-up
};

// camera-sandbox options, as separate words: "--bind", HOST, DIR, "--dev-bind", ...
using SandboxOptions = std::vector<std::string>;

// A scenario directive, parsed and ready to run on the board. Returns 0, or -1 with a reason.
using BoardAction = std::function<int(Board& board, std::string* ret_error)>;

struct DirectiveSyntax {
  std::string_view word;   // the first word of the line: "card", "scene", "temperature"
  std::string_view usage;  // for camsim --help: "card blank SIZE | card none | ..."
  std::string_view help;   // one line for camsim --help
  bool setup = true;       // allowed before the first wake-up, as part of the board's set-up
  bool timed = false;      // allowed as "at TIME WORD ..." inside a wake-up
  // Parses the words after `word` into an action. On failure returns -1 and says what is
  // wrong (the caller adds the file and line).
  int (*parse)(const std::vector<std::string>& args, BoardAction* ret_action,
               std::string* ret_error) = nullptr;
  // Parses "at TIME WORD ..." lines when a wake-up takes fewer forms than the set-up (the
  // camera is on then); `parse` when null.
  int (*parseTimed)(const std::vector<std::string>& args, BoardAction* ret_action,
                    std::string* ret_error) = nullptr;
};

class BoardPart {
 public:
  virtual ~BoardPart() = default;

  // The part's name in the record and in messages ("card", "modem").
  virtual std::string_view name() const = 0;

  // The board is built: its run folder, clock and record exist, and every part has been made
  // (parts attach in the order of BoardSetup::parts). Returns 0, or -1 with a reason.
  virtual int attach(Board& board, std::string* ret_error) {
    (void)board;
    (void)ret_error;
    return 0;
  }
  // What the part adds to the sandbox of this power-up (binds, devices, environment).
  virtual void sandbox_options(const WakeContext& wake, SandboxOptions* options) {
    (void)wake;
    (void)options;
  }
  // The processor is about to be powered: make the part's files and nodes for this power-up.
  virtual int power_up(const WakeContext& wake, std::string* ret_error) {
    (void)wake;
    (void)ret_error;
    return 0;
  }
  // The supply was removed (by the MCU or the scenario); the processes are being killed.
  virtual void power_cut(const WakeContext& wake) { (void)wake; }
  // Every process of the power-up has ended: record what it left behind.
  virtual void powered_off(const WakeContext& wake) { (void)wake; }
  // The scenario is over: leave the part's outputs in the run folder and print a short
  // report for people on `out`, which is never null (nothing when there is nothing to say).
  virtual void report(const std::string& runDir, FILE* out) {
    (void)runDir;
    (void)out;
  }
};

// One part as the board is given it: its name, how to make it, the directives it owns.
struct PartRegistration {
  std::string_view name;
  std::unique_ptr<BoardPart> (*make)();
  std::span<const DirectiveSyntax> directives;
};

}  // namespace sim::board
