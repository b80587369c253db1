#include "app/system/core/sys_info.h"

SysInfo* sysInfo = nullptr;
std::atomic<int8_t> formatOngoing{0};
sem_t sysInfoLock;
sem_t configLock;
sem_t streamTimeLock;
pthread_attr_t threadAttr;

void init_record_locks() {
  sem_init(&configLock, 0, 1);
  sem_init(&sysInfoLock, 0, 1);
  sem_init(&streamTimeLock, 0, 1);
}
