// The ERR lines of the camera's logs on the card that a season accepts: those of its normal work
// (the list of sim/README.md, "ERR lines every run shows", kept the same by a unit test) and
// those a fault the season injected in that wake-up explains. Any other ERR line a wake-up
// leaves on the card is a finding (invariant 5).
#pragma once

#include <array>
#include <map>
#include <string>
#include <string_view>
#include <vector>

#include "sim/season/season_check.h"
#include "sim/season/season_plan.h"

namespace sim::season {

struct NormalErrLine {
  std::string_view text;  // the line after "ERR : ", whole
  bool firstStartOnly;    // normal only on the first start of a fresh board
};

inline constexpr std::array kNormalErrLines = {
    NormalErrLine{"mount | grep -nri mmcblk0p1 > /dev/null: run fail, exit code [ 1 ]", false},
    NormalErrLine{"mount | grep -nri mmcblk0p2 > /dev/null: run fail, exit code [ 1 ]", false},
    NormalErrLine{"umount /sdcard/primary: run fail, exit code [ 32 ]", false},
    NormalErrLine{"umount /sdcard/secondary: run fail, exit code [ 32 ]", false},
    NormalErrLine{"ffmpeg -loglevel 1: run fail, exit code [ 1 ]", false},
    NormalErrLine{"rm -r /sdcard/secondary/DCIM/*DSCIM/*: run fail, exit code [ 1 ]", false},
    NormalErrLine{
        "mv /sdcard/secondary/TRANSMIT/* /sdcard/primary/TRANSMIT/: run fail, exit code [ 1 ]",
        false},
    NormalErrLine{"Config: file not accessible", true},
    NormalErrLine{"Config: Failed to load primary configuration", true},
    NormalErrLine{"Config: Failed to load both backup configurations", true},
    NormalErrLine{"Config: Creating config files with defaults", true},
};

// An ERR line a fault explains: every line that starts with `start` and ends with `end`, in the
// wake-up of the fault or, `nextWakeUp`, in the one after it (what the camera finds at its next
// start).
struct FaultErrLine {
  Fault fault;
  std::string_view start;
  std::string_view end = {};
  bool nextWakeUp = false;
};

inline constexpr std::array kFaultErrLines = {
    // Rubbish between frames: one line for each byte that does not start a frame.
    FaultErrLine{Fault::kModemGarbling, "ERROR : modem_uart val "},
    FaultErrLine{Fault::kMcuGarbling, "ERROR : mcu_uart val "},
    // The card out of its slot when the camera looks for it.
    FaultErrLine{Fault::kCardPulled, "ERROR : SD NOT INSERTED:"},
    FaultErrLine{Fault::kCardPulled, "ERROR : SD-CARD NOT INSERTED"},
    // A card filled by other files: the oldest-media rule finds no media to remove.
    FaultErrLine{Fault::kCardFull, "ERROR : No media found to remove."},
    // A locked card: the camera says so each time it looks at the card.
    FaultErrLine{Fault::kCardReadOnly, "ERROR : SD CARD IS READ ONLY:"},
    // A capture that lost the card or its power: the next start finds its marker and clears
    // what it left.
    FaultErrLine{Fault::kPowerCut, "Capture ", " was cut short", true},
    FaultErrLine{Fault::kCardCut, "Capture ", " was cut short", true},
    FaultErrLine{Fault::kCardPulled, "Capture ", " was cut short", true},
    // The same start removes what such a capture left beside its pictures, and a picture it
    // left whole in name only.
    FaultErrLine{Fault::kPowerCut, "Removed ", ": left over by a power loss", true},
    FaultErrLine{Fault::kCardCut, "Removed ", ": left over by a power loss", true},
    FaultErrLine{Fault::kCardPulled, "Removed ", ": left over by a power loss", true},
    FaultErrLine{Fault::kPowerCut, "Removed ", ": cut short by a power loss", true},
    FaultErrLine{Fault::kCardCut, "Removed ", ": cut short by a power loss", true},
    FaultErrLine{Fault::kCardPulled, "Removed ", ": cut short by a power loss", true},
};

// The camera's repair of a partition (before a sync) exits 1 when it mended something. That is
// its normal work on a partition the board's own fsck.fat -n did not accept at the start of the
// wake-up, whichever wake-up damaged it: a dirty bit stays until a repair clears it.
inline constexpr std::string_view kRepairStart = "/system/bin/fsck.fat -y /dev/";
inline constexpr std::string_view kRepairEnd = ": run fail, exit code [ 1 ]";

// The text after "ERR : " of a log line, empty when the line is not at ERR.
std::string_view err_text(std::string_view line);

// Keeps the ERR lines of the log text `log` as the lines of the log file `name` in `errLines`.
// A name already there keeps the longer list: a log is only appended to, and packing moves it
// from the logs folder into an archive, so the same log may be seen in both for a moment.
void add_log_err_lines(const std::string& name, std::string_view log,
                       std::map<std::string, std::vector<std::string>>& errLines);

// The same for each log an archive of the logs folder (`tar`, the bytes of logs.N.tar) holds:
// the lines a wake-up logged before it packed the folder are only there.
void add_tar_err_lines(std::string_view tar,
                       std::map<std::string, std::vector<std::string>>& errLines);

// The ERR lines `after`'s logs hold that `before`'s did not (a log file is only appended to; one
// that shrank was started anew).
std::vector<std::string> new_err_lines(const CardView& before, const CardView& after);

// Invariant 5's ERR lines: each of `lines` that is neither normal work nor explained by one of
// `faults` (or of `faultsBefore`, those of the wake-up before), nor a repair of a partition
// `fsckBefore` (the board's fsck report at the wake-up's start) found not clean, is a finding.
// `firstStart`: the board's first wake-up.
std::vector<Finding> check_err_lines(const std::vector<std::string>& lines,
                                     const std::vector<Fault>& faults,
                                     const std::vector<Fault>& faultsBefore, bool firstStart,
                                     int wake, std::string_view fsckBefore = {});

}  // namespace sim::season
