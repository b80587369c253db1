// camsim's scenario files: what a good one means on the board, and that a bad one (any bytes,
// any size, times the board cannot hold) is refused with the line and what is wrong.
#include "sim/camsim/scenario.h"

#include <sys/stat.h>
#include <unistd.h>

#include <algorithm>
#include <filesystem>
#include <fstream>
#include <string>

#include <gtest/gtest.h>

#include "sim/camsim/stories.h"
#include "sim/card/card_image.h"
#include "sim/gpio/gpio_part.h"
#include "sim/tagstore/tag_store.h"
#include "sim/wdm/watchdog_part.h"

#include "tests/unit/sim/board/probe_board.h"

namespace {

using sim::camsim::EventType;
using sim::camsim::Scenario;
using std::chrono::milliseconds;

constexpr std::string_view kFull = R"(# a comment line
title Two wake-ups   # and a comment after
date 2024-12-24 18:30:00
speed 20
watchdog-limit 15s
tag dovu cap_mode 1
tag-store markers 0 1 0
gpio card-detect 1
mcu rtc invalid
mcu install-date valid 2023-01-02T03:04:05
mcu version MCU 2.1 beta
mcu camera-state pir 9
mcu adc photodiode absent
mcu fuel-gauge-entry 0 1 55 0
mcu fuel-gauge-entry 1 2 66 7
mcu night
fault mcu drop-answer get_rtc_date_time_request count 2

wake pir adc 300 exp-reuse 1 for 45s
  at 3s gpio format-button 1
  at 1.5s pir
  at 500ms fault mcu late-answer delay 2s
  at 3s note two at three seconds keep their order
  at 2s card save saved.img
asleep 2h
wake timelapse boot-reason 0
  at 59s power-cut
)";

TEST(Scenario, TheStoryIsInTimeOrderWithTheBoardsSetUp) {
  Scenario scenario;
  std::string error;
  ASSERT_EQ(sim::camsim::parse_scenario(kFull, "full", &scenario, &error), 0) << error;
  EXPECT_EQ(scenario.title, "Two wake-ups");
  EXPECT_EQ(scenario.board.startEpochMs, int64_t{1735065000} * 1000);
  EXPECT_EQ(scenario.board.speed, 20u);
  EXPECT_EQ(scenario.partSetup.size(), 13u);
  ASSERT_EQ(scenario.steps.size(), 3u);
  const auto& first = scenario.steps[0].wake;
  EXPECT_EQ(first.request.adc, 300);
  EXPECT_EQ(first.limit, milliseconds(45000));
  ASSERT_EQ(first.events.size(), 5u);
  // In time order; events at the same time keep the file's order.
  EXPECT_EQ(first.events[0].at, milliseconds(500));
  EXPECT_EQ(first.events[1].at, milliseconds(1500));
  EXPECT_EQ(first.events[2].at, milliseconds(2000));
  EXPECT_EQ(first.events[3].type, EventType::kPartAction);
  EXPECT_EQ(first.events[4].text, "two at three seconds keep their order");
  EXPECT_EQ(scenario.steps[1].sleepFor, std::chrono::seconds(7200));
  EXPECT_EQ(scenario.steps[2].wake.limit, milliseconds(60000)) << "the default time";
}

// The set-up lines are the parts' own: run on a board, they reach the MCU, tags and lines.
TEST(Scenario, SetUpDirectivesActOnTheBoardsParts) {
  Scenario scenario;
  ASSERT_EQ(sim::camsim::parse_scenario(kFull, "full", &scenario, nullptr), 0);
  board_test::ProbeBoard probe(scenario.board);
  ASSERT_TRUE(probe.ok());
  sim::board::Board& board = probe.board();
  for (const Scenario::PartSetup& part : scenario.partSetup) {
    std::string why;
    ASSERT_EQ(part.action(board, &why), 0) << "line " << part.sourceLine << ": " << why;
  }
  const sim::McuSetup mcu = board.mcu().setup();
  EXPECT_FALSE(board.mcu().rtc_valid());
  EXPECT_EQ(mcu.installEpoch, 1672628645);
  EXPECT_EQ(mcu.version, "MCU 2.1 beta");
  EXPECT_EQ(mcu.cameraStateFor[static_cast<std::size_t>(sim::WakeReason::kPir)], 9u);
  EXPECT_FALSE(mcu.photodiodeRaw.present);
  ASSERT_EQ(mcu.fuelGaugeEntries.size(), 2u) << "the first entry replaces the default one";
  EXPECT_TRUE(mcu.isNight);
  EXPECT_EQ(sim::gpio::gpio_input(board, 43), 1);
  EXPECT_EQ(board.part<sim::wdm::WatchdogPart>()->command(), "wdm_daemon --limit-ms 15000");
  const auto env = sim::tagstore::read_tag_env(board.tag_store_path());
  ASSERT_TRUE(env.has_value());
  EXPECT_EQ(env->markers.riscv_fw, 1);
  EXPECT_TRUE(std::ranges::any_of(env->tags, [](const sim::tagstore::Tag& tag) {
    return tag.key == "cap_mode" && tag.value == 1;
  }));

  // The parts are the scenario's: a board given none is refused, not run without its clock.
  sim::board::BoardSetup bare = scenario.board;
  bare.parts = {};
  bare.runDir = std::filesystem::path(board.run_dir()).parent_path() / "bare";
  std::string why;
  EXPECT_EQ(sim::board::Board::create(bare, &why), nullptr);
  EXPECT_NE(why.find("no parts"), std::string::npos) << why;
}

struct BadCase {
  std::string text;
  const char* error;  // the whole message must contain this
};

TEST(Scenario, BadFilesAreRefusedNamingTheLineAndTheFault) {
  const std::vector<BadCase> cases = {
      {"speed 10\nwke pir\n", "bad.txt:2: unknown word 'wke'"},
      {"wake pir\nspeed 10\n", "bad.txt:2: unknown word 'speed' in the story"},
      {"speed 0\nwake pir\n", "bad.txt:1: the speed must be 1..1000"},
      {"date 2024-02-30 10:00:00\nwake pir\n", "bad.txt:1: '2024-02-30 10:00:00' is not a"},
      {"date 2038-01-20 10:00:00\nwake pir\n", "bad.txt:1: '2038-01-20 10:00:00' is not a"},
      {"wake sunrise\n", "bad.txt:1: unknown wake-up reason 'sunrise'"},
      {"wake pir for 10\n", "bad.txt:1: '10' is not a time"},
      {"wake pir for 9223372036854775808ms\n", "bad.txt:1: '9223372036854775808ms' is not a"},
      {"wake pir for 0s\n", "bad.txt:1: a wake-up lasts some time"},
      {"wake pir\nasleep 1000000h\nwake pir\n", "bad.txt:2: '1000000h' is not a time the board"},
      {"wake pir\nasleep 200000h\nwake pir\n", "bad.txt:2: the story runs past 2037"},
      {"date 2037-12-31 23:00:00\nwake pir for 2h\n", "bad.txt:2: the story runs past 2037"},
      {"wake pir for 5s\nat 10s pir\n", "bad.txt:2: at 10s the wake-up of line 1 is over"},
      {"wake pir\nat 60s pir\n", "bad.txt:2: at 60s the wake-up of line 1 is over"},
      {"at 1s pir\nwake pir\n", "bad.txt:1: 'at' belongs to a wake-up"},
      {"wake pir\nasleep 1m\nat 1s pir\n", "bad.txt:3: 'at' belongs to a wake-up"},
      {"wake pir\nat 1s wave\n", "bad.txt:2: unknown event 'wave'"},
      {"wake pir\nat 1s pir now\n", "bad.txt:2: 'pir': takes nothing after it"},
      {"wake pir\nat 1s gpio 42 1\n", "bad.txt:2: 'gpio': '42' is not an input"},
      {"wake pir\nat 1s fault mcu late-answer\n", "bad.txt:2: 'fault mcu': a late-answer"},
      {"fault mcu no-answer get_sunrise_request\nwake pir\n",
       "bad.txt:1: 'fault mcu': no message member 'get_sunrise_request'"},
      {"wake pir\nat 1s fault modem no-answer\n", "bad.txt:2: unknown event 'fault'"},
      {"mcu colour blue\nwake pir\n", "bad.txt:1: 'mcu': unknown 'mcu' set-up 'colour'"},
      {"tag dovu cap-mode 1\nwake pir\n", "bad.txt:1: 'tag': tag names are"},
      {"pir\nwake pir\n", "bad.txt:1: 'pir' belongs to a wake-up"},
      {std::string("wake pir\nnote a\0b\n", 17), "bad.txt:2: the line holds the control byte 0x00"},
      {"wake pir\r\nat 1s note a\rb\r\n", "bad.txt:2: the line holds a carriage return"},
      // What the run would refuse is refused here: the camera is on at 1s.
      {"wake pir\nat 1s card dirty 1\n", "bad.txt:2: 'card': 'card dirty' changes the card: only"},
      {"card load /etc/passwd\nwake pir\n", "bad.txt:1: 'card': /etc/passwd is no card image"},
      {"server password my secret\nwake pir\n", "bad.txt:1: 'server': a password is one word"},
      {"# only set-up\nspeed 5\n", "bad.txt: the scenario has no wake-up"},
  };
  for (const BadCase& c : cases) {
    Scenario scenario;
    scenario.title = "untouched";
    std::string error;
    EXPECT_EQ(sim::camsim::parse_scenario(c.text, "bad.txt", &scenario, &error), -1) << c.text;
    EXPECT_NE(error.find(c.error), std::string::npos) << error;
    EXPECT_EQ(error.find('\0'), std::string::npos);
    EXPECT_EQ(scenario.title, "untouched") << "nothing is given back on failure";
  }
}

TEST(Scenario, FilesThatAreNoScenarioAreNotRead) {
  board_test::TempDir dir;
  const std::string big = dir.path() + "/big.txt";
  ASSERT_EQ(truncate(std::ofstream(big) ? big.c_str() : "", 2 << 20), 0);
  struct Case {
    std::string path;
    const char* error;
  };
  for (const Case& c : std::vector<Case>{{"/dev/zero", "not a regular file"},
                                         {dir.path(), "not a regular file"},
                                         {big, "larger than 1 MiB"},
                                         {dir.path() + "/none.txt", "cannot be read"}}) {
    std::string text, error;
    EXPECT_EQ(sim::camsim::read_scenario_file(c.path, &text, &error), -1) << c.path;
    EXPECT_NE(error.find(c.error), std::string::npos) << error;
  }
}

// A run keeps the board image it started with: a build swaps in a new image and removes the
// old one while the run goes on, and the run's programs stay the ones it started with.
TEST(Scenario, ARunKeepsTheImageItStartedWithWhileABuildReplacesIt) {
  board_test::TempDir dir;
  const std::string image = dir.path() + "/image/system";
  auto assemble = [&](const std::string& app) {
    const std::string tags = sim::board::default_board_paths().imageDir + "/opt/tag/tag.bin";
    return sim::card::run_program(
        {ASSEMBLE_IMAGE_PATH, image, "bin/camera_app=" + app, "opt/tag/tag.bin=" + tags});
  };
  ASSERT_EQ(assemble(BOARD_PROBE_PATH), 0);
  const std::string first = std::filesystem::canonical(image).string();
  sim::board::BoardSetup setup;
  setup.paths.imageDir = image;
  board_test::ProbeBoard probe(setup);
  ASSERT_TRUE(probe.ok());

  ASSERT_EQ(assemble("/bin/true"), 0);
  EXPECT_TRUE(std::filesystem::is_symlink(image));
  EXPECT_FALSE(std::filesystem::exists(first)) << "the old image is gone";
  const std::string used = probe.board().paths().imageDir + "/bin/camera_app";
  struct stat ran {
  }, probeApp{};
  ASSERT_EQ(stat(used.c_str(), &ran), 0) << used;
  ASSERT_EQ(stat(BOARD_PROBE_PATH, &probeApp), 0);
  EXPECT_EQ(ran.st_ino, probeApp.st_ino) << "the run's image is a hard-linked copy of the first";
  // The clock shim preloaded into the sandbox is the run's own copy as well.
  const std::filesystem::path shim = probe.board().paths().clockShim;
  EXPECT_EQ(shim.parent_path(),
            std::filesystem::path(probe.board().paths().imageDir).parent_path());
  EXPECT_NE(shim, std::filesystem::path(sim::board::default_board_paths().clockShim));
}

// Every story parses, and gives the boot tags that the camera writes from its configuration
// the configuration that writes them: a story whose tags and configuration disagree shows a
// camera no owner can have (a burst of three snapshots of which one is stored).
TEST(Scenario, EveryBuiltInStoryIsAGoodScenario) {
  // Boot tag, the configuration key it is written from, and its value for a configured value.
  const struct {
    std::string_view tag;
    std::string_view key;
    std::string (*from)(const std::string&);
  } written[] = {
      {"tag dovu multishot ", "config multishot ", [](const std::string& v) { return v; }},
      {"tag dovu orve_model ", "config orve_model ", [](const std::string& v) { return v; }},
      {"tag dovu cap_mode ", "config capture_mode ",
       [](const std::string& v) { return std::string(v == "1" ? "1" : "0"); }},
      {"tag warn_led warn_active ", "config warning_light_stat ",
       [](const std::string& v) { return v; }},
  };
  for (const sim::camsim::Story& story : sim::camsim::built_in_stories()) {
    Scenario scenario;
    std::string error;
    EXPECT_EQ(sim::camsim::parse_scenario(story.text, story.name, &scenario, &error), 0) << error;
    EXPECT_FALSE(scenario.title.empty()) << story.name;
    const std::string text(story.text);
    // The same story written with CR LF line ends is the same story.
    std::string crlf;
    for (const char c : text) {
      crlf += c == '\n' ? std::string("\r\n") : std::string(1, c);
    }
    Scenario fromCrlf;
    ASSERT_EQ(sim::camsim::parse_scenario(crlf, story.name, &fromCrlf, &error), 0) << error;
    EXPECT_EQ(fromCrlf.title, scenario.title);
    EXPECT_EQ(fromCrlf.board.startEpochMs, scenario.board.startEpochMs);
    ASSERT_EQ(fromCrlf.steps.size(), scenario.steps.size()) << story.name;
    for (std::size_t i = 0; i < scenario.steps.size(); ++i) {
      const auto& events = scenario.steps[i].wake.events;
      ASSERT_EQ(fromCrlf.steps[i].wake.events.size(), events.size()) << story.name;
      for (std::size_t e = 0; e < events.size(); ++e) {
        EXPECT_EQ(fromCrlf.steps[i].wake.events[e].at, events[e].at) << story.name;
        EXPECT_EQ(fromCrlf.steps[i].wake.events[e].text, events[e].text) << story.name;
      }
    }
    const auto value_of = [&text](std::string_view directive) {
      const std::size_t at = text.find("\n" + std::string(directive));
      if (at == std::string::npos) {
        return std::string();
      }
      const std::size_t from = at + 1 + directive.size();
      return text.substr(from, text.find('\n', from) - from);
    };
    for (const auto& w : written) {
      const std::string tag = value_of(w.tag);
      if (!tag.empty()) {
        EXPECT_EQ(w.from(value_of(w.key)), tag) << story.name << ": " << w.tag;
      }
    }
  }
  EXPECT_NE(sim::camsim::find_story("default"), nullptr);
}

}  // namespace
