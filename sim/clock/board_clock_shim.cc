// The board clock shim, preloaded into every process of the simulated board's sandbox.
//
// It gives the camera the board's date and time instead of the host's (its monotonic clock
// counting from its power-up), lets `date -s` and every other way of setting the clock set the
// board's clock (the host's is out of reach in the sandbox anyway), and tells the board what
// the camera's threads do, so that board time can run ahead while everything waits:
//  - every timed wait (sleeps, select, poll, epoll, semaphore, condition and queue waits)
//    registers its board deadline in the clock page for as long as it waits. The board may make
//    board time jump to it, and then ends the wait with the wake signal; waits that can take a
//    signal atomically (ppoll, pselect, epoll_pwait) unblock it only while they wait;
//  - a process registers itself and reports its processor time when it exits, so the board
//    can charge the camera's computation to board time even for a command that came and went
//    between two of the board's looks;
//  - the host media library marks the work of the chip's hardware (board_clock_hardware_begin
//    and _end), which costs no board time; threads started during such work are the
//    hardware's for their whole life;
//  - reads and writes on the serial lines are counted, so the board knows when bytes are still
//    on their way through the kernel's terminal layer.
//
// Without the BOARD_CLOCK page (the variable unset, the file missing or not a clock page) every
// call goes straight to the C library.
//
// Absolute deadlines of pthread_cond_timedwait are taken to be on CLOCK_REALTIME, the default
// of a condition variable; code that waits on a monotonic condition variable uses
// pthread_cond_clockwait, which is translated with its clock.
#include <dlfcn.h>
#include <errno.h>
#include <fcntl.h>
#include <linux/futex.h>
#include <mqueue.h>
#include <poll.h>
#include <pthread.h>
#include <semaphore.h>
#include <signal.h>
#include <spawn.h>
#include <stdarg.h>
#include <stdio.h>
#include <stdlib.h>
#include <string.h>
#include <sys/epoll.h>
#include <sys/file.h>
#include <sys/mman.h>
#include <sys/select.h>
#include <sys/stat.h>
#include <sys/syscall.h>
#include <sys/time.h>
#include <time.h>
#include <unistd.h>

#include "sim/clock/board_clock_page.h"
#include "sim/clock/shim_next.h"

using board_clock::Date;
using board_clock::Page;

#define SHIM_TLS __thread __attribute__((tls_model("initial-exec")))

namespace {

using board_shim::next;

// 0 not looked for yet, 1 looking, 2 done (g_page may still be null: no board clock).
int g_state = 0;
Page* g_page = nullptr;
int g_page_fd = -1;
uint64_t g_pid_namespace = 0;

// Set by the wake signal's handler: the board ended this thread's wait.
SHIM_TLS volatile sig_atomic_t t_woken = 0;
// Depth of hardware work on this thread and the slot that records it.
SHIM_TLS int t_hardware_depth = 0;
SHIM_TLS int t_hardware_slot = -1;
// The process's own slot, and whether it reported its end.
int g_process_slot = -1;
int g_exit_reported = 0;

// Serial lines by descriptor: 0 none, else line + 1.
constexpr int kTrackedDescriptors = 1024;
unsigned char g_line_of[kTrackedDescriptors];

using ClockGettime = int (*)(clockid_t, timespec*);
using SigprocmaskFn = int (*)(int, const sigset_t*, sigset_t*);
using PpollFn = int (*)(struct pollfd*, nfds_t, const timespec*, const sigset_t*);
using ReadFn = ssize_t (*)(int, void*, size_t);
using WriteFn = ssize_t (*)(int, const void*, size_t);

int real_clock_gettime(clockid_t clock, timespec* time) {
  static ClockGettime real = nullptr;
  if (real == nullptr) {
    real = next<ClockGettime>("clock_gettime");
  }
  return real(clock, time);
}

int real_pthread_sigmask(int how, const sigset_t* set, sigset_t* old) {
  static SigprocmaskFn real = nullptr;
  if (real == nullptr) {
    real = next<SigprocmaskFn>("pthread_sigmask");
  }
  return real(how, set, old);
}

int real_ppoll(struct pollfd* fds, nfds_t count, const timespec* timeout, const sigset_t* mask) {
  static PpollFn real = nullptr;
  if (real == nullptr) {
    real = next<PpollFn>("ppoll");
  }
  return real(fds, count, timeout, mask);
}

int64_t thread_cpu_now() {
  timespec now;
  real_clock_gettime(CLOCK_THREAD_CPUTIME_ID, &now);
  return board_clock::to_ns(now);
}

pid_t thread_id() {
  return static_cast<pid_t>(syscall(SYS_gettid));
}

void on_wake_signal(int) {
  t_woken = 1;
}

Page* map_page() {
  const char* path = getenv(board_clock::kPageEnvironment);
  if (path == nullptr || *path == '\0') {
    return nullptr;
  }
  int fd = open(path, O_RDWR | O_CLOEXEC);
  bool writable = fd >= 0;
  if (fd < 0) {
    fd = open(path, O_RDONLY | O_CLOEXEC);
  }
  if (fd < 0) {
    return nullptr;
  }
  void* memory = mmap(nullptr, board_clock::kPageSize,
                      writable ? PROT_READ | PROT_WRITE : PROT_READ, MAP_SHARED, fd, 0);
  Page* mapped = nullptr;
  if (memory != MAP_FAILED && board_clock::valid(static_cast<Page*>(memory)) && writable) {
    mapped = static_cast<Page*>(memory);
    g_page_fd = fd;
  } else {
    if (memory != MAP_FAILED) {
      munmap(memory, board_clock::kPageSize);
    }
    close(fd);
  }
  return mapped;
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
  Page* mapped = map_page();
  if (mapped != nullptr) {
    struct stat self;
    if (stat("/proc/self/ns/pid", &self) == 0) {
      g_pid_namespace = self.st_ino;
    }
  }
  g_page = mapped;
  __atomic_store_n(&g_state, 2, __ATOMIC_RELEASE);
  return mapped;
}

// The page for the clock reads and waits of the calling thread: none while it does the chip's
// hardware work, which runs on the host's time beside the camera's processor (the encoder's
// own threads time their work; their waits must not stand still with board time).
Page* camera_page() {
  return t_hardware_depth > 0 ? nullptr : page();
}

// ---- Board time.

int64_t board_now(const Page* clock) {
  return board_clock::board_mono(clock);
}

bool is_realtime(clockid_t clock) {
  return clock == CLOCK_REALTIME || clock == CLOCK_REALTIME_COARSE || clock == CLOCK_TAI;
}

bool is_monotonic(clockid_t clock) {
  return clock == CLOCK_MONOTONIC || clock == CLOCK_MONOTONIC_COARSE ||
         clock == CLOCK_MONOTONIC_RAW || clock == CLOCK_BOOTTIME;
}

// An absolute deadline on `clockId`, as the camera gives it, in board monotonic time.
int64_t board_deadline(const Page* clock, clockid_t clockId, const timespec& deadline) {
  const Date date = board_clock::read_date(clock);
  const int64_t at = board_clock::to_ns(deadline);
  return is_realtime(clockId) ? board_clock::mono_of_real(date, at)
                              : board_clock::mono_of_camera(date, at);
}

// Sets board date and time; -1 when the page cannot be written.
int set_board_real(int64_t boardReal) {
  Page* clock = page();
  if (clock == nullptr || g_page_fd < 0) {
    return -1;
  }
  flock(g_page_fd, LOCK_EX);
  const Date now = board_clock::read_date(clock);
  board_clock::write_locked(&clock->dateSequence, &clock->date,
                            board_clock::with_real(now, board_now(clock), boardReal));
  flock(g_page_fd, LOCK_UN);
  return 0;
}

// How long the host waits for a board span. A wait the board knows of is ended by the board
// when board time reaches its deadline (by a jump, or by the camera's computing); its host
// timer only makes the thread look at the clock again now and then. A wait the board does not
// know of (its table was full) waits as if board time ran with host time.
constexpr int64_t kLookAgainNs = board_clock::kNsPerSecond;

timespec host_span(int64_t boardLeft, bool registered) {
  if (registered) {
    return board_clock::to_timespec(kLookAgainNs);
  }
  return board_clock::to_timespec(boardLeft > 0 ? boardLeft : 0);
}

// ---- What the camera's threads do, as the board sees it.

void wake_board(Page* clock) {
  __atomic_add_fetch(&clock->activity, 1U, __ATOMIC_SEQ_CST);
  if (__atomic_load_n(&clock->listening, __ATOMIC_SEQ_CST) != 0) {
    syscall(SYS_futex, &clock->activity, FUTEX_WAKE, 1, nullptr, nullptr, 0);
  }
}

// Takes a free slot of `table` (by its state word), starting at a place that spreads threads.
template <typename Slot, uint32_t kCount>
int take_slot(Slot (&table)[kCount], uint32_t start) {
  for (uint32_t i = 0; i < kCount; ++i) {
    Slot& slot = table[(start + i) % kCount];
    uint32_t expected = board_clock::kSlotFree;
    if (__atomic_load_n(&slot.state, __ATOMIC_RELAXED) == board_clock::kSlotFree &&
        __atomic_compare_exchange_n(&slot.state, &expected, board_clock::kSlotWriting, false,
                                    __ATOMIC_ACQUIRE, __ATOMIC_RELAXED)) {
      return static_cast<int>((start + i) % kCount);
    }
  }
  return -1;
}

// A timed wait of the calling thread, registered for its life.
class TimedWait {
 public:
  TimedWait(Page* clock, int64_t deadline, bool wakeable, uint32_t waitsFor) : clock_(clock) {
    const pid_t tid = thread_id();
    slot_ = take_slot(clock->waiters, static_cast<uint32_t>(tid) * 7U);
    if (slot_ >= 0) {
      board_clock::Waiter& waiter = clock->waiters[slot_];
      waiter.wakeable = wakeable ? 1 : 0;
      waiter.waitsFor = waitsFor;
      waiter.pidNamespace = g_pid_namespace;
      waiter.tid = tid;
      waiter.deadline = deadline;
      __atomic_store_n(&waiter.state, board_clock::kSlotWaiting, __ATOMIC_RELEASE);
    }
    clock->lastWaiterNamespace = g_pid_namespace;
    __atomic_store_n(&clock->lastWaiter, tid, __ATOMIC_RELEASE);
    wake_board(clock);
  }
  bool registered() const { return slot_ >= 0; }
  ~TimedWait() {
    if (slot_ >= 0) {
      __atomic_store_n(&clock_->waiters[slot_].state, board_clock::kSlotFree, __ATOMIC_RELEASE);
    }
  }
  TimedWait(const TimedWait&) = delete;
  TimedWait& operator=(const TimedWait&) = delete;

 private:
  Page* clock_;
  int slot_ = -1;
};

// The thread's signal mask for a wait: as `base` (the current mask when null), with the wake
// signal let through.
sigset_t wait_mask(const sigset_t* base) {
  sigset_t mask;
  if (base != nullptr) {
    mask = *base;
  } else {
    real_pthread_sigmask(SIG_BLOCK, nullptr, &mask);
  }
  sigdelset(&mask, board_clock::wake_signal());
  return mask;
}

// Whether an EINTR came from the board's wake signal alone (the wait goes on) rather than from
// a signal of the program's own (the caller must see it).
bool woken_by_board() {
  return t_woken != 0;
}

void register_process(Page* clock) {
  const pid_t pid = getpid();
  // After an exec the program before it may have registered this process already.
  for (uint32_t i = 0; i < board_clock::kProcessSlots; ++i) {
    board_clock::Process& slot = clock->processes[i];
    if (__atomic_load_n(&slot.state, __ATOMIC_ACQUIRE) == board_clock::kSlotActive &&
        slot.pid == pid && slot.pidNamespace == g_pid_namespace) {
      g_process_slot = static_cast<int>(i);
      return;
    }
  }
  g_process_slot = take_slot(clock->processes, static_cast<uint32_t>(pid));
  if (g_process_slot >= 0) {
    board_clock::Process& slot = clock->processes[g_process_slot];
    slot.pid = pid;
    slot.pidNamespace = g_pid_namespace;
    slot.cpuAtExit = 0;
    __atomic_store_n(&slot.state, board_clock::kSlotActive, __ATOMIC_RELEASE);
  }
}

void report_exit() {
  Page* clock = page();
  if (clock == nullptr || g_process_slot < 0 ||
      __atomic_exchange_n(&g_exit_reported, 1, __ATOMIC_ACQ_REL) != 0) {
    return;
  }
  timespec used;
  real_clock_gettime(CLOCK_PROCESS_CPUTIME_ID, &used);
  board_clock::Process& slot = clock->processes[g_process_slot];
  slot.cpuAtExit = board_clock::to_ns(used);
  __atomic_store_n(&slot.state, board_clock::kSlotEnded, __ATOMIC_RELEASE);
}

// A process of the sandbox starts another: the board looks for it. Told before (the board looks
// soon) and again once the new process exists (the board may have looked in between).
void note_spawn() {
  if (Page* clock = page()) {
    __atomic_add_fetch(&clock->spawned, 1U, __ATOMIC_RELEASE);
  }
}

void after_fork_in_child() {
  g_exit_reported = 0;
  g_process_slot = -1;
  if (Page* clock = page()) {
    register_process(clock);
  }
}

void hardware_begin(bool wholeLife) {
  Page* clock = page();
  if (clock == nullptr || t_hardware_depth++ > 0) {
    return;
  }
  const pid_t tid = thread_id();
  t_hardware_slot = take_slot(clock->hardware, static_cast<uint32_t>(tid));
  if (t_hardware_slot >= 0) {
    board_clock::Hardware& slot = clock->hardware[t_hardware_slot];
    slot.wholeLife = wholeLife ? 1 : 0;
    slot.pidNamespace = g_pid_namespace;
    slot.tid = tid;
    slot.cpuAtStart = thread_cpu_now();
    slot.cpuAtEnd = 0;
    __atomic_store_n(&slot.state, board_clock::kSlotActive, __ATOMIC_RELEASE);
  }
}

void hardware_end() {
  Page* clock = page();
  if (clock == nullptr || t_hardware_depth == 0 || --t_hardware_depth > 0) {
    return;
  }
  if (t_hardware_slot >= 0) {
    board_clock::Hardware& slot = clock->hardware[t_hardware_slot];
    slot.cpuAtEnd = thread_cpu_now();
    __atomic_store_n(&slot.state, board_clock::kSlotEnded, __ATOMIC_RELEASE);
    t_hardware_slot = -1;
  }
}

__attribute__((constructor)) void start_under_board_clock() {
  Page* clock = page();
  if (clock == nullptr) {
    return;
  }
  struct sigaction action;
  memset(&action, 0, sizeof action);
  action.sa_handler = on_wake_signal;
  action.sa_flags = SA_RESTART;
  sigemptyset(&action.sa_mask);
  using SigactionFn = int (*)(int, const struct sigaction*, struct sigaction*);
  next<SigactionFn>("sigaction")(board_clock::wake_signal(), &action, nullptr);
  // Blocked everywhere but inside the shim's waits; threads inherit it.
  sigset_t wake;
  sigemptyset(&wake);
  sigaddset(&wake, board_clock::wake_signal());
  real_pthread_sigmask(SIG_BLOCK, &wake, nullptr);
  register_process(clock);
  pthread_atfork(note_spawn, note_spawn, after_fork_in_child);
}

__attribute__((destructor)) void end_under_board_clock() {
  report_exit();
}

// ---- Serial lines.

int serial_line_of(int fd) {
  Page* clock = page();
  if (clock == nullptr) {
    return 0;
  }
  struct stat device;
  if (fstat(fd, &device) != 0 || !S_ISCHR(device.st_mode)) {
    return 0;
  }
  for (uint32_t i = 0; i < board_clock::kSerialLines; ++i) {
    if (clock->lines[i].device != 0 && clock->lines[i].device == device.st_rdev) {
      return static_cast<int>(i) + 1;
    }
  }
  return 0;
}

void note_opened(int fd, const char* path) {
  if (fd < 0 || fd >= kTrackedDescriptors) {
    return;
  }
  g_line_of[fd] = 0;
  if (path != nullptr && strncmp(path, "/dev/tty", 8) == 0) {
    g_line_of[fd] = static_cast<unsigned char>(serial_line_of(fd));
  }
}

void note_closed(int fd) {
  if (fd >= 0 && fd < kTrackedDescriptors) {
    g_line_of[fd] = 0;
  }
}

int64_t* serial_count(int fd, bool wrote) {
  if (fd < 0 || fd >= kTrackedDescriptors || g_line_of[fd] == 0 || g_page == nullptr) {
    return nullptr;
  }
  board_clock::SerialBytes& line = g_page->lines[g_line_of[fd] - 1];
  return wrote ? &line.cameraWrote : &line.cameraRead;
}

}  // namespace

extern "C" {

// The host media library marks the chip's hardware work with these (found with dlsym, so the
// library runs the same without the board).
void board_clock_hardware_begin(void) {
  hardware_begin(false);
}

void board_clock_hardware_end(void) {
  hardware_end();
}

// Reading the clock.

int clock_gettime(clockid_t clockId, timespec* time) {
  const int result = real_clock_gettime(clockId, time);
  Page* clock = camera_page();
  if (result != 0 || clock == nullptr || time == nullptr) {
    return result;
  }
  if (is_realtime(clockId)) {
    *time = board_clock::to_timespec(
        board_clock::board_real(board_clock::read_date(clock), board_now(clock)));
  } else if (is_monotonic(clockId)) {
    *time = board_clock::to_timespec(
        board_clock::camera_mono(board_clock::read_date(clock), board_now(clock)));
  }
  return result;
}

int gettimeofday(struct timeval* time, void* zone) {
  using Real = int (*)(struct timeval*, void*);
  static Real real = next<Real>("gettimeofday");
  if (camera_page() == nullptr || time == nullptr) {
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
  if (camera_page() == nullptr || time == nullptr || !is_realtime(clockId)) {
    return real(clockId, time);
  }
  return set_board_real(board_clock::to_ns(*time));
}

int settimeofday(const struct timeval* time, const struct timezone* zone) {
  using Real = int (*)(const struct timeval*, const struct timezone*);
  static Real real = next<Real>("settimeofday");
  if (camera_page() == nullptr || time == nullptr) {
    return real(time, zone);
  }
  return set_board_real(int64_t{time->tv_sec} * board_clock::kNsPerSecond +
                        int64_t{time->tv_usec} * 1000);
}

}  // extern "C"

namespace {

// Sleeps until board time `deadline`. Returns 0, or EINTR with the board time left in
// `ret_left` when a signal of the program's own came.
int sleep_until(Page* clock, int64_t deadline, int64_t* ret_left) {
  int64_t left = deadline - board_now(clock);
  if (left <= 0) {
    return 0;
  }
  TimedWait wait(clock, deadline, true, board_clock::kWaitForTime);
  const sigset_t mask = wait_mask(nullptr);
  for (; left > 0; left = deadline - board_now(clock)) {
    t_woken = 0;
    const timespec span = host_span(left, wait.registered());
    if (real_ppoll(nullptr, 0, &span, &mask) < 0 && errno == EINTR && !woken_by_board()) {
      if (ret_left != nullptr) {
        *ret_left = deadline - board_now(clock);
      }
      return EINTR;
    }
  }
  return 0;
}

// A wait for descriptors until board time `deadline`, through `wait` (a ppoll-like call given
// the host span and the signal mask). The descriptors' state is rebuilt before each try by
// `reset`. Returns what the last call returned, or 0 when the deadline came.
template <typename Wait, typename Reset>
int wait_descriptors(Page* clock, int64_t deadline, const sigset_t* base, Wait wait, Reset reset) {
  TimedWait registration(clock, deadline, true, board_clock::kWaitForSomething);
  const sigset_t mask = wait_mask(base);
  for (;;) {
    reset();
    const int64_t left = deadline - board_now(clock);
    if (left <= 0) {
      return 0;
    }
    t_woken = 0;
    const timespec span = host_span(left, registration.registered());
    const int result = wait(&span, &mask);
    if (result > 0 || (result < 0 && (errno != EINTR || !woken_by_board()))) {
      return result;
    }
  }
}

int board_ppoll(struct pollfd* fds, nfds_t count, const timespec* timeout, const sigset_t* mask) {
  Page* clock = camera_page();
  if (clock == nullptr || timeout == nullptr || board_clock::to_ns(*timeout) <= 0) {
    return real_ppoll(fds, count, timeout, mask);
  }
  const int64_t deadline = board_now(clock) + board_clock::to_ns(*timeout);
  const int result = wait_descriptors(
      clock, deadline, mask,
      [&](const timespec* span, const sigset_t* waitMask) {
        return real_ppoll(fds, count, span, waitMask);
      },
      [] {});
  if (result == 0) {
    for (nfds_t i = 0; i < count; ++i) {
      fds[i].revents = 0;
    }
  }
  return result;
}

int millisecond_timeout(const timespec* span) {
  const int64_t ns = board_clock::to_ns(*span);
  const int64_t ms = (ns + 999999) / 1000000;
  return ms > 0x7fffffff ? 0x7fffffff : static_cast<int>(ms);
}

// A select of the camera until board time `deadline`: the sets are asked again whenever the
// wait starts over, and are empty when the time ran out.
using PselectFn = int (*)(int, fd_set*, fd_set*, fd_set*, const timespec*, const sigset_t*);
int select_until(Page* clock, int64_t deadline, const sigset_t* mask, int count, fd_set* readable,
                 fd_set* writable, fd_set* errors, PselectFn real_pselect) {
  fd_set asked[3];
  fd_set* sets[3] = {readable, writable, errors};
  for (int i = 0; i < 3; ++i) {
    if (sets[i] != nullptr) {
      asked[i] = *sets[i];
    }
  }
  const int result = wait_descriptors(
      clock, deadline, mask,
      [&](const timespec* span, const sigset_t* waitMask) {
        return real_pselect(count, readable, writable, errors, span, waitMask);
      },
      [&] {
        for (int i = 0; i < 3; ++i) {
          if (sets[i] != nullptr) {
            *sets[i] = asked[i];
          }
        }
      });
  if (result == 0) {
    for (fd_set* set : sets) {
      if (set != nullptr) {
        FD_ZERO(set);
      }
    }
  }
  return result;
}

}  // namespace

extern "C" {

// Sleeps.

int nanosleep(const timespec* request, timespec* remaining) {
  using Real = int (*)(const timespec*, timespec*);
  static Real real = next<Real>("nanosleep");
  Page* clock = camera_page();
  if (clock == nullptr || request == nullptr || request->tv_nsec < 0 ||
      request->tv_nsec >= board_clock::kNsPerSecond || request->tv_sec < 0) {
    return real(request, remaining);
  }
  int64_t left = 0;
  if (sleep_until(clock, board_now(clock) + board_clock::to_ns(*request), &left) != 0) {
    if (remaining != nullptr) {
      *remaining = board_clock::to_timespec(left > 0 ? left : 0);
    }
    errno = EINTR;
    return -1;
  }
  return 0;
}

int clock_nanosleep(clockid_t clockId, int flags, const timespec* request, timespec* remaining) {
  using Real = int (*)(clockid_t, int, const timespec*, timespec*);
  static Real real = next<Real>("clock_nanosleep");
  Page* clock = camera_page();
  if (clock == nullptr || request == nullptr || (!is_realtime(clockId) && !is_monotonic(clockId)) ||
      request->tv_nsec < 0 || request->tv_nsec >= board_clock::kNsPerSecond) {
    return real(clockId, flags, request, remaining);
  }
  const bool absolute = (flags & TIMER_ABSTIME) != 0;
  const int64_t deadline = absolute ? board_deadline(clock, clockId, *request)
                                    : board_now(clock) + board_clock::to_ns(*request);
  int64_t left = 0;
  const int result = sleep_until(clock, deadline, &left);
  if (result != 0 && !absolute && remaining != nullptr) {
    *remaining = board_clock::to_timespec(left > 0 ? left : 0);
  }
  return result;
}

int usleep(useconds_t microseconds) {
  timespec wait = board_clock::to_timespec(int64_t{microseconds} * 1000);
  return nanosleep(&wait, nullptr);
}

unsigned int sleep(unsigned int seconds) {
  timespec wait = board_clock::to_timespec(int64_t{seconds} * board_clock::kNsPerSecond);
  timespec left = {0, 0};
  if (nanosleep(&wait, &left) == 0) {
    return 0;
  }
  return static_cast<unsigned int>(left.tv_sec + (left.tv_nsec > 0 ? 1 : 0));
}

// Waits for descriptors with a time-out.

int select(int count, fd_set* readable, fd_set* writable, fd_set* errors, struct timeval* timeout) {
  using Real = int (*)(int, fd_set*, fd_set*, fd_set*, struct timeval*);
  static Real real = next<Real>("select");
  static PselectFn real_pselect = next<PselectFn>("pselect");
  Page* clock = camera_page();
  if (clock == nullptr || timeout == nullptr || (timeout->tv_sec == 0 && timeout->tv_usec == 0) ||
      timeout->tv_sec < 0 || timeout->tv_usec < 0 || timeout->tv_usec >= 1000000) {
    return real(count, readable, writable, errors, timeout);
  }
  const int64_t deadline = board_now(clock) + int64_t{timeout->tv_sec} * board_clock::kNsPerSecond +
                           int64_t{timeout->tv_usec} * 1000;
  const int result =
      select_until(clock, deadline, nullptr, count, readable, writable, errors, real_pselect);
  // Linux leaves the time not waited in the argument, and the link loops wait again with what
  // is left.
  int64_t left = deadline - board_now(clock);
  if (left < 0) {
    left = 0;
  }
  timeout->tv_sec = static_cast<time_t>(left / board_clock::kNsPerSecond);
  timeout->tv_usec = static_cast<suseconds_t>(left % board_clock::kNsPerSecond / 1000);
  return result;
}

int pselect(int count, fd_set* readable, fd_set* writable, fd_set* errors, const timespec* timeout,
            const sigset_t* mask) {
  static PselectFn real = next<PselectFn>("pselect");
  Page* clock = camera_page();
  if (clock == nullptr || timeout == nullptr || board_clock::to_ns(*timeout) <= 0) {
    return real(count, readable, writable, errors, timeout, mask);
  }
  const int64_t deadline = board_now(clock) + board_clock::to_ns(*timeout);
  return select_until(clock, deadline, mask, count, readable, writable, errors, real);
}

int ppoll(struct pollfd* fds, nfds_t count, const timespec* timeout, const sigset_t* mask) {
  return board_ppoll(fds, count, timeout, mask);
}

int poll(struct pollfd* fds, nfds_t count, int timeout) {
  using Real = int (*)(struct pollfd*, nfds_t, int);
  static Real real = next<Real>("poll");
  if (camera_page() == nullptr || timeout <= 0) {
    return real(fds, count, timeout);
  }
  const timespec span = board_clock::to_timespec(int64_t{timeout} * 1000000);
  return board_ppoll(fds, count, &span, nullptr);
}

int epoll_pwait(int epoll, struct epoll_event* events, int count, int timeout,
                const sigset_t* mask) {
  using Real = int (*)(int, struct epoll_event*, int, int, const sigset_t*);
  static Real real = next<Real>("epoll_pwait");
  Page* clock = camera_page();
  if (clock == nullptr || timeout <= 0) {
    return real(epoll, events, count, timeout, mask);
  }
  const int64_t deadline = board_now(clock) + int64_t{timeout} * 1000000;
  return wait_descriptors(
      clock, deadline, mask,
      [&](const timespec* span, const sigset_t* waitMask) {
        return real(epoll, events, count, millisecond_timeout(span), waitMask);
      },
      [] {});
}

int epoll_wait(int epoll, struct epoll_event* events, int count, int timeout) {
  return epoll_pwait(epoll, events, count, timeout, nullptr);
}

// Waits until an absolute deadline on an object without a descriptor: the wake signal is let
// through around the call. A signal that comes between letting it through and the wait is
// lost; the board sends it again while the thread still waits past its deadline.

int sem_clockwait(sem_t* semaphore, clockid_t clockId, const timespec* deadline) {
  using Real = int (*)(sem_t*, clockid_t, const timespec*);
  static Real real = next<Real>("sem_clockwait");
  Page* clock = camera_page();
  if (clock == nullptr || deadline == nullptr ||
      (!is_realtime(clockId) && !is_monotonic(clockId))) {
    return real(semaphore, clockId, deadline);
  }
  const int64_t due = board_deadline(clock, clockId, *deadline);
  TimedWait registration(clock, due, true, board_clock::kWaitForSomething);
  sigset_t wake;
  sigemptyset(&wake);
  sigaddset(&wake, board_clock::wake_signal());
  for (;;) {
    if (sem_trywait(semaphore) == 0) {
      return 0;
    }
    const int64_t left = due - board_now(clock);
    if (left <= 0) {
      errno = ETIMEDOUT;
      return -1;
    }
    timespec hostNow;
    real_clock_gettime(CLOCK_MONOTONIC, &hostNow);
    const timespec hostDeadline =
        board_clock::to_timespec(board_clock::to_ns(hostNow) +
                                 board_clock::to_ns(host_span(left, registration.registered())));
    t_woken = 0;
    real_pthread_sigmask(SIG_UNBLOCK, &wake, nullptr);
    const int result = real(semaphore, CLOCK_MONOTONIC, &hostDeadline);
    const int error = errno;
    real_pthread_sigmask(SIG_BLOCK, &wake, nullptr);
    if (result == 0) {
      return 0;
    }
    if (error != ETIMEDOUT && !(error == EINTR && woken_by_board())) {
      errno = error;
      return -1;
    }
  }
}

int sem_timedwait(sem_t* semaphore, const timespec* deadline) {
  using Real = int (*)(sem_t*, const timespec*);
  static Real real = next<Real>("sem_timedwait");
  if (camera_page() == nullptr || deadline == nullptr) {
    return real(semaphore, deadline);
  }
  return sem_clockwait(semaphore, CLOCK_REALTIME, deadline);
}

// A condition variable's wait cannot be ended by a signal: it ends by its host timer, and the
// board does not make board time run past its deadline while it waits.
int pthread_cond_clockwait(pthread_cond_t* condition, pthread_mutex_t* mutex, clockid_t clockId,
                           const timespec* deadline) {
  using Real = int (*)(pthread_cond_t*, pthread_mutex_t*, clockid_t, const timespec*);
  static Real real = next<Real>("pthread_cond_clockwait");
  Page* clock = camera_page();
  if (clock == nullptr || deadline == nullptr ||
      (!is_realtime(clockId) && !is_monotonic(clockId))) {
    return real(condition, mutex, clockId, deadline);
  }
  const int64_t due = board_deadline(clock, clockId, *deadline);
  TimedWait registration(clock, due, false, board_clock::kWaitForSomething);
  for (;;) {
    const int64_t left = due - board_now(clock);
    if (left <= 0) {
      return ETIMEDOUT;
    }
    timespec hostNow;
    real_clock_gettime(CLOCK_MONOTONIC, &hostNow);
    const timespec hostDeadline = board_clock::to_timespec(board_clock::to_ns(hostNow) + left);
    const int result = real(condition, mutex, CLOCK_MONOTONIC, &hostDeadline);
    if (result != ETIMEDOUT) {
      return result;
    }
  }
}

int pthread_cond_timedwait(pthread_cond_t* condition, pthread_mutex_t* mutex,
                           const timespec* deadline) {
  using Real = int (*)(pthread_cond_t*, pthread_mutex_t*, const timespec*);
  static Real real =
      reinterpret_cast<Real>(dlvsym(RTLD_NEXT, "pthread_cond_timedwait", "GLIBC_2.3.2"));
  if (real == nullptr) {
    real = next<Real>("pthread_cond_timedwait");
  }
  if (camera_page() == nullptr || deadline == nullptr) {
    return real(condition, mutex, deadline);
  }
  return pthread_cond_clockwait(condition, mutex, CLOCK_REALTIME, deadline);
}

// A queue's descriptor is waited on with ppoll; the message then moves without waiting.

ssize_t mq_timedreceive(mqd_t queue, char* message, size_t size, unsigned int* priority,
                        const timespec* deadline) {
  using Real = ssize_t (*)(mqd_t, char*, size_t, unsigned int*, const timespec*);
  static Real real = next<Real>("mq_timedreceive");
  Page* clock = camera_page();
  if (clock == nullptr || deadline == nullptr) {
    return real(queue, message, size, priority, deadline);
  }
  const int64_t due = board_deadline(clock, CLOCK_REALTIME, *deadline);
  const timespec now = {0, 0};
  for (;;) {
    const ssize_t got = real(queue, message, size, priority, &now);
    if (got >= 0 || errno != ETIMEDOUT) {
      return got;
    }
    struct pollfd ready = {queue, POLLIN, 0};
    const int result = wait_descriptors(
        clock, due, nullptr,
        [&](const timespec* span, const sigset_t* mask) {
          return real_ppoll(&ready, 1, span, mask);
        },
        [] {});
    if (result == 0) {
      errno = ETIMEDOUT;
      return -1;
    }
    if (result < 0) {
      return -1;
    }
  }
}

int mq_timedsend(mqd_t queue, const char* message, size_t size, unsigned int priority,
                 const timespec* deadline) {
  using Real = int (*)(mqd_t, const char*, size_t, unsigned int, const timespec*);
  static Real real = next<Real>("mq_timedsend");
  Page* clock = camera_page();
  if (clock == nullptr || deadline == nullptr) {
    return real(queue, message, size, priority, deadline);
  }
  const int64_t due = board_deadline(clock, CLOCK_REALTIME, *deadline);
  const timespec now = {0, 0};
  for (;;) {
    const int sent = real(queue, message, size, priority, &now);
    if (sent == 0 || errno != ETIMEDOUT) {
      return sent;
    }
    struct pollfd ready = {queue, POLLOUT, 0};
    const int result = wait_descriptors(
        clock, due, nullptr,
        [&](const timespec* span, const sigset_t* mask) {
          return real_ppoll(&ready, 1, span, mask);
        },
        [] {});
    if (result == 0) {
      errno = ETIMEDOUT;
      return -1;
    }
    if (result < 0) {
      return -1;
    }
  }
}

// The wake signal stays the board's: blocked outside the shim's waits, handled by the shim.

int pthread_sigmask(int how, const sigset_t* set, sigset_t* old) {
  if (page() == nullptr || set == nullptr || how == SIG_BLOCK) {
    return real_pthread_sigmask(how, set, old);
  }
  sigset_t kept = *set;
  if (how == SIG_UNBLOCK) {
    sigdelset(&kept, board_clock::wake_signal());
  } else {
    sigaddset(&kept, board_clock::wake_signal());
  }
  return real_pthread_sigmask(how, &kept, old);
}

int sigprocmask(int how, const sigset_t* set, sigset_t* old) {
  const int result = pthread_sigmask(how, set, old);
  if (result != 0) {
    errno = result;
    return -1;
  }
  return 0;
}

int sigaction(int signal, const struct sigaction* action, struct sigaction* old) {
  using Real = int (*)(int, const struct sigaction*, struct sigaction*);
  static Real real = next<Real>("sigaction");
  if (page() == nullptr || signal != board_clock::wake_signal()) {
    return real(signal, action, old);
  }
  return real(signal, nullptr, old);
}

// Threads that hardware work starts (the encoder's own) do hardware work for their whole life.

struct HardwareThreadStart {
  void* (*routine)(void*);
  void* argument;
};

void* run_hardware_thread(void* start) {
  HardwareThreadStart copy = *static_cast<HardwareThreadStart*>(start);
  free(start);
  hardware_begin(true);
  void* result = copy.routine(copy.argument);
  hardware_end();
  return result;
}

int pthread_create(pthread_t* thread, const pthread_attr_t* attributes, void* (*routine)(void*),
                   void* argument) {
  using Real = int (*)(pthread_t*, const pthread_attr_t*, void* (*)(void*), void*);
  static Real real = next<Real>("pthread_create");
  if (t_hardware_depth == 0 || page() == nullptr) {
    return real(thread, attributes, routine, argument);
  }
  auto* start = static_cast<HardwareThreadStart*>(malloc(sizeof(HardwareThreadStart)));
  if (start == nullptr) {
    return real(thread, attributes, routine, argument);
  }
  start->routine = routine;
  start->argument = argument;
  const int result = real(thread, attributes, run_hardware_thread, start);
  if (result != 0) {
    free(start);
  }
  return result;
}

// Processes that start others without fork(): the board looks for the new one.

int posix_spawn(pid_t* pid, const char* path, const posix_spawn_file_actions_t* actions,
                const posix_spawnattr_t* attributes, char* const argv[], char* const envp[]) {
  using Real = int (*)(pid_t*, const char*, const posix_spawn_file_actions_t*,
                       const posix_spawnattr_t*, char* const[], char* const[]);
  static Real real = next<Real>("posix_spawn");
  note_spawn();
  const int result = real(pid, path, actions, attributes, argv, envp);
  note_spawn();
  return result;
}

int posix_spawnp(pid_t* pid, const char* file, const posix_spawn_file_actions_t* actions,
                 const posix_spawnattr_t* attributes, char* const argv[], char* const envp[]) {
  using Real = int (*)(pid_t*, const char*, const posix_spawn_file_actions_t*,
                       const posix_spawnattr_t*, char* const[], char* const[]);
  static Real real = next<Real>("posix_spawnp");
  note_spawn();
  const int result = real(pid, file, actions, attributes, argv, envp);
  note_spawn();
  return result;
}

int system(const char* command) {
  using Real = int (*)(const char*);
  static Real real = next<Real>("system");
  note_spawn();
  return real(command);
}

FILE* popen(const char* command, const char* mode) {
  using Real = FILE* (*)(const char*, const char*);
  static Real real = next<Real>("popen");
  note_spawn();
  return real(command, mode);
}

// The end of a process, with its processor time.

void _exit(int status) {
  using Real = void (*)(int);
  static Real real = next<Real>("_exit");
  report_exit();
  real(status);
  __builtin_unreachable();
}

void _Exit(int status) {
  using Real = void (*)(int);
  static Real real = next<Real>("_Exit");
  report_exit();
  real(status);
  __builtin_unreachable();
}

// Serial lines: which descriptors they are, and the bytes that cross them.

int open(const char* path, int flags, ...) {
  using Real = int (*)(const char*, int, ...);
  static Real real = next<Real>("open");
  mode_t mode = 0;
  if ((flags & (O_CREAT | O_TMPFILE)) != 0) {
    va_list arguments;
    va_start(arguments, flags);
    mode = static_cast<mode_t>(va_arg(arguments, int));
    va_end(arguments);
  }
  const int fd = real(path, flags, mode);
  note_opened(fd, path);
  return fd;
}

int open64(const char* path, int flags, ...) {
  using Real = int (*)(const char*, int, ...);
  static Real real = next<Real>("open64");
  mode_t mode = 0;
  if ((flags & (O_CREAT | O_TMPFILE)) != 0) {
    va_list arguments;
    va_start(arguments, flags);
    mode = static_cast<mode_t>(va_arg(arguments, int));
    va_end(arguments);
  }
  const int fd = real(path, flags, mode);
  note_opened(fd, path);
  return fd;
}

int openat(int dir, const char* path, int flags, ...) {
  using Real = int (*)(int, const char*, int, ...);
  static Real real = next<Real>("openat");
  mode_t mode = 0;
  if ((flags & (O_CREAT | O_TMPFILE)) != 0) {
    va_list arguments;
    va_start(arguments, flags);
    mode = static_cast<mode_t>(va_arg(arguments, int));
    va_end(arguments);
  }
  const int fd = real(dir, path, flags, mode);
  note_opened(fd, path);
  return fd;
}

int close(int fd) {
  using Real = int (*)(int);
  static Real real = next<Real>("close");
  note_closed(fd);
  return real(fd);
}

int dup2(int from, int to) {
  using Real = int (*)(int, int);
  static Real real = next<Real>("dup2");
  note_closed(to);
  return real(from, to);
}

int dup3(int from, int to, int flags) {
  using Real = int (*)(int, int, int);
  static Real real = next<Real>("dup3");
  note_closed(to);
  return real(from, to, flags);
}

ssize_t read(int fd, void* buffer, size_t size) {
  static ReadFn real = next<ReadFn>("read");
  const ssize_t got = real(fd, buffer, size);
  if (got > 0) {
    if (int64_t* count = serial_count(fd, false)) {
      __atomic_add_fetch(count, got, __ATOMIC_RELEASE);
    }
  }
  return got;
}

ssize_t write(int fd, const void* buffer, size_t size) {
  static WriteFn real = next<WriteFn>("write");
  const ssize_t put = real(fd, buffer, size);
  if (put > 0) {
    if (int64_t* count = serial_count(fd, true)) {
      __atomic_add_fetch(count, put, __ATOMIC_RELEASE);
    }
  }
  return put;
}

}  // extern "C"
