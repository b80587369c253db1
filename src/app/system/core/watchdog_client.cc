#include "app/system/core/watchdog_client.h"

#include <fcntl.h>
#include <mqueue.h>

#include <cstdio>
#include <mutex>

#include "app/system/os/os.h"

namespace {

// Only the feed thread sends in the application; the lock keeps the lazy open safe for tests.
std::mutex g_wdm_lock;
mqd_t g_wdm_queue = -1;

mqd_t open_wdm_queue() {
  mq_attr attributes{};
  attributes.mq_maxmsg = kWdmQueueMaxMessages;
  attributes.mq_msgsize = sizeof(WdmMessage);
  return mq_open(kWdmQueueName, O_RDWR | O_CREAT | O_NONBLOCK, 0777, &attributes);
}

}  // namespace

int wdm_send(int32_t type) {
  if (type != kWdmKeepAlive) {
    printf("\nWDM Library : Unknown type");
    return -1;
  }
  std::lock_guard lock(g_wdm_lock);
  if (g_wdm_queue < 0) {
    g_wdm_queue = open_wdm_queue();
    if (g_wdm_queue < 0) {
      printf("\n\nMessage Queue For WDM FAILED!\n");
      printf("\n\nMessage queue wdm lib fail to create\n");
      return -1;
    }
  }
  WdmMessage message{};
  message.type = type;
  return mq_send(g_wdm_queue, reinterpret_cast<const char*>(&message), sizeof message, 0) == 0 ? 0
                                                                                               : -1;
}

void* wdm_feed_thread(void*) {
  for (;;) {
    wdm_send(kWdmKeepAlive);
    os_sleep_ms(kWdmFeedPeriodSeconds * 1000);
  }
  return nullptr;
}
