#include "sim/board/board_time.h"

#include <fcntl.h>
#include <sys/file.h>
#include <sys/mman.h>
#include <time.h>
#include <unistd.h>

#include <cerrno>
#include <cstring>

namespace sim::board {

int64_t host_mono_ns() {
  timespec now;
  clock_gettime(CLOCK_MONOTONIC, &now);
  return board_clock::to_ns(now);
}

BoardTime::~BoardTime() {
  if (page_ != nullptr) {
    munmap(page_, board_clock::kPageSize);
  }
  if (fd_ >= 0) {
    close(fd_);
  }
}

int BoardTime::create(const std::string& path, uint32_t speed, int64_t startEpochMs,
                      std::string* ret_error) {
  auto fail = [&](const std::string& what) {
    if (ret_error != nullptr) {
      *ret_error = what + ": " + strerror(errno);
    }
    return -1;
  };
  if (page_ != nullptr) {
    errno = EBUSY;
    return fail("board clock already made");
  }
  if (speed < 1 || speed > board_clock::kMaxSpeed) {
    errno = EINVAL;
    return fail("time compression must be 1.." + std::to_string(board_clock::kMaxSpeed));
  }
  const int fd = open(path.c_str(), O_RDWR | O_CREAT | O_TRUNC | O_CLOEXEC, 0644);
  if (fd < 0) {
    return fail("cannot make the clock page " + path);
  }
  if (ftruncate(fd, board_clock::kPageSize) != 0) {
    close(fd);
    return fail("cannot size the clock page " + path);
  }
  void* memory = mmap(nullptr, board_clock::kPageSize, PROT_READ | PROT_WRITE, MAP_SHARED, fd, 0);
  if (memory == MAP_FAILED) {
    close(fd);
    return fail("cannot map the clock page " + path);
  }
  auto* page = static_cast<board_clock::Page*>(memory);
  const int64_t now = host_mono_ns();
  board_clock::Snapshot start;
  start.speed = speed;
  start.hostOrigin = now;
  start.monoAnchor = now;
  start.realAnchor = startEpochMs * 1000000;
  page->magic = board_clock::kPageMagic;
  page->version = board_clock::kPageVersion;
  board_clock::write(page, start);
  fd_ = fd;
  page_ = page;
  path_ = path;
  startMono_ = now;
  return 0;
}

board_clock::Snapshot BoardTime::snapshot() const {
  return page_ != nullptr ? board_clock::read(page_) : board_clock::Snapshot{};
}

uint32_t BoardTime::speed() const {
  return snapshot().speed;
}

std::chrono::milliseconds BoardTime::elapsed() const {
  const int64_t mono = board_clock::board_mono(snapshot(), host_mono_ns());
  return std::chrono::milliseconds((mono - startMono_) / 1000000);
}

int64_t BoardTime::epoch_ms() const {
  if (page_ == nullptr) {
    timespec now;
    clock_gettime(CLOCK_REALTIME, &now);
    return board_clock::to_ns(now) / 1000000;
  }
  return board_clock::board_real(snapshot(), host_mono_ns()) / 1000000;
}

int BoardTime::set_epoch_ms(int64_t epochMs) {
  if (page_ == nullptr) {
    return -1;
  }
  flock(fd_, LOCK_EX);
  const board_clock::Snapshot now = board_clock::read(page_);
  board_clock::write(page_, board_clock::with_real(now, host_mono_ns(), epochMs * 1000000));
  flock(fd_, LOCK_UN);
  return 0;
}

void BoardTime::sleep_until(std::chrono::milliseconds elapsed) const {
  const board_clock::Snapshot clock = snapshot();
  const int64_t boardMono = startMono_ + elapsed.count() * 1000000;
  const timespec deadline = board_clock::to_timespec(board_clock::host_mono(clock, boardMono));
  while (clock_nanosleep(CLOCK_MONOTONIC, TIMER_ABSTIME, &deadline, nullptr) == EINTR) {
  }
}

std::chrono::nanoseconds BoardTime::host_duration(std::chrono::nanoseconds boardDuration) const {
  return std::chrono::nanoseconds(board_clock::host_duration(snapshot(), boardDuration.count()));
}

}  // namespace sim::board
