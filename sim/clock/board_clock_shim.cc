// The board clock shim, preloaded into every process of the simulated board's sandbox.
//
// It gives the camera the board's date and time instead of the host's, lets `date -s` and
// every other way of setting the clock set the board's clock (the host's is out of reach in
// the sandbox anyway), and, when the scenario compresses time, shortens every sleep and every
// time-out by the same factor, so a five-second keep-alive period passes in half a second at
// speed 10 while the camera still measures five seconds.
//
// Without the BOARD_CLOCK page (the variable unset, the file missing or not a clock page) every
// call goes straight to the C library.
//
// Absolute deadlines of pthread_cond_timedwait are taken to be on CLOCK_REALTIME, the default
// of a condition variable; code that waits on a monotonic condition variable uses
// pthread_cond_clockwait, which is translated with its clock.
#include <dlfcn.h>
#include <fcntl.h>
#include <mqueue.h>
#include <poll.h>
#include <pthread.h>
#include <semaphore.h>
#include <signal.h>
#include <stdlib.h>
#include <sys/epoll.h>
#include <sys/file.h>
#include <sys/mman.h>
#include <sys/select.h>
#include <sys/time.h>
#include <time.h>
#include <unistd.h>

#include "sim/clock/board_clock_page.h"
#include "sim/clock/shim_next.h"

using board_clock::Page;
using board_clock::Snapshot;

namespace {

// 0 not looked for yet, 1 looking, 2 done (page_ may still be null: no board clock).
int g_state = 0;
Page* g_page = nullptr;
int g_page_fd = -1;

using board_shim::next;

using ClockGettime = int (*)(clockid_t, timespec*);

int real_clock_gettime(clockid_t clock, timespec* time) {
  static ClockGettime real = nullptr;
  if (real == nullptr) {
    real = next<ClockGettime>("clock_gettime");
  }
  return real(clock, time);
}

Page* page() {
  int state = __atomic_load_n(&g_state, __ATOMIC_ACQUIRE);
  if (state == 2) {
    return g_page;
  }
  int expected = 0;
  if (!__atomic_compare_exchange_n(&g_state, &expected, 1, false, __ATOMIC_ACQ_REL,
                                   __ATOMIC_ACQUIRE)) {
    // Another thread is mapping it; until it is done this call sees the host clock.
    return __atomic_load_n(&g_state, __ATOMIC_ACQUIRE) == 2 ? g_page : nullptr;
  }
  Page* mapped = nullptr;
  const char* path = getenv(board_clock::kPageEnvironment);
  if (path != nullptr && *path != '\0') {
    int fd = open(path, O_RDWR | O_CLOEXEC);
    bool writable = fd >= 0;
    if (fd < 0) {
      fd = open(path, O_RDONLY | O_CLOEXEC);
    }
    if (fd >= 0) {
      void* memory = mmap(nullptr, board_clock::kPageSize,
                          writable ? PROT_READ | PROT_WRITE : PROT_READ, MAP_SHARED, fd, 0);
      if (memory != MAP_FAILED && board_clock::valid(static_cast<Page*>(memory))) {
        mapped = static_cast<Page*>(memory);
        g_page_fd = writable ? fd : -1;
      } else {
        if (memory != MAP_FAILED) {
          munmap(memory, board_clock::kPageSize);
        }
      }
      if (g_page_fd < 0) {
        close(fd);
      }
    }
  }
  g_page = mapped;
  __atomic_store_n(&g_state, 2, __ATOMIC_RELEASE);
  return mapped;
}

int64_t host_mono_now() {
  timespec now;
  real_clock_gettime(CLOCK_MONOTONIC, &now);
  return board_clock::to_ns(now);
}

bool is_realtime(clockid_t clock) {
  return clock == CLOCK_REALTIME || clock == CLOCK_REALTIME_COARSE || clock == CLOCK_TAI;
}

bool is_monotonic(clockid_t clock) {
  return clock == CLOCK_MONOTONIC || clock == CLOCK_MONOTONIC_COARSE ||
         clock == CLOCK_MONOTONIC_RAW || clock == CLOCK_BOOTTIME;
}

// Sets board date and time; -1 when the page cannot be written.
int set_board_real(int64_t boardReal) {
  Page* clock = page();
  if (clock == nullptr || g_page_fd < 0) {
    return -1;
  }
  flock(g_page_fd, LOCK_EX);
  const Snapshot now = board_clock::read(clock);
  board_clock::write(clock, board_clock::with_real(now, host_mono_now(), boardReal));
  flock(g_page_fd, LOCK_UN);
  return 0;
}

// A relative board wait as the host waits it.
timespec host_wait(const Snapshot& clock, const timespec& boardWait) {
  return board_clock::to_timespec(board_clock::host_duration(clock, board_clock::to_ns(boardWait)));
}

// An absolute board deadline on `clockId` as a host deadline on the same clock.
timespec host_deadline(const Snapshot& clock, clockid_t clockId, const timespec& deadline) {
  const int64_t hostNow = host_mono_now();
  int64_t boardMonoDeadline = board_clock::to_ns(deadline);
  if (is_realtime(clockId)) {
    boardMonoDeadline = board_clock::mono_of_real(clock, boardMonoDeadline);
  }
  const int64_t hostLeft = board_clock::host_mono(clock, boardMonoDeadline) - hostNow;
  timespec hostClockNow;
  real_clock_gettime(is_realtime(clockId) ? CLOCK_REALTIME : CLOCK_MONOTONIC, &hostClockNow);
  return board_clock::to_timespec(board_clock::to_ns(hostClockNow) + hostLeft);
}

int timeout_ms(const Snapshot& clock, int boardMs) {
  if (boardMs <= 0) {
    return boardMs;
  }
  const int64_t hostNs = board_clock::host_duration(clock, int64_t{boardMs} * 1000000);
  const int64_t hostMs = (hostNs + 999999) / 1000000;
  return static_cast<int>(hostMs);
}

}  // namespace

extern "C" {

// Reading the clock.

int clock_gettime(clockid_t clockId, timespec* time) {
  const int result = real_clock_gettime(clockId, time);
  Page* clock = page();
  if (result != 0 || clock == nullptr || time == nullptr) {
    return result;
  }
  if (is_realtime(clockId)) {
    const Snapshot now = board_clock::read(clock);
    *time = board_clock::to_timespec(board_clock::board_real(now, host_mono_now()));
  } else if (is_monotonic(clockId)) {
    const Snapshot now = board_clock::read(clock);
    *time = board_clock::to_timespec(board_clock::board_mono(now, host_mono_now()));
  }
  return result;
}

int gettimeofday(struct timeval* time, void* zone) {
  using Real = int (*)(struct timeval*, void*);
  static Real real = next<Real>("gettimeofday");
  if (page() == nullptr || time == nullptr) {
    return real(time, zone);
  }
  timespec now;
  clock_gettime(CLOCK_REALTIME, &now);
  time->tv_sec = now.tv_sec;
  time->tv_usec = now.tv_nsec / 1000;
  if (zone != nullptr) {
    real(nullptr, zone);
  }
  return 0;
}

time_t time(time_t* result) {
  timespec now;
  clock_gettime(CLOCK_REALTIME, &now);
  if (result != nullptr) {
    *result = now.tv_sec;
  }
  return now.tv_sec;
}

// Setting the clock: the board's, never the host's.

int clock_settime(clockid_t clockId, const timespec* time) {
  using Real = int (*)(clockid_t, const timespec*);
  static Real real = next<Real>("clock_settime");
  if (page() == nullptr || time == nullptr || !is_realtime(clockId)) {
    return real(clockId, time);
  }
  return set_board_real(board_clock::to_ns(*time));
}

int settimeofday(const struct timeval* time, const struct timezone* zone) {
  using Real = int (*)(const struct timeval*, const struct timezone*);
  static Real real = next<Real>("settimeofday");
  if (page() == nullptr || time == nullptr) {
    return real(time, zone);
  }
  return set_board_real(int64_t{time->tv_sec} * board_clock::kNsPerSecond +
                        int64_t{time->tv_usec} * 1000);
}

// Sleeps.

int nanosleep(const timespec* request, timespec* remaining) {
  using Real = int (*)(const timespec*, timespec*);
  static Real real = next<Real>("nanosleep");
  Page* clock = page();
  if (clock == nullptr || request == nullptr) {
    return real(request, remaining);
  }
  const timespec wait = host_wait(board_clock::read(clock), *request);
  return real(&wait, nullptr);
}

int clock_nanosleep(clockid_t clockId, int flags, const timespec* request, timespec* remaining) {
  using Real = int (*)(clockid_t, int, const timespec*, timespec*);
  static Real real = next<Real>("clock_nanosleep");
  Page* clock = page();
  if (clock == nullptr || request == nullptr || (!is_realtime(clockId) && !is_monotonic(clockId))) {
    return real(clockId, flags, request, remaining);
  }
  const Snapshot now = board_clock::read(clock);
  if ((flags & TIMER_ABSTIME) != 0) {
    const timespec deadline = host_deadline(now, clockId, *request);
    return real(is_realtime(clockId) ? CLOCK_REALTIME : CLOCK_MONOTONIC, flags, &deadline,
                remaining);
  }
  const timespec wait = host_wait(now, *request);
  return real(clockId, flags, &wait, nullptr);
}

int usleep(useconds_t microseconds) {
  timespec wait = board_clock::to_timespec(int64_t{microseconds} * 1000);
  return nanosleep(&wait, nullptr);
}

unsigned int sleep(unsigned int seconds) {
  timespec wait = board_clock::to_timespec(int64_t{seconds} * board_clock::kNsPerSecond);
  return nanosleep(&wait, nullptr) == 0 ? 0 : seconds;
}

// Waits with a time-out.

int select(int count, fd_set* readable, fd_set* writable, fd_set* errors, struct timeval* timeout) {
  using Real = int (*)(int, fd_set*, fd_set*, fd_set*, struct timeval*);
  static Real real = next<Real>("select");
  Page* clock = page();
  if (clock == nullptr || timeout == nullptr) {
    return real(count, readable, writable, errors, timeout);
  }
  const int64_t boardNs =
      int64_t{timeout->tv_sec} * board_clock::kNsPerSecond + int64_t{timeout->tv_usec} * 1000;
  const timespec host = host_wait(board_clock::read(clock), board_clock::to_timespec(boardNs));
  struct timeval hostTimeout = {host.tv_sec, host.tv_nsec / 1000};
  if (boardNs > 0 && hostTimeout.tv_sec == 0 && hostTimeout.tv_usec == 0) {
    hostTimeout.tv_usec = 1;
  }
  const int64_t hostAsked =
      int64_t{hostTimeout.tv_sec} * board_clock::kNsPerSecond + int64_t{hostTimeout.tv_usec} * 1000;
  const int result = real(count, readable, writable, errors, &hostTimeout);
  // Linux leaves the time not waited in the argument, and the link loops wait again with what
  // is left: give back the board time that was not waited.
  const int64_t hostLeft =
      int64_t{hostTimeout.tv_sec} * board_clock::kNsPerSecond + int64_t{hostTimeout.tv_usec} * 1000;
  const int64_t boardWaited = (hostAsked - hostLeft) * board_clock::read(clock).speed;
  const int64_t boardLeft = boardNs > boardWaited ? boardNs - boardWaited : 0;
  timeout->tv_sec = static_cast<time_t>(boardLeft / board_clock::kNsPerSecond);
  timeout->tv_usec = static_cast<suseconds_t>(boardLeft % board_clock::kNsPerSecond / 1000);
  return result;
}

int pselect(int count, fd_set* readable, fd_set* writable, fd_set* errors, const timespec* timeout,
            const sigset_t* mask) {
  using Real = int (*)(int, fd_set*, fd_set*, fd_set*, const timespec*, const sigset_t*);
  static Real real = next<Real>("pselect");
  Page* clock = page();
  if (clock == nullptr || timeout == nullptr) {
    return real(count, readable, writable, errors, timeout, mask);
  }
  const timespec host = host_wait(board_clock::read(clock), *timeout);
  return real(count, readable, writable, errors, &host, mask);
}

int poll(struct pollfd* fds, nfds_t count, int timeout) {
  using Real = int (*)(struct pollfd*, nfds_t, int);
  static Real real = next<Real>("poll");
  Page* clock = page();
  if (clock == nullptr) {
    return real(fds, count, timeout);
  }
  return real(fds, count, timeout_ms(board_clock::read(clock), timeout));
}

int ppoll(struct pollfd* fds, nfds_t count, const timespec* timeout, const sigset_t* mask) {
  using Real = int (*)(struct pollfd*, nfds_t, const timespec*, const sigset_t*);
  static Real real = next<Real>("ppoll");
  Page* clock = page();
  if (clock == nullptr || timeout == nullptr) {
    return real(fds, count, timeout, mask);
  }
  const timespec host = host_wait(board_clock::read(clock), *timeout);
  return real(fds, count, &host, mask);
}

int epoll_wait(int epoll, struct epoll_event* events, int count, int timeout) {
  using Real = int (*)(int, struct epoll_event*, int, int);
  static Real real = next<Real>("epoll_wait");
  Page* clock = page();
  if (clock == nullptr) {
    return real(epoll, events, count, timeout);
  }
  return real(epoll, events, count, timeout_ms(board_clock::read(clock), timeout));
}

// Waits until an absolute deadline.

int sem_timedwait(sem_t* semaphore, const timespec* deadline) {
  using Real = int (*)(sem_t*, const timespec*);
  static Real real = next<Real>("sem_timedwait");
  Page* clock = page();
  if (clock == nullptr || deadline == nullptr) {
    return real(semaphore, deadline);
  }
  const timespec host = host_deadline(board_clock::read(clock), CLOCK_REALTIME, *deadline);
  return real(semaphore, &host);
}

int sem_clockwait(sem_t* semaphore, clockid_t clockId, const timespec* deadline) {
  using Real = int (*)(sem_t*, clockid_t, const timespec*);
  static Real real = next<Real>("sem_clockwait");
  Page* clock = page();
  if (clock == nullptr || deadline == nullptr) {
    return real(semaphore, clockId, deadline);
  }
  const timespec host = host_deadline(board_clock::read(clock), clockId, *deadline);
  return real(semaphore, clockId, &host);
}

int pthread_cond_timedwait(pthread_cond_t* condition, pthread_mutex_t* mutex,
                           const timespec* deadline) {
  using Real = int (*)(pthread_cond_t*, pthread_mutex_t*, const timespec*);
  static Real real =
      reinterpret_cast<Real>(dlvsym(RTLD_NEXT, "pthread_cond_timedwait", "GLIBC_2.3.2"));
  if (real == nullptr) {
    real = next<Real>("pthread_cond_timedwait");
  }
  Page* clock = page();
  if (clock == nullptr || deadline == nullptr) {
    return real(condition, mutex, deadline);
  }
  const timespec host = host_deadline(board_clock::read(clock), CLOCK_REALTIME, *deadline);
  return real(condition, mutex, &host);
}

int pthread_cond_clockwait(pthread_cond_t* condition, pthread_mutex_t* mutex, clockid_t clockId,
                           const timespec* deadline) {
  using Real = int (*)(pthread_cond_t*, pthread_mutex_t*, clockid_t, const timespec*);
  static Real real = next<Real>("pthread_cond_clockwait");
  Page* clock = page();
  if (clock == nullptr || deadline == nullptr) {
    return real(condition, mutex, clockId, deadline);
  }
  const timespec host = host_deadline(board_clock::read(clock), clockId, *deadline);
  return real(condition, mutex, clockId, &host);
}

ssize_t mq_timedreceive(mqd_t queue, char* message, size_t size, unsigned int* priority,
                        const timespec* deadline) {
  using Real = ssize_t (*)(mqd_t, char*, size_t, unsigned int*, const timespec*);
  static Real real = next<Real>("mq_timedreceive");
  Page* clock = page();
  if (clock == nullptr || deadline == nullptr) {
    return real(queue, message, size, priority, deadline);
  }
  const timespec host = host_deadline(board_clock::read(clock), CLOCK_REALTIME, *deadline);
  return real(queue, message, size, priority, &host);
}

int mq_timedsend(mqd_t queue, const char* message, size_t size, unsigned int priority,
                 const timespec* deadline) {
  using Real = int (*)(mqd_t, const char*, size_t, unsigned int, const timespec*);
  static Real real = next<Real>("mq_timedsend");
  Page* clock = page();
  if (clock == nullptr || deadline == nullptr) {
    return real(queue, message, size, priority, deadline);
  }
  const timespec host = host_deadline(board_clock::read(clock), CLOCK_REALTIME, *deadline);
  return real(queue, message, size, priority, &host);
}

}  // extern "C"
