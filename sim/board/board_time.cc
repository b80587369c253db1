#include "sim/board/board_time.h"

#include <fcntl.h>
#include <linux/futex.h>
#include <pthread.h>
#include <sched.h>
#include <sys/file.h>
#include <sys/ioctl.h>
#include <sys/mman.h>
#include <sys/stat.h>
#include <sys/syscall.h>
#include <time.h>
#include <unistd.h>

#include <algorithm>
#include <array>
#include <atomic>
#include <cerrno>
#include <cstdio>
#include <cstdlib>
#include <cstring>
#include <vector>

#include "sim/board/board_tasks.h"

namespace sim::board {

using std::chrono::milliseconds;
using std::chrono::nanoseconds;

namespace {

constexpr int64_t kMs = 1000000;
// How often the clock looks while something of the board works: the grain of charging the
// camera's computation to board time.
constexpr int64_t kWorkingPeriod = 1 * kMs;
// After a thread of the sandbox began a wait, or after a jump: look again soon.
constexpr int64_t kQuickLook = kMs / 20;
// While everything waits and nothing is due: look now and then (a wait the shim does not see
// may end, a board thread may start working without telling).
constexpr int64_t kIdlePeriod = 10 * kMs;
// While the board works, new processes are looked for this often (and whenever one of the
// camera's registers itself), so that their processor time is charged as they run.
constexpr int64_t kDiscoverPeriod = 10 * kMs;
// Looks after which the wait of a thread found nowhere is forgotten.
constexpr int kMissingLooks = 3;
// How long the clock gives a thread that began a timed wait to get into the kernel.
constexpr int64_t kSettle = kMs / 5;
// Bytes of a serial line that nobody takes for this long are not on their way any more: the
// peer is off or the camera does not read its port.
constexpr int64_t kSerialGrace = 20 * kMs;
// How long after a power-up board time waits, at most, for the camera's first timed wait
// before it may jump.
constexpr int64_t kCameraStartGrace = 10000 * kMs;
// A thread that still waits this long after its wake signal gets another: the signal came
// while it was between letting the signal through and waiting.
constexpr int64_t kResignal = 2 * kMs;

void futex_wait(uint32_t* word, uint32_t seen, int64_t timeoutNs) {
  const timespec timeout = board_clock::to_timespec(timeoutNs);
  syscall(SYS_futex, word, FUTEX_WAIT, seen, &timeout, nullptr, 0);
}

void futex_wake(uint32_t* word) {
  __atomic_add_fetch(word, 1U, __ATOMIC_RELEASE);
  syscall(SYS_futex, word, FUTEX_WAKE, 1, nullptr, nullptr, 0);
}

template <typename Slot, std::size_t kCount>
void free_all(Slot (&slots)[kCount]) {
  for (Slot& slot : slots) {
    __atomic_store_n(&slot.state, board_clock::kSlotFree, __ATOMIC_RELEASE);
  }
}

}  // namespace

int64_t host_mono_ns() {
  timespec now;
  clock_gettime(CLOCK_MONOTONIC, &now);
  return board_clock::to_ns(now);
}

// The clock's thread.
class BoardTime::Driver {
 public:
  Driver(board_clock::Page* page, uint32_t speedLimit) : page_(page), speedLimit_(speedLimit) {
    hostStart_ = host_mono_ns();
    lastStep_ = hostStart_;
    publish(0);
    usage_.host = nanoseconds(0);
    thread_ = std::thread([this] { run(); });
  }

  ~Driver() {
    stop_ = true;
    futex_wake(&page_->activity);
    thread_.join();
  }

  uint64_t set_alarm(int64_t at, std::function<void()> ring) {
    uint64_t id;
    {
      std::lock_guard lock(alarmMutex_);
      id = ++lastAlarm_;
      alarms_.emplace(at, Alarm{id, std::move(ring)});
    }
    futex_wake(&page_->activity);
    return id;
  }

  void cancel_alarm(uint64_t id) {
    std::unique_lock lock(alarmMutex_);
    for (auto place = alarms_.begin(); place != alarms_.end(); ++place) {
      if (place->second.id == id) {
        alarms_.erase(place);
        return;
      }
    }
    // Ringing now on the clock's thread: wait for it to end, unless this is that ring.
    if (std::this_thread::get_id() != thread_.get_id()) {
      rung_.wait(lock, [&] { return ringing_ != id; });
    }
  }

  void watch_line(int index, dev_t device, int master) {
    std::lock_guard lock(stepMutex_);
    masters_[static_cast<std::size_t>(index)] = master;
    page_->lines[index].device = device;
  }

  void forget_camera() {
    std::lock_guard lock(stepMutex_);
    free_all(page_->waiters);
    free_all(page_->hardware);
    free_all(page_->processes);
    cameraProcesses_.fill({});
    missing_.fill(0);
    hardwareCounted_.fill(0);
    signaled_.fill({});
  }

  void hold(int change) { holds_ += change; }
  void hold_until_camera() {
    powerUpHost_ = host_mono_ns();
    awaitingCamera_ = true;
  }

  void reset_lines() {
    std::lock_guard lock(stepMutex_);
    for (board_clock::SerialBytes& line : page_->lines) {
      for (int64_t* count :
           {&line.cameraWrote, &line.cameraRead, &line.boardWrote, &line.boardRead}) {
        __atomic_store_n(count, 0, __ATOMIC_RELEASE);
      }
    }
    lineLooks_.fill({});
  }

  Usage usage() const {
    std::lock_guard lock(usageMutex_);
    Usage copy = usage_;
    copy.host = nanoseconds(host_mono_ns() - hostStart_);
    return copy;
  }

 private:
  struct Alarm {
    uint64_t id;
    std::function<void()> ring;
  };
  struct CameraProcess {
    pid_t hostPid = 0;
    int64_t counted = 0;
  };
  struct Signaled {
    int64_t deadline = 0;
    int32_t tid = 0;
    int64_t at = 0;
  };
  struct LineLook {
    int64_t toBoard = 0;
    int64_t toCamera = 0;
    int64_t since = 0;
  };

  void run() {
    pthread_setname_np(pthread_self(), "board-clock");
    tasks_ = std::make_unique<BoardTasks>(getpid(), static_cast<pid_t>(syscall(SYS_gettid)));
    int64_t period = kQuickLook;
    bool afterWait = false;
    while (!stop_) {
      const uint32_t seen = __atomic_load_n(&page_->activity, __ATOMIC_ACQUIRE);
      Look look;
      {
        std::lock_guard lock(stepMutex_);
        look = step(afterWait);
      }
      if (stop_) {
        break;
      }
      // After the clock woke a thread (a jump, a deadline reached, an alarm rung), or saw one
      // work, the next look comes soon, and later each time nothing new happens: up to a
      // millisecond while something works, ten while everything waits.
      if (acted_) {
        period = kQuickLook;
        acted_ = false;
      } else {
        period = std::min(period * 2, look == Look::kWaiting ? kIdlePeriod : kWorkingPeriod);
      }
      __atomic_store_n(&page_->listening, 1U, __ATOMIC_SEQ_CST);
      futex_wait(&page_->activity, seen, period);
      __atomic_store_n(&page_->listening, 0U, __ATOMIC_SEQ_CST);
      afterWait = __atomic_load_n(&page_->activity, __ATOMIC_ACQUIRE) != seen;
      if (afterWait) {
        period = kQuickLook;
        settle();
      }
    }
    tasks_.reset();
  }

  // A thread that began a timed wait is on its way into the kernel: give it the moment it
  // takes to get there, so that the look that follows sees it asleep.
  void settle() {
    const pid_t tid = __atomic_load_n(&page_->lastWaiter, __ATOMIC_ACQUIRE);
    const auto [process, thread] = tasks_->host_thread(page_->lastWaiterNamespace, tid);
    if (process <= 0) {
      return;
    }
    const int64_t until = host_mono_ns() + kSettle;
    while (tasks_->thread_state(process, thread) == 'R' && host_mono_ns() < until) {
      sched_yield();
    }
  }

  // What one look found.
  enum class Look {
    kRan,      // a process used the processor since the last look
    kWorking,  // none did, but a task is runnable or in the kernel, or bytes are on a line
    kWaiting,  // everything waits; nothing was due
    kJumped,   // everything waited, and board time jumped to what was due
  };

  // One look: charges the camera's computation, rings what is due, and jumps when everything
  // waits.
  // `afterWait`: a thread just began a timed wait, so everything may be waiting even though a
  // process ran since the last look.
  Look step(bool afterWait) {
    const int64_t hostNow = host_mono_ns();
    const bool ran = tasks_->sample();
    // A process of the camera not found yet, or a while since the last search: look for new
    // processes now, so that the new ones are watched and charged while they run.
    const uint32_t spawned = __atomic_load_n(&page_->spawned, __ATOMIC_ACQUIRE);
    if (unmatchedCamera_ || spawned != seenSpawned_ || hostNow - lastDiscover_ >= kDiscoverPeriod) {
      seenSpawned_ = spawned;
      tasks_->discover(true);
      lastDiscover_ = hostNow;
    }
    const int64_t used = charge_processes();
    // While the chip's hardware works (the sensor draws a frame, the encoder codes one), board
    // time stands still: on the camera that work runs beside the processor and keeps pace with
    // the frames, here the host computes it at its own pace. What the camera's processor does
    // meanwhile is not charged either, so a slow host makes a recording slower in host time,
    // never one that drops frames.
    const bool hardwareWorks = charge_hardware();
    advance(hardwareWorks ? 0 : used);
    const int64_t boardNow = boardNow_;
    ring_alarms(boardNow);
    // A thread woken from its wait and not out of it yet is on its way to work.
    const bool waking = wake_waiters(boardNow, hostNow);

    Look look = ran ? Look::kRan : Look::kWorking;
    if ((!ran || afterWait) && !waking && !hardwareWorks && everything_waits(hostNow, boardNow)) {
      look = jump(hostNow, boardNow) ? Look::kJumped : Look::kWaiting;
    }
    {
      std::lock_guard lock(usageMutex_);
      if (look == Look::kRan || look == Look::kWorking) {
        usage_.working += nanoseconds(hostNow - lastStep_);
      }
      usage_.workingNow = look == Look::kRan || look == Look::kWorking;
    }
    lastStep_ = hostNow;
    return look;
  }

  // Processor time the camera's processes used since the last look (and in full for those
  // that came and went in between, from what they reported at their end).
  int64_t charge_processes() {
    int64_t used = 0;
    unmatchedCamera_ = false;
    for (uint32_t i = 0; i < board_clock::kProcessSlots; ++i) {
      board_clock::Process& slot = page_->processes[i];
      const uint32_t state = __atomic_load_n(&slot.state, __ATOMIC_ACQUIRE);
      CameraProcess& known = cameraProcesses_[i];
      if (state == board_clock::kSlotActive) {
        if (known.hostPid == 0) {
          const pid_t host = tasks_->host_process(slot.pidNamespace, slot.pid);
          const int64_t cpu = host > 0 ? tasks_->process_cpu(host) : -1;
          if (cpu >= 0) {
            known = {host, cpu};
            used += cpu;
          } else {
            unmatchedCamera_ = true;
          }
        } else {
          const int64_t cpu = tasks_->process_cpu(known.hostPid);
          if (cpu > known.counted) {
            used += cpu - known.counted;
            known.counted = cpu;
          }
        }
      } else if (state == board_clock::kSlotEnded) {
        const int64_t total = __atomic_load_n(&slot.cpuAtExit, __ATOMIC_ACQUIRE);
        used += std::max<int64_t>(0, total - (known.hostPid != 0 ? known.counted : 0));
        known = {};
        __atomic_store_n(&slot.state, board_clock::kSlotFree, __ATOMIC_RELEASE);
      }
    }
    return used;
  }

  // Whether the chip's hardware worked since the last look: a piece of its work is under way
  // (the sensor or the encoder called from the camera), or one of its threads (the encoder's
  // own, which work for their whole life) used the processor. Adds its processor time to the
  // usage.
  bool charge_hardware() {
    int64_t used = 0;
    bool underWay = false;
    for (uint32_t i = 0; i < board_clock::kHardwareSlots; ++i) {
      board_clock::Hardware& slot = page_->hardware[i];
      const uint32_t state = __atomic_load_n(&slot.state, __ATOMIC_ACQUIRE);
      int64_t& counted = hardwareCounted_[i];
      if (state == board_clock::kSlotActive) {
        const auto [process, thread] = tasks_->host_thread(slot.pidNamespace, slot.tid);
        unmatchedCamera_ |= process <= 0;
        const int64_t cpu = process > 0 ? tasks_->thread_cpu(process, thread) : -1;
        underWay |= cpu >= 0 && slot.wholeLife == 0;
        if (cpu >= 0 && cpu - slot.cpuAtStart > counted) {
          used += cpu - slot.cpuAtStart - counted;
          counted = cpu - slot.cpuAtStart;
        }
      } else if (state == board_clock::kSlotEnded) {
        used += slot.cpuAtEnd - slot.cpuAtStart - counted;
        counted = 0;
        __atomic_store_n(&slot.state, board_clock::kSlotFree, __ATOMIC_RELEASE);
      }
    }
    std::lock_guard lock(usageMutex_);
    usage_.hardwareCpu += nanoseconds(used);
    return underWay || used > 0;
  }

  void publish(int64_t board) {
    boardNow_ = board;
    __atomic_store_n(&page_->board, board, __ATOMIC_RELEASE);
  }

  // Board time moves on by `charge`.
  void advance(int64_t charge) {
    publish(boardNow_ + charge);
    std::lock_guard lock(usageMutex_);
    usage_.cameraCpu += nanoseconds(charge);
  }

  void ring_alarms(int64_t boardNow) {
    for (;;) {
      Alarm due;
      {
        std::lock_guard lock(alarmMutex_);
        auto first = alarms_.begin();
        if (first == alarms_.end() || first->first > boardNow) {
          return;
        }
        due = std::move(first->second);
        alarms_.erase(first);
        ringing_ = due.id;
      }
      due.ring();
      acted_ = true;
      {
        std::lock_guard lock(alarmMutex_);
        ringing_ = 0;
      }
      rung_.notify_all();
    }
  }

  // Ends the waits of the sandbox whose deadline board time has reached. Returns true while
  // such a wait is still registered (its thread has not left it yet).
  bool wake_waiters(int64_t boardNow, int64_t hostNow) {
    bool waking = false;
    for (uint32_t i = 0; i < board_clock::kWaiterSlots; ++i) {
      const board_clock::Waiter& waiter = page_->waiters[i];
      if (__atomic_load_n(&waiter.state, __ATOMIC_ACQUIRE) != board_clock::kSlotWaiting) {
        continue;
      }
      // The thread may leave the wait and begin another in this slot meanwhile: the wait
      // signalled is the one read here.
      const int64_t deadline = waiter.deadline;
      const int32_t tid = waiter.tid;
      const uint64_t pidNamespace = waiter.pidNamespace;
      if (waiter.wakeable == 0 || deadline > boardNow) {
        continue;
      }
      waking = true;
      Signaled& last = signaled_[i];
      if (last.deadline == deadline && last.tid == tid && hostNow - last.at < kResignal) {
        continue;
      }
      const auto [process, thread] = tasks_->host_thread(pidNamespace, tid);
      if (process <= 0) {
        continue;
      }
      syscall(SYS_tgkill, process, thread, board_clock::wake_signal());
      last = {deadline, tid, hostNow};
      acted_ = true;
    }
    return waking;
  }

  bool line_in_flight(int64_t hostNow) {
    bool inFlight = false;
    for (uint32_t i = 0; i < board_clock::kSerialLines; ++i) {
      if (masters_[i] < 0) {
        continue;
      }
      const board_clock::SerialBytes& line = page_->lines[i];
      int64_t toBoard = __atomic_load_n(&line.cameraWrote, __ATOMIC_ACQUIRE) -
                        __atomic_load_n(&line.boardRead, __ATOMIC_ACQUIRE);
      if (toBoard > 0) {
        // What the board's end has not read yet but can: on its way no more.
        int queued = 0;
        ioctl(masters_[i], FIONREAD, &queued);
        toBoard -= queued;
      }
      const int64_t toCamera = __atomic_load_n(&line.boardWrote, __ATOMIC_ACQUIRE) -
                               __atomic_load_n(&line.cameraRead, __ATOMIC_ACQUIRE);
      LineLook& look = lineLooks_[i];
      if (toBoard <= 0 && toCamera <= 0) {
        look = {};
        continue;
      }
      if (toBoard != look.toBoard || toCamera != look.toCamera) {
        look = {toBoard, toCamera, hostNow};
      }
      if (hostNow - look.since < kSerialGrace) {
        inFlight = true;
      }
    }
    return inFlight;
  }

  // True when no thread of the board works. The caller's sample found that no process used the
  // processor since the one before; then each task is seen asleep, and a second sample finds
  // that still none ran. A task asleep at its look that did not run since the first sample
  // slept all that time (waking takes running), so there was a moment when all of them slept
  // at once. And no byte may be on its way on a serial line.
  bool everything_waits(int64_t hostNow, int64_t boardNow) {
    // A thread inside a timed wait started nothing since it began to wait (a start is told to
    // the board), so its children need not be looked for; one in a plain sleep is woken only by
    // its deadline (the board's signal), so it need not be looked at either.
    waiting_.clear();
    asleep_.clear();
    for (uint32_t i = 0; i < board_clock::kWaiterSlots; ++i) {
      const board_clock::Waiter& waiter = page_->waiters[i];
      if (__atomic_load_n(&waiter.state, __ATOMIC_ACQUIRE) != board_clock::kSlotWaiting) {
        continue;
      }
      const pid_t thread = tasks_->host_thread(waiter.pidNamespace, waiter.tid).second;
      if (thread <= 0) {
        continue;
      }
      waiting_.push_back(thread);
      if (waiter.waitsFor == board_clock::kWaitForTime && waiter.deadline > boardNow) {
        asleep_.push_back(thread);
      }
    }
    std::sort(waiting_.begin(), waiting_.end());
    std::sort(asleep_.begin(), asleep_.end());
    // A wait of a thread the board has not found yet: the board could not end it. Look for
    // it everywhere; a thread that is nowhere ended inside its wait (its process was killed)
    // and its wait is forgotten after a few looks.
    if (unknown_waiters() && tasks_->discover_all() >= 0 && unknown_waiters()) {
      return false;
    }
    // A process that started another says so: then the children of every thread are looked
    // for, else those of the threads that are not asleep.
    const uint32_t spawned = __atomic_load_n(&page_->spawned, __ATOMIC_ACQUIRE);
    const bool everyThread = spawned != seenSpawned_;
    seenSpawned_ = spawned;
    if (tasks_->discover(everyThread, waiting_) > 0) {
      return false;
    }
    // On a host where nothing else runs, the kernel's count says at once that nothing works;
    // otherwise each task that is not asleep is looked at.
    if (!tasks_->host_idle() && (tasks_->anyone_working(asleep_) || tasks_->sample())) {
      return false;
    }
    return !line_in_flight(hostNow);
  }

  // Whether a registered wait belongs to a thread not found yet; forgets waits whose thread
  // stayed missing for several looks.
  bool unknown_waiters() {
    bool unknown = false;
    for (uint32_t i = 0; i < board_clock::kWaiterSlots; ++i) {
      board_clock::Waiter& waiter = page_->waiters[i];
      if (__atomic_load_n(&waiter.state, __ATOMIC_ACQUIRE) != board_clock::kSlotWaiting ||
          tasks_->host_thread(waiter.pidNamespace, waiter.tid).first > 0) {
        missing_[i] = 0;
        continue;
      }
      if (++missing_[i] > kMissingLooks) {
        uint32_t expected = board_clock::kSlotWaiting;
        __atomic_compare_exchange_n(&waiter.state, &expected, board_clock::kSlotFree, false,
                                    __ATOMIC_ACQ_REL, __ATOMIC_RELAXED);
        missing_[i] = 0;
        continue;
      }
      unknown = true;
    }
    return unknown;
  }

  // Board time jumps to the earliest deadline. Returns true when it moved.
  bool jump(int64_t hostNow, int64_t boardNow) {
    if (holds_ > 0) {
      return false;
    }
    int64_t earliest = INT64_MAX;
    bool overdueUnwakeable = false;
    bool cameraWaits = false;
    for (const board_clock::Waiter& waiter : page_->waiters) {
      if (__atomic_load_n(&waiter.state, __ATOMIC_ACQUIRE) != board_clock::kSlotWaiting ||
          tasks_->host_thread(waiter.pidNamespace, waiter.tid).first <= 0) {
        continue;
      }
      cameraWaits = true;
      earliest = std::min(earliest, waiter.deadline);
      overdueUnwakeable |= waiter.wakeable == 0 && waiter.deadline <= boardNow;
    }
    {
      std::lock_guard lock(alarmMutex_);
      if (!alarms_.empty()) {
        earliest = std::min(earliest, alarms_.begin()->first);
      }
    }
    // After a power-up, time stands until the camera's programs wait for something of their
    // own: while the sandbox starts, its processes pass through moments the board cannot read
    // as waiting or working (a jump to the wake-up's end was seen there under load). A camera
    // that never waits on a time is let go after a while of host time.
    if (awaitingCamera_) {
      if (!cameraWaits && hostNow - powerUpHost_ < kCameraStartGrace) {
        return false;
      }
      awaitingCamera_ = false;
    }
    // A wait that only its host timer ends holds board time at its deadline until it ends.
    if (earliest == INT64_MAX || earliest <= boardNow || overdueUnwakeable) {
      return false;
    }
    int64_t target = earliest;
    if (speedLimit_ > 0) {
      target = std::min<int64_t>(target, (hostNow - hostStart_) * speedLimit_);
    }
    if (target <= boardNow) {
      return false;
    }
    publish(target);
    {
      std::lock_guard lock(usageMutex_);
      usage_.jumped += nanoseconds(target - boardNow);
      ++usage_.jumps;
    }
    ring_alarms(target);
    wake_waiters(target, hostNow);
    return true;
  }

  board_clock::Page* page_;
  const uint32_t speedLimit_;
  int64_t hostStart_ = 0;
  std::atomic<bool> stop_{false};
  std::atomic<int> holds_{0};
  std::atomic<bool> awaitingCamera_{false};
  std::atomic<int64_t> powerUpHost_{0};
  std::thread thread_;
  std::unique_ptr<BoardTasks> tasks_;

  // Guards the page's tables against power_off() while the clock looks at them.
  std::mutex stepMutex_;
  int64_t boardNow_ = 0;
  int64_t lastStep_ = 0;
  int64_t lastDiscover_ = 0;
  bool unmatchedCamera_ = false;
  bool acted_ = false;  // the last look woke a thread or rang an alarm
  uint32_t seenSpawned_ = 0;
  std::vector<pid_t> asleep_;
  std::vector<pid_t> waiting_;
  std::array<int, board_clock::kWaiterSlots> missing_{};
  std::array<CameraProcess, board_clock::kProcessSlots> cameraProcesses_{};
  std::array<int64_t, board_clock::kHardwareSlots> hardwareCounted_{};
  std::array<Signaled, board_clock::kWaiterSlots> signaled_{};
  std::array<int, board_clock::kSerialLines> masters_{-1, -1};
  std::array<LineLook, board_clock::kSerialLines> lineLooks_{};

  std::mutex alarmMutex_;
  std::condition_variable rung_;
  std::multimap<int64_t, Alarm> alarms_;
  uint64_t lastAlarm_ = 0;
  uint64_t ringing_ = 0;

  mutable std::mutex usageMutex_;
  Usage usage_;
};

BoardTime::BoardTime()
    : view_([this] { return elapsed(); },
            [this](nanoseconds at, std::function<void()> ring) {
              return set_alarm(at, std::move(ring));
            },
            [this](uint64_t id) { cancel_alarm(id); }) {}

BoardTime::~BoardTime() {
  driver_.reset();
  if (page_ != nullptr) {
    munmap(page_, board_clock::kPageSize);
  }
  if (fd_ >= 0) {
    close(fd_);
  }
}

int BoardTime::create(const std::string& path, uint32_t speedLimit, int64_t startEpochMs,
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
  board_clock::write_locked(&page->dateSequence, &page->date,
                            board_clock::Date{startEpochMs * 1000000, 0, 0});
  page->magic = board_clock::kPageMagic;
  __atomic_store_n(&page->version, board_clock::kPageVersion, __ATOMIC_RELEASE);
  fd_ = fd;
  page_ = page;
  path_ = path;
  speedLimit_ = speedLimit;
  driver_ = std::make_unique<Driver>(page_, speedLimit);
  return 0;
}

nanoseconds BoardTime::elapsed_ns() const {
  if (page_ == nullptr) {
    return nanoseconds(0);
  }
  return nanoseconds(board_clock::board_mono(page_));
}

milliseconds BoardTime::elapsed() const {
  return std::chrono::duration_cast<milliseconds>(elapsed_ns());
}

int64_t BoardTime::epoch_ms() const {
  if (page_ == nullptr) {
    timespec now;
    clock_gettime(CLOCK_REALTIME, &now);
    return board_clock::to_ns(now) / 1000000;
  }
  return board_clock::board_real(board_clock::read_date(page_), elapsed_ns().count()) / 1000000;
}

int BoardTime::set_epoch_ms(int64_t epochMs) {
  if (page_ == nullptr) {
    return -1;
  }
  flock(fd_, LOCK_EX);
  const board_clock::Date now = board_clock::read_date(page_);
  board_clock::write_locked(&page_->dateSequence, &page_->date,
                            board_clock::with_real(now, elapsed_ns().count(), epochMs * 1000000));
  flock(fd_, LOCK_UN);
  return 0;
}

void BoardTime::power_up() {
  if (page_ == nullptr) {
    return;
  }
  flock(fd_, LOCK_EX);
  board_clock::Date date = board_clock::read_date(page_);
  date.bootMono = elapsed_ns().count();
  board_clock::write_locked(&page_->dateSequence, &page_->date, date);
  flock(fd_, LOCK_UN);
  driver_->reset_lines();
  driver_->hold_until_camera();
}

void BoardTime::hold() {
  if (driver_ != nullptr) {
    driver_->hold(1);
  }
}

void BoardTime::release() {
  if (driver_ != nullptr) {
    driver_->hold(-1);
  }
}

void BoardTime::power_off() {
  if (driver_ != nullptr) {
    driver_->forget_camera();
  }
}

void BoardTime::watch_serial_line(int index, const std::string& slavePath, int master) {
  struct stat device;
  if (driver_ == nullptr || index < 0 || index >= static_cast<int>(board_clock::kSerialLines) ||
      stat(slavePath.c_str(), &device) != 0) {
    return;
  }
  driver_->watch_line(index, device.st_rdev, master);
}

std::pair<int64_t*, int64_t*> BoardTime::board_byte_counters(int index) {
  if (page_ == nullptr || index < 0 || index >= static_cast<int>(board_clock::kSerialLines)) {
    return {nullptr, nullptr};
  }
  return {&page_->lines[index].boardWrote, &page_->lines[index].boardRead};
}

uint64_t BoardTime::set_alarm(nanoseconds at, std::function<void()> ring) {
  return driver_ != nullptr ? driver_->set_alarm(at.count(), std::move(ring)) : 0;
}

void BoardTime::cancel_alarm(uint64_t id) {
  if (driver_ != nullptr && id != 0) {
    driver_->cancel_alarm(id);
  }
}

bool BoardTime::wait_until(std::unique_lock<std::mutex>& lock, std::condition_variable& changed,
                           nanoseconds at, const std::function<bool()>& done) {
  return view_.wait_until(lock, changed, at, done);
}

void BoardTime::sleep_until(milliseconds elapsed) {
  std::mutex mutex;
  std::condition_variable changed;
  std::unique_lock lock(mutex);
  wait_until(lock, changed, elapsed, [&] { return elapsed_ns() >= elapsed; });
}

BoardTime::Usage BoardTime::usage() const {
  return driver_ != nullptr ? driver_->usage() : Usage{};
}

}  // namespace sim::board
