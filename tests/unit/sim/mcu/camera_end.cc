#include "tests/unit/sim/mcu/camera_end.h"

#include <fcntl.h>
#include <poll.h>
#include <pty.h>
#include <stdlib.h>
#include <termios.h>
#include <unistd.h>

#include <chrono>

#include <gtest/gtest.h>

namespace sim_test {

sim::PeerClock ManualClock::clock() {
  return sim::PeerClock([this] { return std::chrono::milliseconds(now_.load()); },
                        [this](std::chrono::nanoseconds at, std::function<void()> ring) {
                          const int64_t atMs =
                              std::chrono::duration_cast<std::chrono::milliseconds>(at).count();
                          if (atMs <= now_.load()) {
                            ring();
                            return uint64_t{0};
                          }
                          std::lock_guard lock(mutex_);
                          alarms_[++lastId_] = {atMs, std::move(ring)};
                          return lastId_;
                        },
                        [this](uint64_t id) {
                          std::lock_guard lock(mutex_);
                          alarms_.erase(id);
                        });
}

void ManualClock::advance(std::chrono::milliseconds step) {
  now_ += step.count();
  std::vector<std::function<void()>> due;
  {
    std::lock_guard lock(mutex_);
    for (auto alarm = alarms_.begin(); alarm != alarms_.end();) {
      if (alarm->second.first <= now_.load()) {
        due.push_back(std::move(alarm->second.second));
        alarm = alarms_.erase(alarm);
      } else {
        ++alarm;
      }
    }
  }
  for (const std::function<void()>& ring : due) {
    ring();
  }
}

namespace {

// The camera's own port set-up is raw as well.
void make_raw(int fd) {
  termios line{};
  ::tcgetattr(fd, &line);
  ::cfmakeraw(&line);
  ::tcsetattr(fd, TCSANOW, &line);
}

}  // namespace

CameraEnd::CameraEnd(sim::McuSetup setup) {
  if (::openpty(&master_, &slave_, nullptr, nullptr, nullptr) != 0) {
    ADD_FAILURE() << "openpty failed";
    return;
  }
  make_raw(slave_);
  peer_ = std::make_unique<sim::McuPeer>(master_, std::move(setup), nullptr, clock_.clock());
  EXPECT_EQ(peer_->start(), 0);
}

CameraEnd::~CameraEnd() {
  peer_.reset();
  if (slave_ >= 0) {
    ::close(slave_);
  }
  ::close(master_);
}

void CameraEnd::close_line() {
  ::close(slave_);
  slave_ = -1;
}

int CameraEnd::open_line() {
  slave_ = ::open(::ptsname(master_), O_RDWR | O_NOCTTY);
  if (slave_ < 0) {
    return -1;
  }
  make_raw(slave_);
  deframer_ = sim::Deframer();
  raw_.clear();
  return 0;
}

void CameraEnd::send(const kvt::kvt_ISP2MCU& message) {
  std::string payload;
  ASSERT_TRUE(message.SerializeToString(&payload));
  const std::vector<uint8_t> bytes = sim::frame(payload);
  send_bytes(bytes);
}

void CameraEnd::send_bytes(const std::vector<uint8_t>& bytes) {
  ASSERT_EQ(::write(slave_, bytes.data(), bytes.size()), static_cast<ssize_t>(bytes.size()));
}

bool CameraEnd::receive(kvt::kvt_MCU2ISP* ret_message) {
  const auto deadline = std::chrono::steady_clock::now() + kPatience;
  std::string payload;
  while (!deframer_.pop(&payload)) {
    const auto left = std::chrono::duration_cast<std::chrono::milliseconds>(
        deadline - std::chrono::steady_clock::now());
    if (left.count() <= 0) {
      return false;
    }
    pollfd readable = {slave_, POLLIN, 0};
    if (::poll(&readable, 1, static_cast<int>(left.count())) <= 0) {
      continue;
    }
    uint8_t buffer[256];
    const ssize_t n = ::read(slave_, buffer, sizeof buffer);
    if (n > 0) {
      raw_.insert(raw_.end(), buffer, buffer + n);
      deframer_.feed(std::span<const uint8_t>(buffer, static_cast<std::size_t>(n)));
    }
  }
  ret_message->Clear();
  return ret_message->ParseFromString(payload);
}

std::string CameraEnd::receive_member() {
  kvt::kvt_MCU2ISP message;
  if (!receive(&message)) {
    return "";
  }
  const auto* oneof = kvt::kvt_MCU2ISP::descriptor()->oneof_decl(0);
  const auto* field = message.GetReflection()->GetOneofFieldDescriptor(message, oneof);
  return field == nullptr ? "" : field->name();
}

kvt::kvt_ISP2MCU empty_member(const std::string& member) {
  kvt::kvt_ISP2MCU message;
  const auto* field = kvt::kvt_ISP2MCU::descriptor()->FindFieldByName(member);
  EXPECT_NE(field, nullptr) << member;
  if (field != nullptr) {
    message.GetReflection()->MutableMessage(&message, field);
  }
  return message;
}

}  // namespace sim_test
