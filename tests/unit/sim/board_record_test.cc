// The board's record: its JSON lines, and waiting on it.
#include "sim/board/board_record.h"

#include <chrono>
#include <fstream>
#include <string>
#include <thread>

#include <gtest/gtest.h>

#include "probe_board.h"
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

}  // namespace
