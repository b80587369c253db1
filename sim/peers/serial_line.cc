#include "sim/peers/serial_line.h"

#include <fcntl.h>
#include <poll.h>
#include <stdlib.h>
#include <termios.h>
#include <unistd.h>

#include <array>
#include <cerrno>
#include <memory>
#include <mutex>
#include <utility>
#include <vector>

#include <google/protobuf/descriptor.h>
#include <google/protobuf/message.h>

#include "sim/peers/peer_framer.h"
#include "sim/peers/proto/mcu_messages.pb.h"
#include "sim/peers/proto/modem_messages.pb.h"

namespace sim {

using std::chrono::milliseconds;

namespace {

struct Meter {
  int fd = -1;
  int64_t* wrote = nullptr;
  int64_t* read = nullptr;
};
// A board has two lines; a process may hold a few boards.
std::mutex meterMutex;
std::array<Meter, 8> meters;

int64_t* meter_of(int fd, bool wrote) {
  std::lock_guard lock(meterMutex);
  for (const Meter& meter : meters) {
    if (meter.fd == fd) {
      return wrote ? meter.wrote : meter.read;
    }
  }
  return nullptr;
}

void count(int fd, bool wrote, ssize_t bytes) {
  if (bytes > 0) {
    if (int64_t* counter = meter_of(fd, wrote)) {
      __atomic_add_fetch(counter, static_cast<int64_t>(bytes), __ATOMIC_RELEASE);
    }
  }
}

}  // namespace

void meter_line(int masterFd, int64_t* wrote, int64_t* read) {
  std::lock_guard lock(meterMutex);
  for (Meter& meter : meters) {
    if (meter.fd == masterFd) {
      meter = wrote != nullptr ? Meter{masterFd, wrote, read} : Meter{};
      return;
    }
  }
  for (Meter& meter : meters) {
    if (meter.fd < 0 && wrote != nullptr) {
      meter = {masterFd, wrote, read};
      return;
    }
  }
}

ssize_t read_line(int masterFd, void* buffer, std::size_t size) {
  return ::read(masterFd, buffer, size);
}

void line_taken(int masterFd, ssize_t bytes) {
  count(masterFd, false, bytes);
}

int open_pty(PtyPair* ret_pair) {
  const int master = posix_openpt(O_RDWR | O_NOCTTY | O_CLOEXEC | O_NONBLOCK);
  if (master < 0) {
    return -1;
  }
  char name[128];
  if (grantpt(master) != 0 || unlockpt(master) != 0 || ptsname_r(master, name, sizeof name) != 0) {
    close(master);
    return -1;
  }
  termios line{};
  if (tcgetattr(master, &line) == 0) {
    cfmakeraw(&line);
    tcsetattr(master, TCSANOW, &line);
  }
  ret_pair->master = master;
  ret_pair->slavePath = name;
  return 0;
}

void close_pty(PtyPair* pair) {
  if (pair->master >= 0) {
    close(pair->master);
    pair->master = -1;
  }
}

bool line_hung_up(int masterFd) {
  pollfd line = {masterFd, 0, 0};
  return poll(&line, 1, 0) > 0 && (line.revents & POLLHUP) != 0;
}

int write_bounded(int fd, std::span<const uint8_t> bytes, milliseconds timeout, int stopFd) {
  if (line_hung_up(fd)) {
    return -1;
  }
  const int flags = fcntl(fd, F_GETFL);
  if (flags >= 0 && (flags & O_NONBLOCK) == 0) {
    fcntl(fd, F_SETFL, flags | O_NONBLOCK);
  }
  const auto deadline = std::chrono::steady_clock::now() + timeout;
  std::size_t done = 0;
  while (done < bytes.size()) {
    const ssize_t n = write(fd, bytes.data() + done, bytes.size() - done);
    count(fd, true, n);
    if (n > 0) {
      done += static_cast<std::size_t>(n);
      continue;
    }
    if (n < 0 && errno == EINTR) {
      continue;
    }
    if (n < 0 && errno != EAGAIN) {
      return -1;
    }
    const auto left =
        std::chrono::duration_cast<milliseconds>(deadline - std::chrono::steady_clock::now());
    if (left.count() <= 0) {
      return -1;
    }
    pollfd fds[2] = {{fd, POLLOUT, 0}, {stopFd, POLLIN, 0}};
    const int ready = poll(fds, stopFd >= 0 ? 2 : 1, static_cast<int>(left.count()));
    if (ready < 0 && errno != EINTR) {
      return -1;
    }
    if ((fds[0].revents & (POLLHUP | POLLERR)) != 0 ||
        (stopFd >= 0 && (fds[1].revents & POLLIN) != 0)) {
      return -1;
    }
  }
  return 0;
}

SilentLineListener::SilentLineListener(int masterFd, std::string wrapper,
                                       std::function<void(const Heard&)> heard)
    : fd_(masterFd), wrapper_(std::move(wrapper)), heard_(std::move(heard)) {
  int stop[2];
  if (pipe2(stop, O_CLOEXEC) == 0) {
    stopRead_ = stop[0];
    stopWrite_ = stop[1];
    worker_ = std::thread([this] { run(); });
  }
}

SilentLineListener::~SilentLineListener() {
  if (worker_.joinable()) {
    const char byte = 0;
    [[maybe_unused]] const ssize_t n = write(stopWrite_, &byte, 1);
    worker_.join();
  }
  if (stopRead_ >= 0) {
    close(stopRead_);
    close(stopWrite_);
  }
}

void SilentLineListener::run() {
  // Both message sets are linked in; the wrapper is found by its full name.
  kvt::kvt_ISP2Modem::descriptor();
  kvt::kvt_ISP2MCU::descriptor();
  const google::protobuf::Descriptor* type =
      google::protobuf::DescriptorPool::generated_pool()->FindMessageTypeByName(wrapper_);
  const google::protobuf::Message* prototype =
      type != nullptr ? google::protobuf::MessageFactory::generated_factory()->GetPrototype(type)
                      : nullptr;
  Deframer deframer;
  std::size_t stray = 0;
  for (;;) {
    pollfd fds[2] = {{fd_, POLLIN, 0}, {stopRead_, POLLIN, 0}};
    // While no one holds the slave open the master reports a hang-up: look again shortly.
    const int ready = poll(fds, 2, 50);
    if (ready < 0 && errno != EINTR) {
      return;
    }
    if ((fds[1].revents & POLLIN) != 0) {
      return;
    }
    if ((fds[0].revents & POLLIN) == 0) {
      if ((fds[0].revents & POLLHUP) != 0) {
        usleep(20000);
      }
      continue;
    }
    uint8_t buffer[512];
    const ssize_t got = read_line(fd_, buffer, sizeof buffer);
    if (got <= 0) {
      continue;
    }
    deframer.feed(std::span<const uint8_t>(buffer, static_cast<std::size_t>(got)));
    std::vector<uint8_t> payload;
    while (deframer.pop(&payload)) {
      Heard heard;
      if (prototype != nullptr) {
        std::unique_ptr<google::protobuf::Message> message(prototype->New());
        if (message->ParseFromArray(payload.data(), static_cast<int>(payload.size()))) {
          const google::protobuf::Reflection* reflection = message->GetReflection();
          for (int i = 0; i < type->field_count(); ++i) {
            const google::protobuf::FieldDescriptor* field = type->field(i);
            if (reflection->HasField(*message, field)) {
              heard.member = field->name();
              if (field->cpp_type() == google::protobuf::FieldDescriptor::CPPTYPE_MESSAGE) {
                heard.detail = reflection->GetMessage(*message, field).ShortDebugString();
              }
            }
          }
        } else {
          heard.detail =
              "frame that does not decode (" + std::to_string(payload.size()) + " bytes)";
        }
      }
      heard_(heard);
    }
    if (deframer.strayBytes() + deframer.rejected() != stray) {
      stray = deframer.strayBytes() + deframer.rejected();
      heard_({"", "bytes outside any good frame (" + std::to_string(stray) + " so far)"});
    }
    line_taken(fd_, got);
  }
}

}  // namespace sim
