// board_probe: a stand-in for camera_app that board tests power up in its place. It does what
// /config/probe.cmd says, one action per line, and writes what it saw under /config/out/ (the
// configuration partition outlives the power cut), so the test can read it from the run folder.
//
//   children N          start N child processes that sleep until the power goes
//   sh COMMAND          run COMMAND with /bin/sh; append "<exit status> COMMAND" to out/sh
//   send-mcu MEMBER     send a kvt_ISP2MCU with that (empty) member on /dev/ttyS1
//   read-mcu N          read N good frames from /dev/ttyS1; append their members to out/mcu
//   keepalive           send one keep-alive to /wdm_mngr_queue
//   sleep-ms N          sleep N milliseconds (board time)
//   done                write out/done
// After the last action it waits for the power cut.
#include <fcntl.h>
#include <mqueue.h>
#include <poll.h>
#include <signal.h>
#include <sys/stat.h>
#include <sys/wait.h>
#include <termios.h>
#include <unistd.h>

#include <cstdio>
#include <cstdlib>
#include <fstream>
#include <map>
#include <sstream>
#include <string>
#include <vector>

#include <google/protobuf/descriptor.h>
#include <google/protobuf/message.h>

#include "sim/peers/peer_framer.h"
#include "sim/peers/proto/mcu_messages.pb.h"

namespace {

constexpr char kOut[] = "/config/out";

void append(const std::string& file, const std::string& line) {
  std::ofstream out(std::string(kOut) + "/" + file, std::ios::app);
  out << line << "\n";
}

// The port stays open for the rest of the run, as the camera keeps its serial ports open: the
// peer answers only while someone holds the line.
int open_line(const char* path) {
  static std::map<std::string, int> open_lines;
  if (const auto found = open_lines.find(path); found != open_lines.end()) {
    return found->second;
  }
  const int fd = open(path, O_RDWR | O_NOCTTY);
  open_lines[path] = fd;
  if (fd >= 0) {
    termios line{};
    tcgetattr(fd, &line);
    cfmakeraw(&line);
    tcsetattr(fd, TCSANOW, &line);
  }
  return fd;
}

// Sends a kvt_ISP2MCU with its member `name` set to an empty message.
int send_mcu(const std::string& name) {
  kvt::kvt_ISP2MCU wrapper;
  const google::protobuf::FieldDescriptor* field = wrapper.GetDescriptor()->FindFieldByName(name);
  if (field == nullptr || field->cpp_type() != google::protobuf::FieldDescriptor::CPPTYPE_MESSAGE) {
    return -1;
  }
  wrapper.GetReflection()->MutableMessage(&wrapper, field);
  const std::vector<uint8_t> bytes = sim::frame(wrapper.SerializePartialAsString());
  const int fd = open_line("/dev/ttyS1");
  if (fd < 0) {
    return -1;
  }
  const ssize_t written = write(fd, bytes.data(), bytes.size());
  tcdrain(fd);
  return written == static_cast<ssize_t>(bytes.size()) ? 0 : -1;
}

void read_mcu(int count) {
  const int fd = open_line("/dev/ttyS1");
  sim::Deframer deframer;
  for (int got = 0; got < count && fd >= 0;) {
    pollfd readable = {fd, POLLIN, 0};
    if (poll(&readable, 1, -1) <= 0) {
      continue;
    }
    uint8_t buffer[256];
    const ssize_t n = read(fd, buffer, sizeof buffer);
    if (n <= 0) {
      continue;
    }
    deframer.feed(std::span<const uint8_t>(buffer, static_cast<std::size_t>(n)));
    std::string payload;
    while (deframer.pop(&payload)) {
      kvt::kvt_MCU2ISP message;
      const auto* set = message.ParseFromString(payload)
                            ? message.GetReflection()->GetOneofFieldDescriptor(
                                  message, message.GetDescriptor()->oneof_decl(0))
                            : nullptr;
      append("mcu", set == nullptr ? "?" : set->name());
      ++got;
    }
  }
}

void keepalive() {
  mq_attr attributes{};
  attributes.mq_maxmsg = 3;
  attributes.mq_msgsize = 36;
  const mqd_t queue =
      mq_open("/wdm_mngr_queue", O_WRONLY | O_CREAT | O_NONBLOCK, 0777, &attributes);
  char message[36] = {3};
  mq_send(queue, message, sizeof message, 0);
  mq_close(queue);
}

}  // namespace

int main() {
  setvbuf(stdout, nullptr, _IOLBF, 0);
  mkdir(kOut, 0755);
  std::ifstream script("/config/probe.cmd");
  for (std::string line; std::getline(script, line);) {
    std::istringstream words(line);
    std::string action;
    words >> action;
    std::string rest;
    std::getline(words >> std::ws, rest);
    if (action == "children") {
      for (int i = 0; i < atoi(rest.c_str()); ++i) {
        if (fork() == 0) {
          for (;;) {
            pause();
          }
        }
      }
    } else if (action == "sh") {
      const int status = system(rest.c_str());
      append("sh", std::to_string(WIFEXITED(status) ? WEXITSTATUS(status) : -1) + " " + rest);
    } else if (action == "send-mcu") {
      append("sent", std::to_string(send_mcu(rest)) + " " + rest);
    } else if (action == "read-mcu") {
      read_mcu(atoi(rest.c_str()));
    } else if (action == "keepalive") {
      keepalive();
    } else if (action == "sleep-ms") {
      usleep(static_cast<useconds_t>(atoi(rest.c_str())) * 1000);
    } else if (action == "done") {
      append("done", "done");
    }
  }
  for (;;) {
    pause();
  }
}
