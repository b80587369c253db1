// camsim season: lives a planned season on one board, wake-up by wake-up, checks the
// invariants (season_check.h) after each one, and writes the season's report.
//
// The out folder: board/ (the board's run folder), plan.txt (every wake-up as scenario text),
// season.json and season.html (the report), and on a broken invariant reproducer/: the card
// image, configuration partition and tag store as they were before the failing wake-up, and
// replay.scenario, which replays that wake-up in one `camsim run`.
#pragma once

#include <cstdint>
#include <string>
#include <vector>

#include "sim/board/board.h"
#include "sim/season/power_model.h"
#include "sim/season/season_check.h"
#include "sim/season/season_plan.h"

namespace sim::season {

struct SeasonOptions {
  int days = 2;
  uint64_t seed = 1;
  std::string profileText;  // empty: the default profile
  std::string profileName = "default profile";
  std::string outDir;
  sim::board::BoardPaths paths;
  bool quiet = false;
};

// One wake-up as the season lived it.
struct WakeRecord {
  int index = 0;  // 1: the first wake-up
  int day = 0;
  WakeKind kind = WakeKind::kPir;
  int64_t epochMs = 0;
  double awakeS = 0;
  double asleepS = 0;  // the sleep before it
  std::string end;     // "handshake", "injected cut", "budget", "camera exit"
  std::vector<std::string> faults;
  int pictures = 0;     // new complete photos (PICT*.JPG) on the card
  int videos = 0;       // new complete videos
  double cardFill = 0;  // the primary's used share at the end, 0..1
  DrawSeconds draws{};
  double chargeMah = 0;  // the power model's
  double hostS = 0;
  std::vector<std::string> tiles;  // contact-sheet tiles (PNG) of its new photos
};

struct SeasonResult {
  SeasonPlan plan;
  Profile profile;
  std::vector<WakeRecord> wakes;
  std::vector<Finding> findings;  // empty: every invariant held
  int failedWake = 0;             // the wake-up whose check failed (0: none)
  double hostSeconds = 0;
  int ledgerSize = 0;
  int removedByRule = 0;
  int removedByFormat = 0;
  int removedAfterCut = 0;  // left by a capture a cut interrupted
};

// Runs the season. Returns 0 when it ran to its end (findings or not), -1 with `ret_error` when
// the board or the profile could not be used.
int run_season(const SeasonOptions& options, SeasonResult* ret_result, std::string* ret_error);

// season.json and season.html in `dir`. Returns 0 or -1.
int write_season_report(const SeasonResult& result, const SeasonOptions& options,
                        const std::string& dir);

// The `camsim season` command (its words after "season"); the exit status.
int season_command(const std::vector<std::string>& args);

}  // namespace sim::season
