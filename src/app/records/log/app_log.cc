#include "app/records/log/app_log.h"

#include <pthread.h>
#include <semaphore.h>
#include <unistd.h>

#include <array>
#include <cerrno>
#include <cstdarg>
#include <cstdio>
#include <cstring>
#include <ctime>

#include "app/system/os/os.h"

namespace {

constexpr std::array<char[6], 5> kLevelNames = {"FATAL", "ERR", "WARN", "INFO", "DEBUG"};

constexpr std::array<char[20], 18> kModuleNames = {
    "MAIN",     "POSTPROCESS",   "PHOTO_AV",   "VID_ENC",  "LED_MGR",   "SD_CONF",
    "CONF_SET", "MCU_UART",      "MODEM_UART", "INIT",     "FIRSTBOOT", "CAP_DET",
    "SYNC",     "CAP_TIMELAPSE", "CAP_TEST",   "INST_REQ", "PWR_DWN",   "LOG",
};

constexpr std::size_t kTemplateSize = 1024;
constexpr std::size_t kTimeStampSize = 128;

// The file handle and the byte counter are guarded by this semaphore, used as a
// non-recursive mutex. Nothing run while it is held may call app_log().
sem_t g_log_lock;
pthread_once_t g_lock_once = PTHREAD_ONCE_INIT;
FILE* g_log_file = nullptr;
long g_written_bytes = 0;

void init_lock() {
  sem_init(&g_log_lock, 0, 1);
}

class LogLockGuard {
 public:
  LogLockGuard() {
    pthread_once(&g_lock_once, init_lock);
    while (sem_wait(&g_log_lock) != 0 && errno == EINTR) {
    }
  }
  ~LogLockGuard() { sem_post(&g_log_lock); }
  LogLockGuard(const LogLockGuard&) = delete;
  LogLockGuard& operator=(const LogLockGuard&) = delete;
};

template <std::size_t N, std::size_t Width>
const char* table_name(const std::array<char[Width], N>& names, int index) {
  return index >= 0 && static_cast<std::size_t>(index) < N ? names[index] : "UNKNOWN";
}

// Length of the longest prefix of `format`, at most `limit` bytes, that does not end inside a
// conversion: a cut template must never hand vfprintf a half conversion.
std::size_t cut_between_conversions(const char* format, std::size_t limit) {
  std::size_t i = 0;
  while (format[i] != '\0') {
    std::size_t end = i;
    if (format[i] == '%') {
      end = i + 1;
      while (format[end] != '\0' && strchr("-+ #0123456789.*hlLqjzt'", format[end]) != nullptr) {
        ++end;
      }
    }
    if (end >= limit) {
      return i;
    }
    i = format[end] == '\0' ? end : end + 1;
  }
  return i;
}

// Rotation: the old content is discarded. The file is removed directly rather than through
// the shell runner, which logs its failures and would re-enter the lock.
void rotate_locked() {
  if (g_log_file != nullptr) {
    fclose(g_log_file);
    g_log_file = nullptr;
  }
  g_written_bytes = 0;
  if (unlink(kAppLogPath) != 0 && errno != ENOENT) {
    fprintf(stderr, "rm %s failed: %s\n", kAppLogPath, strerror(errno));
  }
}

}  // namespace

bool app_log_init() {
  pthread_once(&g_lock_once, init_lock);
  // The console shows each line as it is written, as it does on the camera's serial console,
  // also when it is a pipe. The file keeps ordinary buffering.
  setvbuf(stdout, nullptr, _IOLBF, 0);
  LogLockGuard lock;
  if (g_log_file == nullptr) {
    g_log_file = fopen(kAppLogPath, "a");
  }
  return g_log_file != nullptr;
}

void app_log(int module, int level, const char* format, ...) {
  if (level >= 5) {
    return;
  }

  char stamp[kTimeStampSize];
  time_t now = os_now();
  struct tm local {};
  localtime_r(&now, &local);
  snprintf(stamp, sizeof stamp, "%d-%02d-%02d %02d:%02d:%02d", local.tm_year + 1900,
           local.tm_mon + 1, local.tm_mday, local.tm_hour, local.tm_min, local.tm_sec);

  // The caller's format goes into the template unexpanded. A format too long for the
  // 1024-byte template is cut between conversions, and the line still ends in a newline.
  char line_template[kTemplateSize];
  int prefix = snprintf(line_template, sizeof line_template, "%s : %s : %s : ", stamp,
                        table_name(kModuleNames, module), table_name(kLevelNames, level));
  std::size_t room = sizeof line_template - static_cast<std::size_t>(prefix) - 2;
  std::size_t kept = cut_between_conversions(format, room);
  memcpy(line_template + prefix, format, kept);
  line_template[prefix + kept] = '\n';
  line_template[prefix + kept + 1] = '\0';

  va_list args;
  va_start(args, format);
  va_list file_args;
  va_copy(file_args, args);
#pragma GCC diagnostic push
#pragma GCC diagnostic ignored "-Wformat-nonliteral"
  vfprintf(stdout, line_template, args);
  va_end(args);

  {
    LogLockGuard lock;
    if (g_written_bytes >= kAppLogRotateBytes) {
      rotate_locked();
    }
    if (g_log_file == nullptr) {
      g_log_file = fopen(kAppLogPath, "a");
    }
    if (g_log_file != nullptr) {
      int written = vfprintf(g_log_file, line_template, file_args);
      if (written > 0) {
        g_written_bytes += written;
      }
    }
  }
#pragma GCC diagnostic pop
  va_end(file_args);
}

void app_log_close() {
  LogLockGuard lock;
  if (g_log_file != nullptr) {
    fclose(g_log_file);
    g_log_file = nullptr;
  }
}

long app_log_written_bytes() {
  LogLockGuard lock;
  return g_written_bytes;
}

int is_path_mounted(const char* text) {
  FILE* mounts = fopen("/proc/mounts", "r");
  if (mounts == nullptr) {
    app_log(MOD_LOG, LEVEL_ERR, "cannot open /proc/mounts , %s", strerror(errno));
    return 0;
  }
  char line[256];
  int found = 0;
  while (fgets(line, sizeof line, mounts) != nullptr) {
    if (strstr(line, text) != nullptr) {
      found = 1;
      break;
    }
  }
  fclose(mounts);
  return found;
}
