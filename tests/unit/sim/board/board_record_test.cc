// The board's record: its JSON lines, waiting on it, and camsim's live timeline of it.
#include "sim/board/board_record.h"

#include <chrono>
#include <fstream>
#include <sstream>
#include <string>
#include <thread>
#include <vector>

#include <gtest/gtest.h>

#include "sim/assembly/board_assembly.h"
#include "sim/board/board_part.h"
#include "sim/camsim/timeline.h"

#include "tests/unit/sim/board/probe_board.h"
#include <nlohmann/json.hpp>

namespace {

using sim::board::BoardEvent;
using sim::board::BoardRecord;
using sim::board::EventKind;

BoardEvent event(EventKind kind, std::string text) {
  BoardEvent made;
  made.elapsed = std::chrono::milliseconds(1500);
  made.boardEpochMs = 1717243205120;
  made.wake = 2;
  made.kind = kind;
  made.text = std::move(text);
  return made;
}

TEST(BoardRecordJson, OneObjectPerLineWithTypedFieldsAndAnyBytesInTheText) {
  BoardEvent serial = event(EventKind::kSerial, "camera -> MCU \"x\"\n\ttab\x01 \xff\xfe");
  serial.fields = {{"member", std::string("get_camera_state_request")},
                   {"retry", true},
                   {"line_no", int64_t{-3}}};
  const std::string line = sim::board::to_json_line(serial);
  EXPECT_EQ(line.find('\n'), std::string::npos);
  const nlohmann::json back = nlohmann::json::parse(line);
  EXPECT_EQ(back["board_time"], "2024-06-01T12:00:05.120");
  EXPECT_EQ(back["kind"], "serial");
  EXPECT_EQ(back["text"].get<std::string>().find("camera -> MCU \"x\"\n\ttab\x01 "), 0u);
  EXPECT_EQ(back["retry"], true);
  EXPECT_EQ(back["line_no"], -3);
  BoardEvent part = event(EventKind::kPart, "GPIO 43 card detect 0 -> 1");
  part.part = "gpio";
  EXPECT_EQ(nlohmann::json::parse(sim::board::to_json_line(part))["kind"], "gpio");
  // Board times before 1970 still read.
  EXPECT_EQ(sim::board::format_board_time(0), "1970-01-01T00:00:00.000");
  EXPECT_EQ(sim::board::format_board_time(-1), "1969-12-31T23:59:59.999");
}

TEST(BoardRecordFile, EveryEventIsWrittenAsItComes) {
  board_test::TempDir dir;
  BoardRecord record;
  ASSERT_EQ(record.open_file(dir.path() + "/record.jsonl"), 0);
  record.add(event(EventKind::kWake, "one"));
  record.add(event(EventKind::kPowerCut, "two"));
  const std::vector<std::string> lines = test_support::read_lines(dir.path() + "/record.jsonl");
  ASSERT_EQ(lines.size(), 2u);
  EXPECT_NE(lines[0].find("\"kind\":\"wake\""), std::string::npos);
  EXPECT_NE(lines[1].find("\"kind\":\"power-cut\""), std::string::npos);
  EXPECT_EQ(record.events(EventKind::kWake).size(), 1u);
}

TEST(BoardRecordWait, FindsEventsBeforeAndAfterTheCallAndGivesUpAtTheBound) {
  BoardRecord record;
  record.add(event(EventKind::kState, "early"));
  auto isState = [](const BoardEvent& e) { return e.kind == EventKind::kState; };
  EXPECT_TRUE(record.wait_for(isState, std::chrono::milliseconds(0)));

  std::thread later([&] { record.add(event(EventKind::kClock, "late")); });
  BoardEvent found;
  EXPECT_TRUE(record.wait_for([](const BoardEvent& e) { return e.kind == EventKind::kClock; },
                              board_test::kPatience, &found));
  later.join();
  EXPECT_EQ(found.text, "late");
  EXPECT_FALSE(record.wait_for([](const BoardEvent& e) { return e.kind == EventKind::kLog; },
                               std::chrono::milliseconds(10)));
}

BoardEvent serial(const std::string& member) {
  BoardEvent made = event(EventKind::kSerial, member);
  made.fields = {{"member", member}};
  return made;
}
BoardEvent state(const std::string& to) {
  BoardEvent made = event(EventKind::kState, "state -> " + to);
  made.fields = {{"to", to}};
  return made;
}

// The lines printed for a series of events, each line of a multi-line result on its own.
std::vector<std::string> shown(sim::camsim::Timeline& timeline,
                               const std::vector<BoardEvent>& events) {
  std::vector<std::string> lines;
  for (const BoardEvent& event : events) {
    std::string text = timeline.format(event);
    for (std::size_t start = 0; !text.empty() && start < text.size();) {
      std::size_t end = text.find('\n', start);
      end = end == std::string::npos ? text.size() : end;
      lines.push_back(text.substr(start, end - start));
      start = end + 1;
    }
  }
  return lines;
}

// A request asked again at once until its answer suits would flood the timeline: each of
// its messages is shown three times, then a line counts the rest when something else comes.
TEST(Timeline, ARepeatedExchangeIsShownThreeTimesThenCounted) {
  std::vector<BoardEvent> events;
  for (int round = 0; round < 10; ++round) {
    events.push_back(serial("get_rtc_date_time_request"));
    events.push_back(serial("get_rtc_date_time_response"));
  }
  events.push_back(serial("get_device_info_request"));
  events.push_back(serial("get_device_info_response"));
  events.push_back(state("STATE_CAPTURETIMELAPSE"));

  sim::camsim::Timeline timeline(false);
  const std::vector<std::string> lines = shown(timeline, events);
  ASSERT_EQ(lines.size(), 6u + 1 + 3) << ::testing::PrintToString(lines);
  EXPECT_NE(lines[5].find("get_rtc_date_time_response"), std::string::npos);
  EXPECT_NE(lines[6].find("... 14 more messages of this exchange"), std::string::npos) << lines[6];
  EXPECT_NE(lines[7].find("get_device_info_request"), std::string::npos);
  EXPECT_NE(lines[9].find("STATE_CAPTURETIMELAPSE"), std::string::npos);

  sim::camsim::Timeline verbose(true);
  EXPECT_EQ(shown(verbose, events).size(), events.size()) << "verbose shows every message";
}

// A run that is cut short by another kind of event ends there: the count comes before it,
// and the same exchange after it starts a new run that is shown again.
TEST(Timeline, AnotherEventEndsTheRun) {
  std::vector<BoardEvent> events;
  for (int round = 0; round < 5; ++round) {
    events.push_back(serial("get_camera_state_request"));
  }
  events.push_back(state("STATE_INIT"));
  events.push_back(serial("get_camera_state_request"));

  sim::camsim::Timeline timeline(false);
  const std::vector<std::string> lines = shown(timeline, events);
  ASSERT_EQ(lines.size(), 3u + 1 + 1 + 1) << ::testing::PrintToString(lines);
  EXPECT_NE(lines[3].find("... 2 more messages"), std::string::npos) << lines[3];
  EXPECT_NE(lines[4].find("STATE_INIT"), std::string::npos);
  EXPECT_NE(lines[5].find("get_camera_state_request"), std::string::npos);
}

// Every line's label is one camsim --help explains: the kinds of the record, and each part of
// the board by the label its lines carry.
TEST(Timeline, EveryLabelItPrintsIsInTheHelp) {
  const std::string help = sim::camsim::timeline_help();
  std::vector<BoardEvent> events;
  for (int kind = 0; kind <= static_cast<int>(EventKind::kPart); ++kind) {
    events.push_back(event(static_cast<EventKind>(kind), "x"));
  }
  for (const sim::board::PartRegistration& part : sim::assembly::board_parts()) {
    // The videos part writes its reports after the run, never a timeline line.
    if (part.name != "videos") {
      events.push_back(event(EventKind::kPart, "x"));
      events.back().part = std::string(part.name);
    }
  }
  sim::camsim::Timeline timeline(true);
  for (const BoardEvent& e : events) {
    std::istringstream words(timeline.format(e));
    std::string elapsed, date, time, wake, label;
    words >> elapsed >> date >> time >> wake >> label;
    EXPECT_NE(help.find("\n  " + label + " "), std::string::npos)
        << "label " << label << " of part '" << e.part << "' is not in the help:\n"
        << help;
  }
}

// The camera takes the MCU's whole-second time: its clock column goes back, and the line says
// why; lines merely a moment out of order do not. What the board finds once the camera is off
// is marked as such, until the next wake-up.
TEST(Timeline, SaysWhenTheCameraClockGoesBackAndWhatCameAfterThePowerCut) {
  auto at = [](EventKind kind, int64_t elapsedMs, int64_t epochMs, const char* part = "") {
    BoardEvent made = event(kind, "x");
    made.elapsed = std::chrono::milliseconds(elapsedMs);
    made.boardEpochMs = epochMs;
    made.part = part;
    return made;
  };
  const int64_t start = 1717243200000;
  const std::vector<BoardEvent> events = {
      at(EventKind::kWake, 0, start),
      at(EventKind::kState, 1500, start + 1500),
      at(EventKind::kLog, 1490, start + 1490),    // out of order: no clock change
      at(EventKind::kState, 1600, start + 1000),  // set back to the whole second
      at(EventKind::kPart, 1700, start + 1100, "card"),
      at(EventKind::kPowerCut, 2000, start + 1400),
      at(EventKind::kPart, 2100, start + 1500, "card"),
      at(EventKind::kClock, 2100, start + 500),  // a date line of the scenario
      at(EventKind::kWake, 3000, start + 1400),
      at(EventKind::kPart, 3100, start + 1500, "card"),
  };
  sim::camsim::Timeline timeline(false);
  const std::vector<std::string> lines = shown(timeline, events);
  ASSERT_EQ(lines.size(), events.size());
  for (std::size_t i = 0; i < lines.size(); ++i) {
    EXPECT_EQ(lines[i].find("went back") != std::string::npos, i == 3) << lines[i];
    EXPECT_EQ(lines[i].find("after the power cut") != std::string::npos, i == 6) << lines[i];
  }
  EXPECT_NE(lines[3].find("went back 600 ms: it took the MCU's whole-second time"),
            std::string::npos);
}

}  // namespace
