// Each request member of the MCU message set gets its response member, once, with the
// board's set-up in it.
#include <optional>
#include <string>

#include <gtest/gtest.h>

#include "tests/unit/sim/mcu/camera_end.h"

namespace sim_test {
namespace {

using std::chrono::milliseconds;

// The answer the MCU gives a request member: its response namesake (the watchdog
// notification's answer slot is a reserved member).
std::string answer_to(const std::string& request) {
  if (request == "watchdog_notification_request") {
    return "reserved_113";
  }
  return request.substr(0, request.size() - std::string("_request").size()) + "_response";
}

// A request with every required field filled, as the camera sends it.
kvt::kvt_ISP2MCU request_named(const std::string& name) {
  kvt::kvt_ISP2MCU message;
  if (name == "get_adc_monitoring_values_request") {
    auto* adc = message.mutable_get_adc_monitoring_values_request();
    adc->set_wantbattery(true);
    adc->set_wantexternal(true);
    adc->set_wantphotodiode(false);
  } else if (name == "set_camera_configuration_request") {
    auto* config = message.mutable_set_camera_configuration_request();
    config->set_capturemode(1);
    config->set_detectiondelay(30);
    config->set_timelapsedelay(600);
    config->mutable_synctime()->set_hour(12);
    config->mutable_synctime()->set_minute(30);
    config->set_syncfrequency(1);
    config->add_powersources(0);
    config->add_powersources(1);
    config->mutable_pausecameraconfig()->set_epoch(0);
    config->mutable_pausecameraconfig()->set_duration(0);
  } else if (name == "set_pir_configuration_request") {
    message.mutable_set_pir_configuration_request()->set_pirsensitivity(5);
  } else if (name == "set_modem_power_state_request") {
    message.mutable_set_modem_power_state_request()->set_on(true);
  } else if (name == "set_rtc_date_time_request") {
    message.mutable_set_rtc_date_time_request()->set_isvalid(true);
    message.mutable_set_rtc_date_time_request()->set_epoch(1718000000);
  } else if (name == "set_status_led_request") {
    message.mutable_set_status_led_request()->set_colour(2);
  } else {
    return empty_member(name);  // members without required fields
  }
  return message;
}

TEST(McuPeerAnswers, EveryRequestMemberGetsItsResponseMemberOnce) {
  CameraEnd camera;
  // Every request member of the schema, so a member added later is asked as well.
  int asked = 0;
  const auto& wrapper = *kvt::kvt_ISP2MCU::descriptor();
  for (int i = 0; i < wrapper.field_count(); ++i) {
    const std::string request = wrapper.field(i)->name();
    if (!request.ends_with("_request")) {
      continue;
    }
    SCOPED_TRACE(request);
    ++asked;
    camera.send(request_named(request));
    ASSERT_EQ(camera.receive_member(), answer_to(request));
    EXPECT_EQ(camera.peer().received(request), 1);
    EXPECT_TRUE(camera.peer().wait_sent(answer_to(request), 1, kPatience));
  }
  EXPECT_GT(asked, 10);
  // Acknowledgements and members the camera never sends get no answer: the next answer on the
  // line belongs to the request after them.
  for (const char* silent : {"pir_detection_response", "timelapse_response",
                             "test_button_notification_response", "reserved_62", "reserved_202"}) {
    camera.send(request_named(silent));
  }
  camera.send(device_info_request());
  EXPECT_EQ(camera.receive_member(), "get_device_info_response");
  EXPECT_EQ(camera.peer().received("reserved_62"), 1);
}

TEST(McuPeerAnswers, CameraStateFollowsTheWakeUpReason) {
  sim::McuSetup setup;
  setup.cameraStateFor[static_cast<std::size_t>(sim::WakeReason::kTimelapse)] = 4;
  CameraEnd camera(setup);
  // A fresh board is a first boot (1); the last row is a mismatch the board asked for: detection
  // reported on a time-lapse wake-up.
  const std::pair<std::optional<sim::WakeReason>, uint32_t> rows[] = {
      {std::nullopt, 1},
      {sim::WakeReason::kPir, 4},
      {sim::WakeReason::kInstantRequest, 7},
      {sim::WakeReason::kTimelapse, 4}};
  for (const auto& [reason, state] : rows) {
    if (reason) {
      camera.peer().set_wake_reason(*reason);
    }
    camera.send(camera_state_request());
    kvt::kvt_MCU2ISP answer;
    ASSERT_TRUE(camera.receive(&answer));
    EXPECT_EQ(answer.get_camera_state_response().state(), state);
  }
}

TEST(McuPeerAnswers, RtcRunsWithBoardTimeAndTakesTheCamerasSetting) {
  sim::McuSetup setup;
  setup.rtcValid = false;
  setup.rtcEpoch = 1000;
  CameraEnd camera(setup);
  const kvt::kvt_ISP2MCU get = empty_member("get_rtc_date_time_request");
  kvt::kvt_MCU2ISP answer;

  camera.send(get);
  ASSERT_TRUE(camera.receive(&answer));
  EXPECT_FALSE(answer.get_rtc_date_time_response().isvalid());

  camera.peer().set_rtc(true, 1'700'000'000);
  camera.clock().advance(milliseconds(65'500));
  camera.send(get);
  ASSERT_TRUE(camera.receive(&answer));
  EXPECT_TRUE(answer.get_rtc_date_time_response().isvalid());
  EXPECT_EQ(answer.get_rtc_date_time_response().epoch(), 1'700'000'065);

  camera.send(request_named("set_rtc_date_time_request"));
  ASSERT_TRUE(camera.receive(&answer));
  camera.clock().advance(milliseconds(2'000));
  camera.send(get);
  ASSERT_TRUE(camera.receive(&answer));
  EXPECT_EQ(answer.get_rtc_date_time_response().epoch(), 1'718'000'002);
  EXPECT_EQ(camera.peer().rtc_epoch(), 1'718'000'002);
}

// The version and the watchdog reboot reach the camera in the MCU link manager's tests.
TEST(McuPeerAnswers, SetUpValuesReachTheCamera) {
  sim::McuSetup setup;
  setup.batteryVoltage = {true, 5, 87};
  setup.externalVoltage = {false, 0, 0};
  setup.photodiodeRaw = {true, 300, 1};
  setup.fuelGaugeValid = true;
  setup.fuelGaugeIndex = 1;
  setup.fuelGaugeEntries = {{0, 1, 90, 2000}, {1, 2, 40, 1000}};
  CameraEnd camera(setup);
  kvt::kvt_MCU2ISP answer;

  // Only readings the set-up has and the camera asked for (it never asks for the photodiode).
  camera.send(request_named("get_adc_monitoring_values_request"));
  ASSERT_TRUE(camera.receive(&answer));
  const auto& adc = answer.get_adc_monitoring_values_response();
  ASSERT_TRUE(adc.has_adc_val_battery_v());
  EXPECT_EQ(adc.adc_val_battery_v().decimal(), 87u);
  EXPECT_FALSE(adc.has_adc_val_external_v());
  EXPECT_FALSE(adc.has_adc_val_photodiode_raw());

  camera.send(request_named("get_fuel_gauge_value_request"));
  ASSERT_TRUE(camera.receive(&answer));
  const auto& gauge = answer.get_fuel_gauge_value_response();
  EXPECT_TRUE(gauge.isvalid());
  ASSERT_EQ(gauge.fuelgaugeentries_size(), 2);
  EXPECT_EQ(gauge.fuelgaugeentries(1).batterypercent(), 40u);

  // A changed set-up answers from then on.
  setup.fuelGaugeValid = false;
  setup.fuelGaugeEntries.clear();
  camera.peer().set_setup(setup);
  camera.send(request_named("get_fuel_gauge_value_request"));
  ASSERT_TRUE(camera.receive(&answer));
  EXPECT_FALSE(answer.get_fuel_gauge_value_response().isvalid());
  EXPECT_EQ(answer.get_fuel_gauge_value_response().fuelgaugeentries_size(), 0);
}

TEST(McuPeerAnswers, BrokenInputIsRecordedAndSkipped) {
  CameraEnd camera;
  // Stray bytes, a frame with a wrong checksum, and a message lacking a required field
  // (set_modem_power_state_request without `on`: key 102, length 0).
  camera.send_bytes({0x00, 0x55, 0xAD});
  std::string payload;
  ASSERT_TRUE(camera_state_request().SerializeToString(&payload));
  sim::FrameLayout spoilt;
  spoilt.checksumError = 3;
  camera.send_bytes(sim::frame(payload, spoilt));
  camera.send_bytes(sim::frame(std::string("\xB2\x06\x00", 3)));
  camera.send(device_info_request());

  EXPECT_EQ(camera.receive_member(), "get_device_info_response");
  EXPECT_EQ(camera.peer().received("get_camera_state_request"), 0);
  EXPECT_EQ(camera.peer().received("set_modem_power_state_request"), 0);
  EXPECT_FALSE(camera.peer().modem_powered());

  // Recorded in the order of the line.
  ASSERT_TRUE(camera.peer().wait_sent("get_device_info_response", 1, kPatience));
  std::vector<std::string> lines;
  for (const sim::McuRecord& record : camera.peer().history()) {
    lines.push_back(record.member.empty() ? record.detail : record.member);
  }
  const std::vector<std::string> expected = {
      "3 stray bytes", "frame rejected: bad checksum",
      "undecodable message of 3 bytes, missing set_modem_power_state_request.on",
      "get_device_info_request", "get_device_info_response"};
  EXPECT_EQ(lines, expected);
}

}  // namespace
}  // namespace sim_test
