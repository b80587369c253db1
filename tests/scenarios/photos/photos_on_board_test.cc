// Photos of real captures on the board: a night PIR burst of three, stored encrypted, and a
// day time-lapse photo, checked in the card's files the run copied out.
#include <algorithm>
#include <cstdlib>
#include <filesystem>
#include <string>

#include <gtest/gtest.h>

#include "camera_on_board.h"

namespace {

namespace fs = std::filesystem;

using scenario_test::kPassword;

// The picture decoded to planar 4:2:0 at 64x36 (decrypted first when `password` is set), or
// empty when it does not decode.
std::string decoded(const std::string& path, const std::string& password = "") {
  const std::string jpeg = password.empty() ? path : scenario_test::decrypted(path, password);
  const std::string raw = path + ".yuv";
  sim::card::run_program({"ffmpeg", "-loglevel", "quiet", "-y", "-i", jpeg, "-vf", "scale=64:36",
                          "-f", "rawvideo", "-pix_fmt", "yuv420p", raw});
  return scenario_test::read_file(raw);
}

// How far the colour planes stray from grey above the bar (whose moon is yellowish), at most.
int colour(const std::string& yuv) {
  int most = 0;
  for (std::size_t plane = 64 * 36; plane < yuv.size(); plane += 32 * 18) {
    for (std::size_t i = plane; i < plane + 32 * 16; ++i) {
      most = std::max(most, std::abs(static_cast<unsigned char>(yuv[i]) - 128));
    }
  }
  return most;
}

// A burst tag above three (5) still takes three snapshots; all three are stored.
TEST(PhotosOnTheBoard, NightBurstOfThreeIsStoredEncryptedGreyWithItsBar) {
  scenario_test::TempDir dir;
  const std::string runDir = dir.path() + "/run";
  const auto story = scenario_test::run_story(
      std::string("date 2024-06-01 22:30:00\ncard formatted 8G\n"
                  "scene night\nmcu night\nconfig multishot 3\n"
                  "config resolution 1\nconfig cellular 1\n"
                  "tag dovu multishot 5\nconfig encrypt_password ") +
          kPassword + "\npictures password " + kPassword + "\nwake pir for 600s\n",
      runDir);
  EXPECT_EQ(story.result.poweredOffByMcu, 1);
  EXPECT_EQ(std::count_if(story.events.begin(), story.events.end(),
                          [](const sim::board::BoardEvent& event) {
                            return event.part == "sensor" &&
                                   event.text.find(" written (") != std::string::npos;
                          }),
            3);
  const std::string card = runDir + "/card/primary/";
  for (const char* number : {"0001", "0002", "0003"}) {
    for (const std::string name : {"DCIM/100DSCIM/PICT", "DCIM/100DSCIM/HD", "TRANSMIT/PICT"}) {
      const std::string path = card + name + number + ".JPG";
      SCOPED_TRACE(path);
      EXPECT_EQ(scenario_test::read_file(path).rfind("Salted__", 0), 0u);
      const std::string picture = decoded(path, kPassword);
      ASSERT_EQ(picture.size(), 64u * 36 * 3 / 2);
      EXPECT_LE(colour(picture), 6) << "a night picture is grey";
    }
  }
  EXPECT_FALSE(fs::exists(card + "DCIM/100DSCIM/PICT0004.JPG"));
  EXPECT_TRUE(fs::exists(runDir + "/contact-sheet.png"));
  const std::string record = scenario_test::read_file(runDir + "/record.jsonl");
  EXPECT_NE(record.find("written primary/DCIM/100DSCIM/HD0003.JPG ("), std::string::npos);
}

// By day a time-lapse wake-up stores one colour photo whatever the burst setting; a PIR wake-up
// after it (a capture boot, the sensor starting cold, no burst in its boot tags) stores its one
// snapshot with the exposure it was taken with in the EXIF data, not the one the sensor
// started from.
TEST(PhotosOnTheBoard, DayTimeLapseLeavesOneColourPhotoAndAPirPhotoItsExposure) {
  scenario_test::TempDir dir;
  const std::string runDir = dir.path() + "/run";
  const auto story = scenario_test::run_story(
      "date 2024-06-01 12:00:00\ncard formatted 8G\nscene day\nmcu day\nconfig cellular 0\n"
      "config resolution 0\nconfig multishot 3\n"
      "wake timelapse for 600s\nasleep 10m\nwake pir for 600s\n",
      runDir);
  EXPECT_EQ(story.result.poweredOffByMcu, 2);
  const std::string dcim = runDir + "/card/primary/DCIM/100DSCIM/";
  const std::string picture = decoded(dcim + "PICT0001.JPG");
  ASSERT_EQ(picture.size(), 64u * 36 * 3 / 2);
  EXPECT_GT(colour(picture), 20) << "a day picture has colour";
  EXPECT_FALSE(fs::exists(runDir + "/card/primary/TRANSMIT/PICT0001.JPG"));
  // The PIR wake-up's boot tag has no burst size: one snapshot, stored although the
  // configuration asks for three.
  EXPECT_TRUE(fs::exists(dcim + "PICT0002.JPG"));
  EXPECT_FALSE(fs::exists(dcim + "PICT0003.JPG")) << "one photo of each wake-up";

  // The sensor recorded "snapshot /tmp/snap1.yuv written (1920x1080, ev 40, 4000 us, ...)".
  std::string snapshotUs;
  for (const sim::board::BoardEvent& event : story.events) {
    const std::string& text = event.text;
    if (event.wake == 2 && event.part == "sensor" && text.find(" written (") != std::string::npos) {
      const std::size_t us = text.find(" us, gain");
      const std::size_t from = text.rfind(", ", us) + 2;
      snapshotUs = text.substr(from, us - from);
    }
  }
  ASSERT_FALSE(snapshotUs.empty());
  std::string exposure;
  sim::card::run_program(
      {"exiv2", "-q", "-g", "Exif.Photo.ExposureTime", "-Pv", dcim + "PICT0002.JPG"}, &exposure);
  EXPECT_EQ(exposure, snapshotUs + "/1000000\n");
}

}  // namespace
