// camsim's live timeline: what a person sees of the board's record.
#include "sim/camsim/timeline.h"

#include <string>
#include <vector>

#include <gtest/gtest.h>

namespace {

using sim::board::BoardEvent;
using sim::board::EventKind;

BoardEvent event(EventKind kind, const std::string& text, const char* field,
                 const std::string& value) {
  BoardEvent event;
  event.wake = 1;
  event.kind = kind;
  event.text = text;
  event.fields = {{field, value}};
  return event;
}
BoardEvent serial(const std::string& member) {
  return event(EventKind::kSerial, member, "member", member);
}
BoardEvent state(const std::string& to) {
  return event(EventKind::kState, "state -> " + to, "to", to);
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

}  // namespace
