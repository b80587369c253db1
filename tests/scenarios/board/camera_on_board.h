// The real camera_app on a fresh board in a temporary run folder, for scenario tests, with
// helpers that wait on the board's record and on the camera's console.
#pragma once

#include <chrono>
#include <cstdio>
#include <cstdlib>
#include <filesystem>
#include <map>
#include <memory>
#include <string>
#include <string_view>
#include <vector>

#include <gtest/gtest.h>

#include "sim/assembly/board_assembly.h"
#include "sim/board/board.h"
#include "sim/camsim/scenario.h"
#include "sim/camsim/scenario_runner.h"
#include "sim/card/card_image.h"
#include "sim/card/card_part.h"

#include "tests/support/eventually.h"
#include "tests/support/file_lines.h"

namespace scenario_test {

// Generous bound for anything that must happen; never used to measure speed.
inline constexpr std::chrono::seconds kPatience{120};

using test_support::read_file;
using test_support::TempDir;

// What a sanitizer build prints when it finds something; none may appear.
inline bool has_sanitizer_report(const std::string& errors) {
  for (const char* mark :
       {"AddressSanitizer", "ThreadSanitizer", "LeakSanitizer", "runtime error:"}) {
    if (errors.find(mark) != std::string::npos) {
      return true;
    }
  }
  return false;
}

// The server's password as the factory wrote it into the configuration: quote, $() and ;.
inline constexpr const char* kPassword = "it's$(a)pw;";

inline int occurrences(const std::string& text, const std::string& part) {
  int found = 0;
  for (std::size_t at = text.find(part); at != std::string::npos;
       at = text.find(part, at + part.size())) {
    ++found;
  }
  return found;
}

// What `print` writes to the stream it is given.
template <typename Print>
std::string printed(Print print) {
  char* text = nullptr;
  std::size_t size = 0;
  FILE* out = open_memstream(&text, &size);
  print(out);
  fclose(out);
  std::string result(text, size);
  free(text);
  return result;
}

// `path` decrypted as the camera encrypts (AES-128-CBC with `password`) into `path`.plain,
// whose name is returned.
inline std::string decrypted(const std::string& path, const std::string& password = kPassword) {
  const std::string plain = path + ".plain";
  sim::card::run_program({"openssl", "enc", "-d", "-aes-128-cbc", "-in", path, "-out", plain,
                          "-pass", "pass:" + password});
  return plain;
}

// The first value (the DC step) of the JPEG's luminance quantisation table, as its DQT segment
// holds it; -1 when the file has none. libjpeg scales its standard table, whose first value is
// 16, by the quality: 16 at 50, 8 at 75, 255 at 1.
inline int luma_dc_quantiser(const std::string& jpeg) {
  const auto byte = [&jpeg](std::size_t at) { return static_cast<unsigned char>(jpeg[at]); };
  for (std::size_t at = 2; at + 4 < jpeg.size() && byte(at) == 0xFF;) {
    const std::size_t length = byte(at + 2) * 256u + byte(at + 3);
    if (byte(at + 1) == 0xDB && (byte(at + 4) & 0x0F) == 0 && at + 6 < jpeg.size()) {
      return (byte(at + 4) >> 4) == 0 ? byte(at + 5) : byte(at + 5) * 256 + byte(at + 6);
    }
    if (byte(at + 1) == 0xDA) {
      break;  // the picture data starts: no tables after it
    }
    at += 2 + length;
  }
  return -1;
}

// The luminance plane of the picture at `path`, scaled by ffmpeg to `width` x `height` with the
// scaler's `flags` ("neighbor", "fast_bilinear", ...); empty when it does not decode.
inline std::string luma_plane(const std::string& path, int width, int height,
                              const std::string& flags = "bilinear") {
  const std::string raw = path + "." + flags + ".yuv";
  const std::string scale =
      "scale=" + std::to_string(width) + ":" + std::to_string(height) + ":flags=" + flags;
  sim::card::run_program({"ffmpeg", "-loglevel", "quiet", "-y", "-i", path, "-vf", scale, "-f",
                          "rawvideo", "-pix_fmt", "gray", raw});
  std::string plane = read_file(raw);
  return plane.size() == static_cast<std::size_t>(width) * height ? plane : std::string();
}

// Mean absolute difference of two planes of the same size.
inline double plane_distance(const std::string& a, const std::string& b) {
  double sum = 0;
  for (std::size_t i = 0; i < a.size() && i < b.size(); ++i) {
    sum += std::abs(static_cast<unsigned char>(a[i]) - static_cast<unsigned char>(b[i]));
  }
  return a.empty() ? 0 : sum / static_cast<double>(a.size());
}

// A camsim scenario run in `runDir`: every event of its record in order, its result and the
// parts' end-of-run reports.
struct StoryRun {
  std::vector<sim::board::BoardEvent> events;
  sim::camsim::RunResult result;
  std::string reports;
};
inline StoryRun run_story(std::string_view text, const std::string& runDir) {
  StoryRun story;
  sim::camsim::Scenario scenario;
  std::string error;
  EXPECT_EQ(sim::camsim::parse_scenario(text, "test", &scenario, &error), 0) << error;
  sim::camsim::RunOptions options;
  options.runDir = runDir;
  options.listener = [&story](const sim::board::BoardEvent& event) {
    story.events.push_back(event);
  };
  story.reports = printed([&](FILE* out) {
    options.reportOut = out;
    EXPECT_EQ(sim::camsim::run_scenario(scenario, options, &story.result, &error), 0) << error;
  });
  return story;
}

// Counts the events of `kind` in the record, or of one part's lines of one kind ("what").
inline std::size_t count(sim::board::Board& board, sim::board::EventKind kind) {
  return board.record().events(kind).size();
}
inline std::size_t count(sim::board::Board& board, std::string_view part, std::string_view what) {
  std::size_t found = 0;
  for (const sim::board::BoardEvent& event : board.record().events(part)) {
    found += event.field("what") == what ? 1 : 0;
  }
  return found;
}

class CameraOnTheBoard : public ::testing::Test {
 protected:
  // A board of every part, in the test's run folder unless the setup names one.
  void make(sim::board::BoardSetup setup = {}) {
    setup.parts = sim::assembly::board_parts();
    if (setup.runDir.empty()) {
      setup.runDir = dir_.path() + "/run";
    }
    std::string error;
    board_ = sim::board::Board::create(setup, &error);
    ASSERT_NE(board_, nullptr) << error;
  }

  void wake(sim::WakeReason reason) {
    std::string error;
    ASSERT_EQ(board_->wake({reason}, &error), 0) << error;
  }

  bool wait_state(const std::string& state) {
    return board_->record().wait_for(
        [&](const sim::board::BoardEvent& event) {
          return event.kind == sim::board::EventKind::kState && event.field("to") == state;
        },
        kPatience);
  }

  // Waits until the record holds `count` lines of `part` of the kind `what` ("keepalive") from
  // the current wake-up.
  bool wait_part(std::string_view part, std::string_view what, std::size_t count) {
    const int wake = board_->wake_count();
    std::size_t seen = 0;
    return board_->record().wait_for(
        [&](const sim::board::BoardEvent& event) {
          return event.wake == wake && event.kind == sim::board::EventKind::kPart &&
                 event.part == part && event.field("what") == what && ++seen >= count;
        },
        kPatience);
  }

  sim::card::CardPart& card() { return *board_->part<sim::card::CardPart>(); }

  // Copies the host file `source` to `path` on partition `number` of the card with mtools.
  void copy_to_card(int number, const std::string& source, const std::string& path) {
    std::string volume;
    for (const sim::card::Partition& partition : sim::card::card_partitions(card().image())) {
      if (partition.number == number) {
        volume = card().image() + "@@" + std::to_string(partition.start);
      }
    }
    ASSERT_FALSE(volume.empty()) << "no partition " << number;
    // mmd makes one level at a time; folders already made only make it complain.
    for (std::size_t slash = path.find('/', 1); slash != std::string::npos;
         slash = path.find('/', slash + 1)) {
      sim::card::run_program({"mmd", "-i", volume, "::" + path.substr(0, slash)});
    }
    std::string output;
    ASSERT_EQ(sim::card::run_program({"mcopy", "-o", "-i", volume, source, "::" + path}, &output),
              0)
        << path << ": " << output;
  }

  // The files of the card's primary partition, copied out under `copy`: each path relative to
  // the partition ("DCIM/100DSCIM/PICT0001.JPG") with its bytes.
  std::map<std::string, std::string> primary_files(const std::string& copy) {
    sim::card::copy_card_files(card().image(), copy);
    std::map<std::string, std::string> files;
    for (const auto& entry : std::filesystem::recursive_directory_iterator(copy + "/primary")) {
      if (entry.is_regular_file()) {
        files[entry.path().lexically_relative(copy + "/primary").string()] =
            read_file(entry.path().string());
      }
    }
    return files;
  }

  // fsck.fat -n, run in `checkDir`, finds nothing to mend on any partition of the card.
  void expect_card_clean(const std::string& checkDir) {
    std::string report;
    EXPECT_TRUE(sim::card::check_card(card().image(), checkDir, &report)) << report;
  }

  // Cuts the power; every process of the wake-up is gone afterwards.
  void power_off() {
    board_->cut_power("test over");
    ASSERT_TRUE(board_->wait_power_off(kPatience));
    EXPECT_EQ(board_->processes_alive(), 0);
  }

  std::string wake_file(int wake, const char* name) const {
    return read_file(board_->wake_dir(wake) + "/" + name);
  }

  // The console of the wake-up so far.
  std::string console_now() const { return read_file(board_->wake_dir(1) + "/console.log"); }

  // Waits (host time, bounded) until the console holds `text` `count` times.
  bool wait_console(const std::string& text, int count = 1) const {
    return test_support::eventually([&] { return occurrences(console_now(), text) >= count; },
                                    kPatience);
  }

  // Cuts the power and returns the whole console of the wake-up.
  std::string console() {
    board_->cut_power("test over");
    EXPECT_TRUE(board_->wait_power_off(kPatience));
    return console_now();
  }

  // Board times at which the MCU received `member`.
  std::vector<std::chrono::milliseconds> received_at(const std::string& member) const {
    std::vector<std::chrono::milliseconds> times;
    for (const sim::McuRecord& record : board_->mcu().history()) {
      if (record.direction == sim::PeerDirection::kCameraToPeer && record.member == member) {
        times.push_back(record.boardTime);
      }
    }
    return times;
  }

  // The record's last `count` lines of the MCU line, as the timeline shows them, for a failure's
  // message: how a wake-up that did not end as it should got there.
  std::string mcu_line_tail(std::size_t count) const {
    const std::vector<sim::board::BoardEvent> lines =
        board_->record().events(sim::board::EventKind::kSerial);
    std::string text;
    for (std::size_t i = lines.size() > count ? lines.size() - count : 0; i < lines.size(); ++i) {
      text += std::to_string(lines[i].elapsed.count()) + " ms  " + lines[i].text + "\n";
    }
    return text;
  }

  TempDir dir_;
  std::unique_ptr<sim::board::Board> board_;
};

}  // namespace scenario_test
