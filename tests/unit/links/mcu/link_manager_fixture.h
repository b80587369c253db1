// What the link manager tests share: a pseudo-terminal line per peer, the MCU peer with the
// camera's MCU link thread on its line, and the system server turned until a condition holds.
// The link threads are stopped and joined at the end of each test.
#pragma once

#include <pty.h>
#include <unistd.h>

#include <atomic>
#include <memory>
#include <optional>
#include <string>
#include <thread>

#include <gtest/gtest.h>

#include "app/links/mcu/mcu_link_manager.h"
#include "app/links/serial_port.h"
#include "sim/mcu/mcu_peer.h"

#include "tests/support/eventually.h"
#include "tests/support/system_fixture.h"

namespace link_manager_test {

// A pseudo-terminal: the peer works the master, the camera opens the slave by its path.
struct PeerLine {
  PeerLine() {
    char name[64];
    int slave = -1;
    EXPECT_EQ(openpty(&master, &slave, name, nullptr, nullptr), 0);
    close(slave);
    path = name;
  }
  ~PeerLine() { close(master); }
  PeerLine(const PeerLine&) = delete;
  PeerLine& operator=(const PeerLine&) = delete;

  int master = -1;
  std::string path;
};

class LinkManagerTest : public test_support::SystemTest {
 protected:
  void SetUp() override {
    SystemTest::SetUp();
    mcuPortPath = mcuLine_.path.c_str();
  }

  void TearDown() override {
    stop_ = true;
    // The loops check the flag between turns; a record on their queue ends the current one.
    for (auto& [thread, queue] : {std::pair{&mcuLink_, mcuQueue}, {&modemLink_, modemQueue}}) {
      if (thread->joinable()) {
        send_event(queue, EventMessage{}, "");
        thread->join();
      }
    }
    SystemTest::TearDown();
  }

  // The MCU peer (woken for `reason`, when given) and the camera's MCU link thread.
  void start_mcu(sim::McuSetup setup = {}, std::optional<sim::WakeReason> reason = {}) {
    mcuPeer_ = std::make_unique<sim::McuPeer>(mcuLine_.master, std::move(setup),
                                              [](const sim::McuRecord&) {});
    if (reason) {
      mcuPeer_->set_wake_reason(*reason);
    }
    ASSERT_EQ(mcuPeer_->start(), 0);
    mcuLink_ = std::thread([this] { run_mcu_link(kMcuLinkHooks, &stop_); });
  }

  // Turns the system server until `done` holds; false if it never did.
  template <typename Done>
  bool serve_until(Done done) {
    return test_support::eventually([&] {
      system_server_turn(20);
      return done();
    });
  }

  // Declared before the peers, which are destroyed first.
  PeerLine mcuLine_;
  std::atomic<bool> stop_{false};
  std::unique_ptr<sim::McuPeer> mcuPeer_;
  std::thread mcuLink_;
  std::thread modemLink_;
};

}  // namespace link_manager_test
