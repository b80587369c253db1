// wdm_daemon: the camera's watchdog daemon as the simulated board plays it.
//
// It runs inside the sandbox beside camera_app, owns the keep-alive queue /wdm_mngr_queue,
// and writes one line per thing it sees to standard output (the board reads it):
//   ready                       the queue is open
//   keepalive TYPE SINCE_MS     a keep-alive of TYPE, SINCE_MS board milliseconds after the
//                               previous one (or after the daemon started)
//   gap SILENT_MS               no keep-alive for longer than the limit: once per silence,
//                               as soon as the limit passes. Counted from the first
//                               keep-alive on: before it the camera is still starting, and
//                               under time compression the host's start-up of a process
//                               alone spans many seconds of board time.
//   message TYPE                a message of another type than the keep-alive
// Times are board time: the board clock shim is preloaded into this process too.
//
// usage: wdm_daemon [--limit-ms N]     (default 10000: two keep-alive periods)
#include <fcntl.h>
#include <mqueue.h>
#include <sys/select.h>
#include <time.h>

#include <cstdint>
#include <cstdio>
#include <cstdlib>
#include <cstring>

namespace {

// The keep-alive queue as the camera's watchdog client opens it.
constexpr char kQueueName[] = "/wdm_mngr_queue";
constexpr long kQueueMaxMessages = 3;
constexpr long kMessageSize = 36;
constexpr int32_t kKeepAlive = 3;
constexpr long kDefaultLimitMs = 10000;

long long board_ms() {
  timespec now;
  clock_gettime(CLOCK_MONOTONIC, &now);
  return static_cast<long long>(now.tv_sec) * 1000 + now.tv_nsec / 1000000;
}

}  // namespace

int main(int argc, char** argv) {
  long limitMs = kDefaultLimitMs;
  if (argc == 3 && strcmp(argv[1], "--limit-ms") == 0) {
    limitMs = strtol(argv[2], nullptr, 10);
  }
  if ((argc != 1 && argc != 3) || limitMs <= 0) {
    fprintf(stderr, "usage: wdm_daemon [--limit-ms N]\n");
    return 2;
  }
  setvbuf(stdout, nullptr, _IOLBF, 0);

  mq_attr attributes{};
  attributes.mq_maxmsg = kQueueMaxMessages;
  attributes.mq_msgsize = kMessageSize;
  const mqd_t queue = mq_open(kQueueName, O_RDONLY | O_CREAT, 0777, &attributes);
  if (queue == static_cast<mqd_t>(-1)) {
    perror("wdm_daemon: mq_open");
    return 1;
  }
  printf("ready\n");

  long long last = board_ms();
  // No silence counts as a gap until the camera's watchdog client has started feeding.
  bool gapReported = true;
  for (;;) {
    const long long silent = board_ms() - last;
    const long long untilLimit = gapReported ? limitMs : limitMs - silent;
    fd_set readable;
    FD_ZERO(&readable);
    FD_SET(queue, &readable);
    timeval timeout = {static_cast<time_t>(untilLimit > 0 ? untilLimit / 1000 : 0),
                       static_cast<suseconds_t>(untilLimit > 0 ? (untilLimit % 1000) * 1000 : 0)};
    const int ready = select(queue + 1, &readable, nullptr, nullptr, &timeout);
    if (ready < 0) {
      continue;
    }
    if (ready == 0) {
      const long long now = board_ms();
      if (!gapReported && now - last > limitMs) {
        printf("gap %lld\n", now - last);
        gapReported = true;
      }
      continue;
    }
    char message[kMessageSize];
    if (mq_receive(queue, message, sizeof message, nullptr) < 0) {
      continue;
    }
    int32_t type;
    memcpy(&type, message, sizeof type);
    const long long now = board_ms();
    if (type != kKeepAlive) {
      printf("message %d\n", type);
      continue;
    }
    printf("keepalive %d %lld\n", type, now - last);
    last = now;
    gapReported = false;
  }
}
