// clock_waits: what the board clock's tests run under its shim. Each mode prints lines
// "<what> <board milliseconds>", read from the monotonic clock.
//
// usage: clock_waits waits MILLISECONDS COND_MILLISECONDS
//          waits in each way a program can wait with a time-out (the condition variables,
//          whose waits only their host timer ends, COND_MILLISECONDS) and prints the time
//          each took, then "select_waited" and "select_left": how long a select ended half-way
//          by a byte waited, and what it left in its time-out
//        clock_waits compute CPU_MILLISECONDS SLEEP_MILLISECONDS
//          one thread computes for CPU_MILLISECONDS of its processor time while another
//          sleeps; prints "spin_start", "spin_end" and "sleeper_woke" as they happen
//        clock_waits hardware CPU_MILLISECONDS
//          computes as the chip's hardware (marked as the host media library marks it), also
//          on a thread started during that work; prints "start" and "end"
//        clock_waits beside CPU_MILLISECONDS
//          computes as the chip's hardware while another thread of the camera computes as long
//          beside it; prints "start" and "end" around the hardware's work, and "camera_done"
//        clock_waits posted MILLISECONDS
//          a semaphore and a queue waited on for MILLISECONDS, posted after one board
//          second; prints "<way>_waited" and "<way>_result" (0 posted, else the error)
//        clock_waits mono
//          prints "mono": the monotonic clock
#include <dlfcn.h>
#include <fcntl.h>
#include <mqueue.h>
#include <poll.h>
#include <pthread.h>
#include <semaphore.h>
#include <signal.h>
#include <sys/epoll.h>
#include <sys/select.h>
#include <time.h>
#include <unistd.h>

#include <cerrno>
#include <chrono>
#include <condition_variable>
#include <cstdint>
#include <cstdio>
#include <cstdlib>
#include <functional>
#include <mutex>
#include <string>
#include <thread>
#include <utility>
#include <vector>

namespace {

long long mono_ms() {
  timespec now;
  clock_gettime(CLOCK_MONOTONIC, &now);
  return static_cast<long long>(now.tv_sec) * 1000 + now.tv_nsec / 1000000;
}

timespec after(clockid_t clock, long ms) {
  timespec when;
  clock_gettime(clock, &when);
  when.tv_sec += ms / 1000;
  when.tv_nsec += (ms % 1000) * 1000000;
  if (when.tv_nsec >= 1000000000) {
    when.tv_nsec -= 1000000000;
    when.tv_sec += 1;
  }
  return when;
}

int64_t thread_cpu_ms() {
  timespec used;
  clock_gettime(CLOCK_THREAD_CPUTIME_ID, &used);
  return static_cast<int64_t>(used.tv_sec) * 1000 + used.tv_nsec / 1000000;
}

void say(const char* what, long long value) {
  printf("%s %lld\n", what, value);
  fflush(stdout);
}

void spin_for_cpu(long cpuMs) {
  const int64_t until = thread_cpu_ms() + cpuMs;
  volatile uint64_t sink = 0;
  while (thread_cpu_ms() < until) {
    for (int i = 0; i < 100000; ++i) {
      sink = sink + static_cast<uint64_t>(i);
    }
  }
}

int compute(long cpuMs, long sleepMs) {
  std::thread sleeper([sleepMs] {
    std::this_thread::sleep_for(std::chrono::milliseconds(sleepMs));
    say("sleeper_woke", mono_ms());
  });
  // Let the sleeper get into its sleep first.
  usleep(1000);
  say("spin_start", mono_ms());
  spin_for_cpu(cpuMs);
  say("spin_end", mono_ms());
  sleeper.join();
  return 0;
}

// The marks of the chip's hardware work the shim offers, found as the host media library
// finds them; false (and said) when not under the shim.
using Mark = void (*)();
bool hardware_marks(Mark* ret_begin, Mark* ret_end) {
  *ret_begin = reinterpret_cast<Mark>(dlsym(RTLD_DEFAULT, "board_clock_hardware_begin"));
  *ret_end = reinterpret_cast<Mark>(dlsym(RTLD_DEFAULT, "board_clock_hardware_end"));
  if (*ret_begin == nullptr || *ret_end == nullptr) {
    fprintf(stderr, "clock_waits: not under the board clock shim\n");
    return false;
  }
  return true;
}

int hardware(long cpuMs) {
  Mark begin;
  Mark end;
  if (!hardware_marks(&begin, &end)) {
    return 1;
  }
  say("start", mono_ms());
  begin();
  // A thread the hardware work starts is the hardware's, as the encoder's own threads are.
  std::thread helper([cpuMs] { spin_for_cpu(cpuMs / 2); });
  spin_for_cpu(cpuMs / 2);
  helper.join();
  end();
  say("end", mono_ms());
  return 0;
}

int beside(long cpuMs) {
  Mark begin;
  Mark end;
  if (!hardware_marks(&begin, &end)) {
    return 1;
  }
  // The camera's thread is started before the hardware work (a thread started during it would
  // be the hardware's) and computes once that work has begun.
  std::mutex mutex;
  std::condition_variable started;
  bool go = false;
  std::thread camera([&] {
    {
      std::unique_lock lock(mutex);
      started.wait(lock, [&] { return go; });
    }
    spin_for_cpu(cpuMs);
    say("camera_done", mono_ms());
  });
  say("start", mono_ms());
  begin();
  {
    std::lock_guard lock(mutex);
    go = true;
  }
  started.notify_all();
  spin_for_cpu(cpuMs);
  end();
  say("end", mono_ms());
  camera.join();
  return 0;
}

int posted(long ms) {
  sem_t semaphore;
  sem_init(&semaphore, 0, 0);
  mq_attr attributes{};
  attributes.mq_maxmsg = 1;
  attributes.mq_msgsize = 8;
  const mqd_t queue = mq_open("/clock_waits_posted", O_RDWR | O_CREAT, 0600, &attributes);
  mq_unlink("/clock_waits_posted");
  std::thread poster([&] {
    std::this_thread::sleep_for(std::chrono::seconds(1));
    sem_post(&semaphore);
    std::this_thread::sleep_for(std::chrono::seconds(1));
    mq_send(queue, "x", 1, 0);
  });
  long long start = mono_ms();
  timespec deadline = after(CLOCK_REALTIME, ms);
  int result = sem_timedwait(&semaphore, &deadline) == 0 ? 0 : errno;
  say("sem_waited", mono_ms() - start);
  say("sem_result", result);
  start = mono_ms();
  deadline = after(CLOCK_REALTIME, ms);
  char message[8];
  result = mq_timedreceive(queue, message, sizeof message, nullptr, &deadline) >= 0 ? 0 : errno;
  say("mq_waited", mono_ms() - start);
  say("mq_result", result);
  poster.join();
  return 0;
}

int waits(long ms, long condMs) {
  const timespec relative = {ms / 1000, (ms % 1000) * 1000000};
  int pipeFds[2];
  if (pipe(pipeFds) != 0) {
    return 1;
  }
  const int epoll = epoll_create1(0);
  epoll_event interest{};
  interest.events = EPOLLIN;
  epoll_ctl(epoll, EPOLL_CTL_ADD, pipeFds[0], &interest);
  sem_t semaphore;
  sem_init(&semaphore, 0, 0);
  pthread_mutex_t mutex = PTHREAD_MUTEX_INITIALIZER;
  pthread_cond_t condition = PTHREAD_COND_INITIALIZER;
  mq_attr attributes{};
  attributes.mq_maxmsg = 1;
  attributes.mq_msgsize = 8;
  const mqd_t queue = mq_open("/clock_waits", O_RDWR | O_CREAT, 0600, &attributes);
  mq_unlink("/clock_waits");
  std::mutex stdMutex;
  std::condition_variable stdCondition;

  const std::vector<std::pair<const char*, std::function<void()>>> ways = {
      {"sleep", [&] { sleep(static_cast<unsigned>((ms + 999) / 1000)); }},
      {"usleep", [&] { usleep(static_cast<useconds_t>(ms * 1000)); }},
      {"nanosleep", [&] { nanosleep(&relative, nullptr); }},
      {"clock_nanosleep", [&] { clock_nanosleep(CLOCK_MONOTONIC, 0, &relative, nullptr); }},
      {"clock_nanosleep_abs",
       [&] {
         const timespec deadline = after(CLOCK_REALTIME, ms);
         clock_nanosleep(CLOCK_REALTIME, TIMER_ABSTIME, &deadline, nullptr);
       }},
      {"sleep_for", [&] { std::this_thread::sleep_for(std::chrono::milliseconds(ms)); }},
      {"select",
       [&] {
         fd_set readable;
         FD_ZERO(&readable);
         FD_SET(pipeFds[0], &readable);
         timeval timeout = {ms / 1000, (ms % 1000) * 1000};
         select(pipeFds[0] + 1, &readable, nullptr, nullptr, &timeout);
       }},
      {"pselect",
       [&] {
         fd_set readable;
         FD_ZERO(&readable);
         FD_SET(pipeFds[0], &readable);
         pselect(pipeFds[0] + 1, &readable, nullptr, nullptr, &relative, nullptr);
       }},
      {"poll",
       [&] {
         pollfd fd = {pipeFds[0], POLLIN, 0};
         poll(&fd, 1, static_cast<int>(ms));
       }},
      {"ppoll",
       [&] {
         pollfd fd = {pipeFds[0], POLLIN, 0};
         ppoll(&fd, 1, &relative, nullptr);
       }},
      {"epoll_wait",
       [&] {
         epoll_event event;
         epoll_wait(epoll, &event, 1, static_cast<int>(ms));
       }},
      {"sem_timedwait",
       [&] {
         const timespec deadline = after(CLOCK_REALTIME, ms);
         while (sem_timedwait(&semaphore, &deadline) != 0 && errno == EINTR) {
         }
       }},
      {"pthread_cond_timedwait",
       [&] {
         const timespec deadline = after(CLOCK_REALTIME, condMs);
         pthread_mutex_lock(&mutex);
         while (pthread_cond_timedwait(&condition, &mutex, &deadline) == 0) {
         }
         pthread_mutex_unlock(&mutex);
       }},
      {"condition_variable_wait_for",
       [&] {
         std::unique_lock lock(stdMutex);
         stdCondition.wait_for(lock, std::chrono::milliseconds(condMs), [] { return false; });
       }},
      {"mq_timedreceive",
       [&] {
         const timespec deadline = after(CLOCK_REALTIME, ms);
         char message[8];
         mq_timedreceive(queue, message, sizeof message, nullptr, &deadline);
       }},
  };
  for (const auto& [name, wait] : ways) {
    const long long start = mono_ms();
    wait();
    printf("%s %lld\n", name, mono_ms() - start);
    fflush(stdout);
  }

  // A select that a byte ends half-way leaves the board time it did not wait in its argument,
  // as Linux does: a link loop that waits again with the same time-out relies on it.
  std::thread writer([&] {
    usleep(static_cast<useconds_t>(ms * 500));
    const char byte = 1;
    (void)!write(pipeFds[1], &byte, 1);
  });
  fd_set readable;
  FD_ZERO(&readable);
  FD_SET(pipeFds[0], &readable);
  timeval timeout = {ms / 1000, (ms % 1000) * 1000};
  const long long selectStart = mono_ms();
  select(pipeFds[0] + 1, &readable, nullptr, nullptr, &timeout);
  printf("select_waited %lld\n", mono_ms() - selectStart);
  writer.join();
  printf("select_left %lld\n",
         static_cast<long long>(timeout.tv_sec) * 1000 + timeout.tv_usec / 1000);
  return 0;
}

}  // namespace

int main(int argc, char** argv) {
  const std::string mode = argc > 1 ? argv[1] : "";
  if (mode == "waits" && argc == 4) {
    return waits(atol(argv[2]), atol(argv[3]));
  }
  if (mode == "compute" && argc == 4) {
    return compute(atol(argv[2]), atol(argv[3]));
  }
  if (mode == "hardware" && argc == 3) {
    return hardware(atol(argv[2]));
  }
  if (mode == "beside" && argc == 3) {
    return beside(atol(argv[2]));
  }
  if (mode == "posted" && argc == 3) {
    return posted(atol(argv[2]));
  }
  if (mode == "mono" && argc == 2) {
    say("mono", mono_ms());
    return 0;
  }
  fprintf(stderr, "usage: clock_waits waits|compute|hardware|beside|posted|mono ARGS...\n");
  return 2;
}
