#include "app/links/link_loop.h"

#include <sys/select.h>
#include <unistd.h>

#include <algorithm>
#include <cstdint>
#include <cstdio>

#include "app/links/frame_codec.h"
#include "app/links/link_profile.h"
#include "app/links/serial_port.h"
#include "app/records/log/app_log.h"
#include "app/system/core/event_queue.h"

namespace {

template <typename Hooks>
using FrameReaderFn = int (*)(int port, decltype(Hooks::handleMessage) handler, timeval* waitTime,
                              LinkCounters* counters);

template <typename Hooks>
int link_turn(const LinkProfile& link, FrameReaderFn<Hooks> readFrame, LinkLoopState& state,
              const Hooks& hooks) {
  fd_set readable;
  FD_ZERO(&readable);
  FD_SET(state.queue, &readable);
  FD_SET(state.port, &readable);
  const int ready = select(std::max<int>(state.queue, state.port) + 1, &readable, nullptr, nullptr,
                           &state.waitTime);
  if (ready == 0) {
    ++state.counters.timeouts;
    app_log(link.module, LEVEL_INFO, "%s", link.waitTimeout);
    if (hooks.retry != nullptr) {
      hooks.retry(&state.waitTime);
    }
    return 0;
  }
  if (ready < 0) {
    app_log(link.module, LEVEL_ERR, "%s", link.selectFailed);
    return -1;
  }

  if (FD_ISSET(state.queue, &readable)) {
    EventMessage record{};
    if (receive_event(state.queue, &record) != 0) {
      app_log(link.module, LEVEL_ERR, "%s", link.receiveFailed);
      if (link.receiveErrorPrefix != nullptr) {
        perror(link.receiveErrorPrefix);
      }
      // Nothing arrived, so there is no request to send.
    } else {
      ++state.counters.requests;
      if (hooks.sendRequest != nullptr) {
        hooks.sendRequest(record, &state.waitTime);
      }
    }
  }

  if (FD_ISSET(state.port, &readable)) {
    uint8_t byte = 0;
    if (read(state.port, &byte, 1) == 1) {
      app_log(link.module, LEVEL_DEBUG, link.firstByte, byte);
      if (byte == kFrameStartByte) {
        if (readFrame(state.port, hooks.handleMessage, &state.waitTime, &state.counters) == 0) {
          ++state.counters.framesHandled;
        } else {
          ++state.counters.framesDropped;
        }
      } else {
        ++state.counters.strayBytes;
        app_log(link.module, LEVEL_ERR, link.strayByte, byte);
      }
    }
  }
  return 0;
}

template <typename Hooks>
int run_link(const LinkProfile& link, int (*openPort)(), const int& port, mqd_t queue,
             FrameReaderFn<Hooks> readFrame, const Hooks& hooks, const std::atomic<bool>* stop) {
  if (openPort() != 0) {
    app_log(link.module, LEVEL_ERR, "Failed to open port");
    return -1;
  }
  app_log(link.module, LEVEL_INFO, link.portOpened, port);

  LinkLoopState state;
  state.port = port;
  state.queue = queue;
  set_wait_seconds(&state.waitTime, kLinkIdleWaitSeconds);
  while (stop == nullptr || !stop->load()) {
    link_turn(link, readFrame, state, hooks);
  }
  return 0;
}

}  // namespace

int mcu_link_turn(LinkLoopState& state, const McuLinkHooks& hooks) {
  return link_turn<McuLinkHooks>(kMcuLink, mcu_read_frame, state, hooks);
}

int modem_link_turn(LinkLoopState& state, const ModemLinkHooks& hooks) {
  return link_turn<ModemLinkHooks>(kModemLink, modem_read_frame, state, hooks);
}

int run_mcu_link(const McuLinkHooks& hooks, const std::atomic<bool>* stop) {
  return run_link<McuLinkHooks>(kMcuLink, open_mcu_port, mcuPort, mcuQueue, mcu_read_frame, hooks,
                                stop);
}

int run_modem_link(const ModemLinkHooks& hooks, const std::atomic<bool>* stop) {
  return run_link<ModemLinkHooks>(kModemLink, open_modem_port, modemPort, modemQueue,
                                  modem_read_frame, hooks, stop);
}
