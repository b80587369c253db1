#include "app/system/sys_info.h"

SysInfo* sysInfo = nullptr;
std::atomic<int8_t> formatOngoing{0};
sem_t sysInfoLock;
sem_t configLock;
sem_t streamTimeLock;
pthread_attr_t threadAttr;

pthread_mutex_t adcLock;
pthread_mutex_t sdCheckLock;
pthread_mutex_t partitionCountLock;
pthread_mutex_t statusLedLock;
pthread_mutex_t usbHandoverLock;

void init_record_locks() {
  sem_init(&configLock, 0, 1);
  sem_init(&sysInfoLock, 0, 1);
  sem_init(&streamTimeLock, 0, 1);
}

int init_shared_mutexes() {
  for (pthread_mutex_t* mutex :
       {&adcLock, &sdCheckLock, &partitionCountLock, &statusLedLock, &usbHandoverLock}) {
    if (pthread_mutex_init(mutex, nullptr) != 0) {
      return -1;
    }
  }
  return 0;
}
