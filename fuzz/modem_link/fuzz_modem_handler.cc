// The Modem link manager's message handler on any message the Modem can send, in any state:
// byte 0 picks the system state, byte 1 the card and capture flags, the rest is the payload.
// After each message the configuration the camera would save must read back whole.
#include <mqueue.h>
#include <pb_decode.h>
#include <unistd.h>

#include <cstdint>
#include <cstdio>
#include <cstdlib>
#include <cstring>
#include <string>

#include "app/config/camera_config.h"
#include "app/config/config_keys.h"
#include "app/config/config_store.h"
#include "app/links/modem/modem_link_manager.h"
#include "app/links/modem/modem_sync_info.h"
#include "app/system/core/event_queue.h"
#include "app/system/core/sys_info.h"

#include "fuzz/config/memory_file.h"

namespace {

constexpr int32_t kStates[] = {STATE_SYNC,           STATE_SYNCDAILY,        STATE_FIRSTBOOT,
                               STATE_INSTANTREQUEST, STATE_CAPTUREDETECTION, STATE_POWERDOWN};

CameraConfig g_camera;
ServerConfig g_server;
SysInfo g_system;

mqd_t private_queue(const char* role) {
  char name[64];
  snprintf(name, sizeof name, "/fuzz_modem_%s_%d", role, static_cast<int>(getpid()));
  mq_attr attributes{};
  attributes.mq_maxmsg = kQueueMaxMessages;
  attributes.mq_msgsize = sizeof(EventMessage);
  const mqd_t queue = mq_open(name, O_RDWR | O_CREAT | O_NONBLOCK, 0600, &attributes);
  mq_unlink(name);  // gone with the process
  return queue;
}

void drain(mqd_t queue) {
  EventMessage message{};
  while (mq_receive(queue, reinterpret_cast<char*>(&message), sizeof message, nullptr) > 0) {
  }
}

// The configuration formatted as the camera saves it parses back, password included.
void check_saved_configuration() {
  char body[kConfigBodySize];
  const std::size_t length = config_format_body(&g_camera, &g_server, CONFIG_FROM_SERVER, body);
  ConfigFileFields loaded;
  if (config_parse_path(fuzz_support::memory_file(body, length), &loaded) != 0 ||
      strncmp(loaded.encrypt_password, g_server.encrypt_password, kPasswordSize) != 0) {
    fprintf(stderr, "saved configuration does not read back\n");
    abort();
  }
}

}  // namespace

extern "C" int LLVMFuzzerInitialize(int*, char***) {
  init_record_locks();
  // As start-up leaves them when the configuration file holds the defaults.
  config_set_defaults(g_camera);
  config_set_defaults(g_server);
  cameraConfig = &g_camera;
  serverConfig = &g_server;
  sysInfo = &g_system;
  sysQueue = private_queue("sys");
  mcuQueue = private_queue("mcu");
  modemQueue = private_queue("modem");
  return 0;
}

extern "C" int LLVMFuzzerTestOneInput(const uint8_t* data, size_t size) {
  if (size < 2) {
    return 0;
  }
  sysInfo->state = kStates[data[0] % std::size(kStates)];
  sysInfo->fsckOngoing = data[1] & 1;
  sysInfo->captureOngoing = (data[1] >> 1) & 1;
  sysInfo->primaryLent = (data[1] >> 2) & 1;
  sysInfo->instantQueryBusy = (data[1] >> 3) & 1;
  modemSyncInfo->sdControlBusy = (data[1] >> 4) & 1;

  static kvt_Modem2ISP message;
  memset(&message, 0, sizeof message);
  pb_istream_t stream = pb_istream_from_buffer(data + 2, size - 2);
  if (!pb_decode(&stream, kvt_Modem2ISP_fields, &message)) {
    return 0;
  }
  timeval wait{kLinkIdleWaitSeconds, 0};
  modem_handle_message(message, &wait);
  if (wait.tv_sec != kLinkIdleWaitSeconds && wait.tv_sec != kModemIdleAfterAnswerSeconds) {
    abort();
  }
  check_saved_configuration();
  drain(sysQueue);
  drain(mcuQueue);
  drain(modemQueue);
  return 0;
}
