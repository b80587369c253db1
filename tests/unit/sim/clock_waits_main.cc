// clock_waits: waits a given board time in each way a program can wait with a time-out, and
// prints for each the board time it took ("<way> <milliseconds>"), read from the monotonic
// clock, then "select_left <milliseconds>": what a select ended half-way by a byte left in
// its time-out. Run under the board clock shim by the clock tests.
//
// usage: clock_waits MILLISECONDS
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

#include <chrono>
#include <condition_variable>
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

}  // namespace

int main(int argc, char** argv) {
  if (argc != 2) {
    fprintf(stderr, "usage: clock_waits MILLISECONDS\n");
    return 2;
  }
  const long ms = atol(argv[1]);
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
         const timespec deadline = after(CLOCK_REALTIME, ms);
         pthread_mutex_lock(&mutex);
         while (pthread_cond_timedwait(&condition, &mutex, &deadline) == 0) {
         }
         pthread_mutex_unlock(&mutex);
       }},
      {"condition_variable_wait_for",
       [&] {
         std::unique_lock lock(stdMutex);
         stdCondition.wait_for(lock, std::chrono::milliseconds(ms), [] { return false; });
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
  select(pipeFds[0] + 1, &readable, nullptr, nullptr, &timeout);
  writer.join();
  printf("select_left %lld\n",
         static_cast<long long>(timeout.tv_sec) * 1000 + timeout.tv_usec / 1000);
  return 0;
}
