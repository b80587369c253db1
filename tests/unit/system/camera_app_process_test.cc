// camera_app as a whole process in the sandbox: first log line, queues, keep-alives.
#include "tests/support/camera_app_process.h"

#include <fcntl.h>
#include <mqueue.h>
#include <unistd.h>

#include <chrono>
#include <cstring>
#include <fstream>
#include <string>
#include <vector>

#include <gtest/gtest.h>

#include "app/system/event_queue.h"
#include "app/system/watchdog_client.h"

namespace {

using test_support::CameraAppProcess;

bool ends_with(const std::string& line, const std::string& tail) {
  return line.size() >= tail.size() &&
         line.compare(line.size() - tail.size(), tail.size(), tail) == 0;
}

TEST(CameraAppProcess, StartsLogsCreatesQueuesAndFeedsTheWatchdog) {
  // The watchdog daemon's side of the queue, opened first so no keep-alive is missed.
  mq_attr attributes{};
  attributes.mq_maxmsg = kWdmQueueMaxMessages;
  attributes.mq_msgsize = sizeof(WdmMessage);
  mqd_t watchdog = mq_open(kWdmQueueName, O_RDWR | O_CREAT, 0777, &attributes);
  ASSERT_GE(watchdog, 0) << strerror(errno);

  CameraAppProcess app(CAMERA_APP_PATH);
  ASSERT_GT(app.pid(), 0);
  std::vector<std::string> lines =
      app.read_until("Message Queue For MODEM Monitor Thread Created", std::chrono::seconds(60));
  ASSERT_FALSE(lines.empty());
  EXPECT_TRUE(ends_with(lines.front(), " : MAIN : INFO : Logging intiated successfully"))
      << lines.front();

  std::vector<std::string> queue_lines;
  for (const std::string& line : lines) {
    if (line.find("Message Queue For") != std::string::npos) {
      queue_lines.push_back(line.substr(line.find("Message Queue For")));
    }
  }
  ASSERT_EQ(queue_lines.size(), 3u);
  EXPECT_EQ(queue_lines[0].rfind("Message Queue For sys Monitor Thread Created with ID: ", 0), 0u);
  EXPECT_EQ(queue_lines[1].rfind("Message Queue For MCU Monitor Thread Created with ID: ", 0), 0u);
  EXPECT_EQ(queue_lines[2].rfind("Message Queue For MODEM Monitor Thread Created with ID: ", 0),
            0u);
  for (const char* name : {kSysQueueName, kMcuQueueName, kModemQueueName}) {
    mqd_t queue = mq_open(name, O_RDONLY);
    EXPECT_GE(queue, 0) << name;
    mq_close(queue);
  }

  // Keep-alives of type 3 reach the watchdog daemon's queue.
  WdmMessage message{};
  timespec limit{};
  clock_gettime(CLOCK_REALTIME, &limit);
  limit.tv_sec += 30;
  ASSERT_EQ(
      mq_timedreceive(watchdog, reinterpret_cast<char*>(&message), sizeof message, nullptr, &limit),
      static_cast<ssize_t>(sizeof message));
  EXPECT_EQ(message.type, kWdmKeepAlive);
  EXPECT_TRUE(app.alive());
  mq_close(watchdog);
}

}  // namespace
