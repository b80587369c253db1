// The Modem link manager and the sync and first-boot states against the simulated Modem and
// MCU over pseudo-terminals: the system server, both link threads and both peers run as they
// do on the board (the sandbox has no card).
#include "app/links/modem/modem_link_manager.h"

#include <chrono>
#include <memory>
#include <string>
#include <thread>
#include <vector>

#include <gtest/gtest.h>

#include "app/config/camera_config.h"
#include "app/config/config_store.h"
#include "app/links/modem/modem_sync_info.h"
#include "app/storage/sd_monitor.h"
#include "app/system/core/temperature.h"
#include "app/system/state_machine.h"
#include "sim/modem/modem_peer.h"
#include "sim/peers/serial_line.h"

#include "tests/support/eventually.h"
#include "tests/unit/links/mcu/link_manager_fixture.h"

namespace {

using namespace std::chrono_literals;
using test_support::eventually;

class ModemLinkTest : public link_manager_test::LinkManagerTest {
 protected:
  void SetUp() override {
    LinkManagerTest::SetUp();
    reset_modem_sync_info();
    lastModemRequest = 0;
    pendingAsyncMcuRequest = 0;
    config_load(cameraConfig);
    modemPortPath = modemLine_.path.c_str();
  }

  void start(sim::ModemSetup setup, bool withMcu = true) {
    modemPeer_ = std::make_unique<sim::ModemPeer>(modemLine_.master, std::move(setup),
                                                  [](const sim::LineMessage&) {});
    ASSERT_EQ(modemPeer_->start(), 0);
    modemLink_ = std::thread([this] { run_modem_link(kModemLinkHooks, &stop_); });
    // The Modem talks only to a camera that has its port open.
    ASSERT_TRUE(eventually([this] { return !sim::line_hung_up(modemLine_.master); }));
    if (withMcu) {
      start_mcu();
    }
  }

  void enter(int32_t state) {
    sysInfo->prevState = STATE_INIT;
    sysInfo->state = state;
    sysInfo->enterState = 1;
  }

  // The members the camera sent the Modem, in order.
  std::vector<std::string> camera_said() const {
    std::vector<std::string> members;
    for (const sim::LineMessage& message : modemPeer_->history()) {
      if (message.direction == sim::PeerDirection::kCameraToPeer) {
        members.push_back(message.member);
      }
    }
    return members;
  }

  link_manager_test::PeerLine modemLine_;
  std::unique_ptr<sim::ModemPeer> modemPeer_;
};

// The sync chain as the Modem sees it, from the sync type to the SHUTDOWN next action; the card
// is missing, so the Modem's card request is answered NOT_INSERTED (5).
TEST_F(ModemLinkTest, SyncRunsTheWholeChainInOrderAndEndsInPowerDown) {
  sim::ModemSetup setup;
  setup.password = "s3cret";
  setup.sync.searchInterval = 100ms;
  temperatureF = 71;  // start-up's thermistor reading, as the camera status reports it
  start(setup);
  enter(STATE_SYNC);
  sysInfo->syncType = 1;

  ASSERT_TRUE(serve_until([] { return sysInfo->state == STATE_POWERDOWN; }));
  const std::vector<std::string> expected = {
      "set_server_sync_type_request",        "get_crypto_password_request",
      "set_rtc_date_time_response",          "get_device_version_response",
      "get_camera_status_response",          "get_fuel_gauge_values_response",
      "send_server_sync_status_response",    "send_server_sync_status_response",
      "get_camera_sd_card_control_response", "send_server_sync_status_response",
      "get_camera_configuration_request",    "set_server_next_action_request",
  };
  EXPECT_EQ(camera_said(), expected);
  const auto last = [this](const char* member) { return modemPeer_->last_received(member); };
  EXPECT_EQ(
      last("get_camera_sd_card_control_response").get_camera_sd_card_control_response().result(),
      5u);
  EXPECT_EQ(last("get_camera_status_response").get_camera_status_response().temperature(), 71);
  EXPECT_EQ(last("set_server_sync_type_request").set_server_sync_type_request().synctype(), 1u);
  EXPECT_TRUE(modemPeer_->shut_down());
  EXPECT_STREQ(cameraConfig->encrypt_password, "s3cret");
  EXPECT_EQ(cameraConfig->modemEpoch, setup.clockEpoch);
  // The configuration went on to the MCU, and the clock too.
  for (const char* member :
       {"set_pir_configuration_request", "set_camera_configuration_request",
        "set_battery_protection_request", "set_rtc_date_time_request",
        "set_camera_detection_schedule_request", "set_camera_instant_schedule_request"}) {
    EXPECT_GE(mcuPeer_->received(member), 1) << member;
  }
}

// A first boot: the model comes first, the state answers the status reports itself, an
// ERROR status still fetches the configuration and shows red blinking.
TEST_F(ModemLinkTest, FirstBootAfterAnErrorStillFetchesTheConfiguration) {
  sim::ModemSetup setup;
  setup.deviceModel = 12;  // out of range: kept as 0
  setup.sync.error = true;
  setup.sync.searchingReports = 0;
  start(setup);
  enter(STATE_FIRSTBOOT);

  ASSERT_TRUE(serve_until([] { return sysInfo->state == STATE_POWERDOWN; }));
  const std::vector<std::string> said = camera_said();
  ASSERT_GE(said.size(), 4u);
  EXPECT_EQ(said[0], "get_device_model_request");
  EXPECT_EQ(said[1], "set_server_sync_type_request");
  EXPECT_EQ(said[2], "get_crypto_password_request");
  EXPECT_EQ(said[said.size() - 2], "get_camera_configuration_request");
  EXPECT_EQ(modemPeer_->received("send_server_sync_status_response"), 2);
  EXPECT_EQ(modemPeer_->received("get_camera_sd_card_control_response"), 0);
  EXPECT_EQ(cameraConfig->orve_model, 0);
  EXPECT_EQ(sysInfo->rtcValid, 1);
  EXPECT_EQ(statusLedRed, STATUS_LED_BLINK);
  EXPECT_EQ(cameraConfig->statusLedBlinkPeriodMs, 2000);
}

// The Modem's card request while a format or the SD monitor keeps the card busy, and with no
// card at all.
TEST_F(ModemLinkTest, CardRequestIsBusyWhileTheCardIsInUseAndRefusedWithoutACard) {
  sim::ModemSetup setup;
  setup.sendClock = false;
  start(setup, /*withMcu=*/false);
  sysInfo->state = STATE_SYNC;
  struct Case {
    int8_t formatting;
    bool monitoring;
    uint32_t result;
  };
  for (const Case& c : {Case{1, false, 1}, Case{0, true, 1}, Case{0, false, 5}}) {
    formatOngoing = c.formatting;
    sdMonitorBusy = c.monitoring;
    const int before = modemPeer_->received("get_camera_sd_card_control_response");
    kvt::kvt_Modem2ISP ask;
    ask.mutable_get_camera_sd_card_control_request();
    modemPeer_->send(ask);
    ASSERT_TRUE(serve_until(
        [&] { return modemPeer_->received("get_camera_sd_card_control_response") > before; }));
    EXPECT_EQ(modemPeer_->last_received("get_camera_sd_card_control_response")
                  .get_camera_sd_card_control_response()
                  .result(),
              c.result);
  }
  formatOngoing = 0;
  sdMonitorBusy = false;
  EXPECT_EQ(sysInfo->primaryLent, 0);
}

// Modem members and what each becomes in the camera: an answer on the line or an event for the
// system server, with values at their edges. (The members the sync chain above exchanges as
// they come, and the camera's own requests, are seen on the line there and in the first boot.)
TEST_F(ModemLinkTest, EveryModemMemberIsAnsweredOrForwarded) {
  sim::ModemSetup setup;
  setup.sendClock = false;
  start(setup, /*withMcu=*/false);
  sysInfo->state = STATE_SYNC;
  struct Case {
    void (*fill)(kvt::kvt_Modem2ISP&);
    const char* answer;  // member the camera sends back, or nullptr
    int32_t event;       // kind that reaches the system server, or 0
  };
  const Case cases[] = {
      {[](auto& m) {
         auto* r = m.mutable_modem_reboot_done_request();
         r->set_rebooted(true);
         r->set_epoch(7);
         r->set_reason(99);
       },
       "modem_reboot_done_response", 0},
      {[](auto& m) {
         m.mutable_send_server_sync_status_request()->set_syncstatus(77);
         m.mutable_send_server_sync_status_request()->set_value(~0u);
       },
       "send_server_sync_status_response", EVENT_MODEM_SVR_SYNC_STATUS},
      {[](auto& m) {
         m.mutable_set_rtc_date_time_request()->set_isvalid(true);
         m.mutable_set_rtc_date_time_request()->set_epoch(-5);
       },
       "set_rtc_date_time_response", EVENT_MODEM_SET_RTC_DATE_TIME_REQ},
      {[](auto& m) { m.mutable_get_camera_sd_card_control_request(); }, nullptr,
       EVENT_MODEM_REQ_GET_SD_CONTROL},
      {[](auto& m) { m.mutable_return_camera_sd_card_control_request(); },
       "return_camera_sd_card_control_response", 0},
      {[](auto& m) {
         auto* f = m.mutable_get_camera_sd_card_format_request();
         f->set_formatrequest(9);
         f->set_validation_active(true);
         f->set_sdformat_active(false);
       },
       nullptr, 0},
      {[](auto& m) { m.mutable_set_server_instant_query_request()->set_querytype(1000); }, nullptr,
       EVENT_MODEM_SET_SERVER_INSTANT_QUERY_REQ},
      {[](auto& m) { m.mutable_get_device_model_response()->set_model(3); }, nullptr,
       MSG_MODEM_RESP},
  };
  for (const Case& c : cases) {
    kvt::kvt_Modem2ISP message;
    c.fill(message);
    const int before = c.answer ? modemPeer_->received(c.answer) : 0;
    modemPeer_->send(message);
    if (c.answer != nullptr) {
      EXPECT_TRUE(modemPeer_->wait_received(c.answer, before + 1, 20s)) << c.answer;
    }
    EventMessage event{};
    if (c.event != 0) {
      ASSERT_EQ(wait_queue_readable(sysQueue, 20000), 1) << c.event;
      ASSERT_EQ(receive_event(sysQueue, &event), 0);
      EXPECT_EQ(event.kind, c.event);
    }
  }
  // A query outside a sync or an instant request, or while another is processed, is answered
  // "not processed" at once and reaches no state.
  for (const auto& [state, busy] :
       {std::pair{STATE_CAPTUREDETECTION, 0}, {STATE_FIRSTBOOT, 0}, {STATE_SYNC, 1}}) {
    sysInfo->state = state;
    sysInfo->instantQueryBusy = busy;
    kvt::kvt_Modem2ISP message;
    message.mutable_set_server_instant_query_request()->set_querytype(0);
    const int before = modemPeer_->received("set_server_instant_query_response");
    modemPeer_->send(message);
    EXPECT_TRUE(modemPeer_->wait_received("set_server_instant_query_response", before + 1, 20s))
        << state;
    mq_attr queued{};
    mq_getattr(sysQueue, &queued);
    EXPECT_EQ(queued.mq_curmsgs, 0) << state;
  }
  EXPECT_EQ(cameraConfig->orve_model, 3);
  EXPECT_EQ(modemSyncInfo->formatRequest, 9);
  EXPECT_EQ(cameraConfig->validation_active, 1);
  EXPECT_EQ(sysInfo->instantQueryType, 1000);
  EXPECT_EQ(cameraConfig->modemEpoch, -5);
  EXPECT_EQ(sysInfo->wdmReboot, 1);
}

// An unanswered request is repeated until the Modem answers; a bad checksum and garbage on the
// line are dropped, the frame after them still counts.
TEST_F(ModemLinkTest, UnansweredAndSpoiledAnswersAreRepeated) {
  start(sim::ModemSetup{}, /*withMcu=*/false);
  sysInfo->state = STATE_SYNC;
  modemPeer_->add_fault({sim::PeerFaultKind::kNoAnswer, "get_device_model_request", 1});
  send_modem_request(EventMessage{}, MODEM_REQ_GET_DEVICE_MODEL);
  ASSERT_TRUE(modemPeer_->wait_received("get_device_model_request", 1, 20s));
  // The repeated request's answer comes after stray bytes and with a bad checksum.
  modemPeer_->add_fault({sim::PeerFaultKind::kBadChecksum, "get_device_model_request", 1});
  modemPeer_->add_fault(
      {sim::PeerFaultKind::kGarbageBeforeAnswer, "get_device_model_request", 1, 0ms, 6});

  ASSERT_EQ(wait_queue_readable(sysQueue, 60000), 1);
  EventMessage answer{};
  ASSERT_EQ(receive_event(sysQueue, &answer), 0);
  EXPECT_EQ(answer.response, MODEM_RESP_GET_DEVICE_MODEL);
  EXPECT_EQ(modemPeer_->received("get_device_model_request"), 3);
  EXPECT_EQ(lastRepeatedModemRequest, MODEM_REQ_GET_DEVICE_MODEL);
  EXPECT_EQ(test_support::drain(sysQueue).size(), 0u);  // one answer, one record
}

// Whatever bytes the password holds are kept and survive the configuration file, except a
// line break, which would split its line in the file.
TEST_F(ModemLinkTest, CryptoPasswordKeepsItsBytesThroughTheConfigurationFile) {
  start(sim::ModemSetup{}, /*withMcu=*/false);
  // The link thread writes the record under its lock; the test reads it the same way.
  const auto stored = [] {
    SemLock lock(&configLock);
    return std::string(cameraConfig->encrypt_password);
  };
  const std::string longest(31, '\xfe');
  const struct {
    std::string password;
    bool kept;
  } cases[] = {{"", true},
               {"a'b\"c$(reboot);`id` |&>x", true},
               {"key=value=", true},
               {longest, true},
               {"two\nlines", false},
               {std::string(32, 'x'), false}};
  for (const auto& [password, kept] : cases) {
    SCOPED_TRACE(password);
    kvt::kvt_Modem2ISP message;
    message.mutable_get_crypto_password_response()->set_password(password);
    modemPeer_->send(message);
    // The answer reaches the system server unless it does not fit the record.
    EXPECT_EQ(wait_queue_readable(sysQueue, kept ? 20000 : 6000), password.size() < 32 ? 1 : 0);
    test_support::drain(sysQueue);
    EXPECT_EQ(stored(), kept ? password : longest);
    ConfigFileFields loaded;
    ASSERT_EQ(config_parse_path(kConfigPath, &loaded), 0);
    EXPECT_EQ(std::string(loaded.encrypt_password), kept ? password : longest);
  }
}

}  // namespace
