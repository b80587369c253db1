// PIR wake-up to first snapshot, on the board at speed 1: each round is a fresh board woken by
// the PIR sensor, running camera_app_timed (camera_app with its media-library calls timed).
// Prints per round and as medians: the whole time from process load to the first snapshot
// written, the part spent inside the media library (sensor, ISP, frame pacing), the pauses of
// the ISP's running-mode switch, and the rest: the application's own work, of which the start-up
// before the photo bring-up begins is shown on its own.
#include <algorithm>
#include <chrono>
#include <cstdio>
#include <fstream>
#include <string>
#include <thread>
#include <vector>

#include "sim/assembly/board_assembly.h"
#include "sim/board/board.h"

#include "tests/support/file_lines.h"

namespace {

struct Round {
  long long total_us = 0;
  long long library_us = 0;
  long long paused_us = 0;
  long peak_rss_kb = 0;
  long long startup_us = 0;  // process load to the first media-library call
  long long own_us() const { return total_us - library_us - paused_us; }
};

bool run_round(const std::string& dir, Round* ret_round) {
  sim::board::BoardSetup setup;
  setup.parts = sim::assembly::board_parts();
  setup.runDir = dir;
  setup.speed = 1;
  setup.paths.cameraApp = CAMERA_APP_TIMED;
  std::string error;
  auto board = sim::board::Board::create(setup, &error);
  if (board == nullptr || board->wake({sim::WakeReason::kPir}, &error) != 0) {
    fprintf(stderr, "board: %s\n", error.c_str());
    return false;
  }
  const std::string timing = dir + "/config/first_snapshot_timing";
  const auto deadline = std::chrono::steady_clock::now() + std::chrono::seconds(60);
  Round round;
  bool found = false;
  while (!found && std::chrono::steady_clock::now() < deadline) {
    std::this_thread::sleep_for(std::chrono::milliseconds(50));
    std::ifstream in(timing);
    found = static_cast<bool>(in >> round.total_us >> round.library_us >> round.paused_us >>
                              round.peak_rss_kb >> round.startup_us);
  }
  board->cut_power("round over");
  board->wait_power_off(std::chrono::seconds(30));
  *ret_round = round;
  return found;
}

long long median(std::vector<long long> values) {
  std::sort(values.begin(), values.end());
  return values[values.size() / 2];
}

}  // namespace

int main(int argc, char** argv) {
  const int rounds = argc > 1 ? std::max(1, atoi(argv[1])) : 5;
  test_support::TempDir dir;
  std::vector<long long> total, library, paused, own, startup;
  printf("round  total_ms  library_ms  mode_pauses_ms  own_ms  (start-up_ms)  peak_rss_kB\n");
  for (int i = 0; i < rounds; ++i) {
    Round round;
    if (!run_round(dir.path() + "/round-" + std::to_string(i), &round)) {
      fprintf(stderr, "round %d: no snapshot\n", i);
      return 1;
    }
    printf("%5d  %8.1f  %10.1f  %14.1f  %6.1f  %13.1f  %11ld\n", i, round.total_us / 1e3,
           round.library_us / 1e3, round.paused_us / 1e3, round.own_us() / 1e3,
           round.startup_us / 1e3, round.peak_rss_kb);
    total.push_back(round.total_us);
    library.push_back(round.library_us);
    paused.push_back(round.paused_us);
    own.push_back(round.own_us());
    startup.push_back(round.startup_us);
  }
  printf("median %8.1f  %10.1f  %14.1f  %6.1f  %13.1f\n", median(total) / 1e3,
         median(library) / 1e3, median(paused) / 1e3, median(own) / 1e3, median(startup) / 1e3);
  return 0;
}
