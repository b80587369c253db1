// Syncs and first boots on the board: the upload into the server inbox, the sync timeout and
// the Modem's SD format requests.
#include <filesystem>
#include <fstream>
#include <functional>
#include <map>
#include <string>
#include <vector>

#include <gtest/gtest.h>

#include "sim/board/board.h"
#include "sim/card/card_image.h"
#include "sim/card/card_part.h"
#include "sim/factory/factory_part.h"
#include "sim/modem/modem_part.h"

#include "camera_on_board.h"
#include "tests/support/eventually.h"

namespace {

using namespace std::chrono_literals;
using scenario_test::kPatience;
using test_support::read_file;

class SyncOnTheBoard : public scenario_test::CameraOnTheBoard {
 protected:
  sim::modem::ModemPart& modem() { return *board_->part<sim::modem::ModemPart>(); }

  // Runs one wake-up until the MCU cut the power.
  void run_until_asleep(sim::WakeReason reason) {
    wake(reason);
    wait_asleep();
  }

  void wait_asleep() {
    ASSERT_TRUE(board_->mcu().wait_received("isp_ready_to_sleep_request", 1, kPatience * 3));
    ASSERT_TRUE(board_->wait_power_off(kPatience));
    // The board tells its parts of the cut one after another, the Modem last of them.
    const int wakes = board_->wake_count();
    ASSERT_TRUE(test_support::eventually([&] { return modem().power_cuts() == wakes; }));
  }

  // The camera's members on the Modem line with their board times.
  std::vector<sim::LineMessage> camera_said(std::string_view member) {
    std::vector<sim::LineMessage> found;
    for (const sim::LineMessage& message : modem().peer()->history()) {
      if (message.direction == sim::PeerDirection::kCameraToPeer && message.member == member) {
        found.push_back(message);
      }
    }
    return found;
  }

  // The pictures (DCIM and TRANSMIT) of the card's primary partition, copied out under `copy`.
  std::map<std::string, std::string> pictures(const std::string& copy) {
    std::map<std::string, std::string> found = primary_files(copy);
    std::erase_if(found, [](const auto& file) {
      return !file.first.starts_with("DCIM/") && !file.first.starts_with("TRANSMIT/");
    });
    return found;
  }

  // A fresh board in the run folder `run` with a card of `size` in the slot: formatted with
  // `partitions` partitions, or blank for none.
  void make_with_card(const std::string& run, int partitions = 2, const char* size = "8G") {
    board_.reset();
    sim::board::BoardSetup setup;
    setup.runDir = dir_.path() + "/" + run;
    ASSERT_NO_FATAL_FAILURE(make(setup));
    std::string error;
    ASSERT_EQ(partitions > 0 ? card().insert_formatted(size, partitions, &error)
                             : card().insert_blank(size, &error),
              0)
        << error;
  }
};

// Upload copies the camera stored encrypted reach the server inbox, decrypted, byte for byte,
// from a card of two partitions and from a card of one (the grant tells the Modem which).
TEST_F(SyncOnTheBoard, UploadCopiesReachTheInboxDecryptedByteForByte) {
  for (int partitions : {2, 1}) {
    SCOPED_TRACE(partitions);
    ASSERT_NO_FATAL_FAILURE(make_with_card("run" + std::to_string(partitions), partitions));
    modem().setup().password = "pa ss'w\"rd";
    std::vector<std::string> plain;
    for (int i = 1; i <= 2; ++i) {
      plain.push_back("\xFF\xD8\xFF\xE0 picture " + std::to_string(i) + std::string(300 * i, 'x') +
                      "\xFF\xD9");
      const std::string name = "PICT000" + std::to_string(i) + ".JPG";
      const std::string source = dir_.path() + "/" + name;
      std::ofstream(source, std::ios::binary) << plain.back();
      ASSERT_EQ(
          sim::card::run_program({"openssl", "enc", "-aes-128-cbc", "-in", source, "-out",
                                  source + ".enc", "-pass", "pass:" + modem().setup().password}),
          0);
      ASSERT_NO_FATAL_FAILURE(copy_to_card(1, source + ".enc", "/TRANSMIT/" + name));
    }

    run_until_asleep(sim::WakeReason::kSync);

    const std::string inbox = modem().inbox_dir();
    EXPECT_EQ(read_file(inbox + "/PICT0001.JPG"), plain[0]);
    EXPECT_EQ(read_file(inbox + "/PICT0002.JPG"), plain[1]);
    const std::vector<sim::ModemUpload> uploads = modem().peer()->uploads();
    ASSERT_EQ(uploads.size(), 1u);
    EXPECT_TRUE(uploads[0].notJpeg.empty());
    EXPECT_EQ(uploads[0].error, "");
    // The card came back before the configuration was fetched, and the sync ended in SHUTDOWN.
    const auto returned = camera_said("return_camera_sd_card_control_response");
    const auto fetched = camera_said("get_camera_configuration_request");
    ASSERT_EQ(returned.size(), 1u);
    ASSERT_EQ(fetched.size(), 1u);
    EXPECT_LT(returned[0].boardTime, fetched[0].boardTime);
    EXPECT_TRUE(modem().peer()->shut_down());
  }
}

// A PIR detection during a sync: the photo is taken onto the secondary partition while the
// card may be lent, reaches the primary, and the upload after it brings it to the inbox,
// encoded with the day quality and scaled with the resize method of the configuration.
TEST_F(SyncOnTheBoard, PhotoTakenDuringTheSyncIsUploadedNext) {
  make();
  std::string error;
  ASSERT_EQ(card().insert_formatted("8G", 2, &error), 0) << error;
  auto* factory = board_->part<sim::factory::FactoryPart>();
  ASSERT_EQ(factory->set("jpeg_quality_day", "75", &error), 0) << error;
  ASSERT_EQ(factory->set("jpeg_quality_night", "20", &error), 0) << error;
  ASSERT_EQ(factory->set("resizeMethod", "4", &error), 0) << error;  // nearest neighbour
  modem().setup().sync.searchingReports = 3;
  modem().setup().sync.searchInterval = 5s;
  wake(sim::WakeReason::kSync);
  ASSERT_TRUE(board_->record().wait_for(
      [](const sim::board::BoardEvent& event) {
        return event.field("member") == "send_server_sync_status_response";
      },
      kPatience));
  board_->mcu().notify_pir();
  wait_asleep();

  const auto actions = camera_said("set_server_next_action_request");
  ASSERT_EQ(actions.size(), 2u);
  EXPECT_NE(actions[0].detail.find("nextAction: 1"), std::string::npos);
  EXPECT_NE(actions[1].detail.find("nextAction: 0"), std::string::npos);
  const std::vector<sim::ModemUpload> uploads = modem().peer()->uploads();
  ASSERT_EQ(uploads.size(), 2u);
  ASSERT_EQ(uploads[1].files.size(), 1u);
  EXPECT_TRUE(uploads[1].notJpeg.empty());
  const std::string upload = modem().inbox_dir() + "/" + uploads[1].files[0];
  const std::string cardDir = dir_.path() + "/card";
  sim::card::copy_card_files(card().image(), cardDir);
  const std::string photo = cardDir + "/primary/DCIM/100DSCIM/" + uploads[1].files[0];
  // libjpeg's luminance table at the day quality 75 starts with 8.
  EXPECT_EQ(scenario_test::luma_dc_quantiser(read_file(upload)), 8);
  EXPECT_EQ(scenario_test::luma_dc_quantiser(read_file(photo)), 8);
  // The upload copy is the photo scaled by half: sampled point by point as configured, not
  // smoothed by another method. The info bar's sharp text shows the method; its last 20 rows
  // are compared.
  const auto bar = [](const std::string& plane) { return plane.substr(520 * 960); };
  const std::string copy = scenario_test::luma_plane(upload, 960, 540);
  const std::string pointwise = scenario_test::luma_plane(photo, 960, 540, "neighbor");
  const std::string smoothed = scenario_test::luma_plane(photo, 960, 540, "fast_bilinear");
  ASSERT_FALSE(copy.empty());
  ASSERT_FALSE(pointwise.empty());
  EXPECT_LT(scenario_test::plane_distance(bar(copy), bar(pointwise)),
            scenario_test::plane_distance(bar(copy), bar(smoothed)));
}

// Three PIR photos, then a sync whose Modem keeps the card 40 s while the PIR fires twice: the
// photos of the lending get numbers of their own, and every earlier picture on the card is
// byte for byte what it was.
TEST_F(SyncOnTheBoard, CapturesWhileTheCardIsLentLeaveEarlierPicturesAlone) {
  ASSERT_NO_FATAL_FAILURE(make_with_card("run"));
  for (int photo = 0; photo < 3; ++photo) {
    run_until_asleep(sim::WakeReason::kPir);
    board_->pass_time_asleep(std::chrono::minutes(10));
  }
  const std::map<std::string, std::string> earlier = pictures(dir_.path() + "/before");
  ASSERT_GE(earlier.size(), 3u);

  modem().peer()->add_fault({.kind = sim::PeerFaultKind::kLateAnswer,
                             .member = "return_camera_sd_card_control_request",
                             .delay = 40s});
  wake(sim::WakeReason::kSync);
  ASSERT_TRUE(board_->record().wait_for(
      [](const sim::board::BoardEvent& event) { return !event.field("lent").empty(); }, kPatience));
  for (int pir = 1; pir <= 2; ++pir) {
    board_->mcu().notify_pir();
    ASSERT_TRUE(test_support::eventually(
        [&] {
          return scenario_test::occurrences(wake_file(board_->wake_count(), "console.log"),
                                            "EVENT_CAP_DONE") >= pir;
        },
        kPatience));
  }
  wait_asleep();

  const std::map<std::string, std::string> now = pictures(dir_.path() + "/after");
  for (const auto& [path, bytes] : earlier) {
    const auto found = now.find(path);
    ASSERT_NE(found, now.end()) << path;
    EXPECT_TRUE(found->second == bytes) << path << " changed";
  }
  int taken_in_the_sync = 0;
  for (const auto& [path, bytes] : now) {
    taken_in_the_sync += path.starts_with("DCIM/") && path.find("/PICT") != std::string::npos &&
                         earlier.count(path) == 0;
  }
  EXPECT_EQ(taken_in_the_sync, 2);
}

// A Modem that never finishes - it searches for ever, it is silent, or the configuration it
// sends cannot be decoded - is told to shut down 300 s of board time after the camera began to
// wait for it, and the wake-up ends through power-down: the MCU was asked for sleep and cut the
// power, and the card is clean.
struct NeverFinishing {
  const char* name;
  std::function<void(sim::ModemSetup&)> modem;
  bool silent;
  const char* waitedFor;  // the camera's message from which the 300 s count
};

const NeverFinishing kNeverFinishing[] = {
    {"searching_for_ever", [](sim::ModemSetup& m) { m.sync.searchingReports = -1; }, false,
     "send_server_sync_status_response"},
    {"silent", [](sim::ModemSetup&) {}, true, "set_server_sync_type_request"},
    {"configuration_without_capture_mode",
     [](sim::ModemSetup& m) { m.configuration.clear_capturemode(); }, false,
     "get_camera_configuration_request"},
};

class AModemThatNeverFinishes : public SyncOnTheBoard,
                                public testing::WithParamInterface<NeverFinishing> {};

TEST_P(AModemThatNeverFinishes, EndsTheSyncAfterThreeHundredSeconds) {
  const NeverFinishing& c = GetParam();
  ASSERT_NO_FATAL_FAILURE(make_with_card("run"));
  c.modem(modem().setup());
  if (c.silent) {
    modem().peer()->add_fault(sim::PeerFault{});  // no answer to any request
  }
  wake(sim::WakeReason::kSync);
  EXPECT_TRUE(board_->run_until_power_off(900s))
      << "the scenario had to cut the power; the MCU line ended with:\n"
      << mcu_line_tail(8);
  EXPECT_FALSE(received_at("isp_ready_to_sleep_request").empty());

  const auto waited = camera_said(c.waitedFor);
  const auto shutdown = camera_said("set_server_next_action_request");
  ASSERT_FALSE(waited.empty());
  ASSERT_FALSE(shutdown.empty());
  EXPECT_NE(shutdown[0].detail.find("nextAction: 0"), std::string::npos);
  // The count starts as the camera begins to wait, a moment before its message is read on the
  // Modem's side.
  EXPECT_GE(shutdown[0].boardTime - waited[0].boardTime, 295s);
  EXPECT_LT(shutdown[0].boardTime - waited[0].boardTime, 310s);
  expect_card_clean(dir_.path() + "/check");
}

// Each case lives 300 s of board time: ctest runs them as tests of their own, side by side.
INSTANTIATE_TEST_SUITE_P(Modems, AModemThatNeverFinishes, testing::ValuesIn(kNeverFinishing),
                         [](const testing::TestParamInfo<NeverFinishing>& modem) {
                           return std::string(modem.param.name);
                         });

// The Modem's format request in a first boot: the answer each combination of request value,
// validation and format gets, and what becomes of the card.
TEST_F(SyncOnTheBoard, FirstBootFormatRequestTakesItsBranch) {
  struct Case {
    sim::ModemFormatRequest request;
    bool cardFormatted;
    const char* logged;
    std::size_t partitionsAfter;
  };
  const Case cases[] = {
      {{0, false, false}, true, "MODEM_ASYNC_RESP_ALREADY_FORMATTED", 2},
      {{1, false, false}, false, "MODEM_ASYNC_RESP_BYPASS_VALIDATION", 0},
      {{2, true, true}, false, "MODEM_ASYNC_RESP_BYPASS_FORMATTING", 0},
      {{4, true, true}, false, "SD Format Success", 2},
  };
  int index = 0;
  for (const Case& c : cases) {
    SCOPED_TRACE(c.logged);
    ASSERT_NO_FATAL_FAILURE(
        make_with_card("run" + std::to_string(++index), c.cardFormatted ? 2 : 0, "4G"));
    modem().setup().formatRequest = c.request;
    modem().setup().sync.searchingReports = 0;

    run_until_asleep(sim::WakeReason::kFirstBoot);

    EXPECT_EQ(camera_said("get_camera_sd_card_format_response").size(), 1u);
    EXPECT_NE(read_file(board_->wake_dir(1) + "/app.log").find(c.logged), std::string::npos);
    EXPECT_EQ(sim::card::card_partitions(card().image()).size(), c.partitionsAfter);
    EXPECT_EQ(camera_said("get_camera_configuration_request").size(), 1u);
  }
}

}  // namespace
