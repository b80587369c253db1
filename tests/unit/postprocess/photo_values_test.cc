// Sizes and names of the stored photos, moon phase, 24-hour conversion and burst position.
#include <string>

#include <gtest/gtest.h>

#include "app/postprocess/capture_time.h"
#include "app/postprocess/exif_tag.h"
#include "app/postprocess/photo_sizes.h"

namespace {

TEST(PhotoSizes, SmallCopyHeightIsSixteenByNineRoundedUpToEven) {
  const struct {
    int width;
    int height;
  } cases[] = {{640, 360}, {850, 478}, {854, 480}, {960, 540}, {700, 394}};
  for (const auto& c : cases) {
    EXPECT_EQ(small_copy_size(c.width).height, c.height) << c.width;
  }
}

TEST(PhotoSizes, HighResolutionByModelAndPaths) {
  const struct {
    int model;
    int width;
    int height;
  } cases[] = {{0, 7680, 4320}, {1, 8064, 4536}, {6, 8064, 4536},  {7, 7056, 3968},
               {8, 8432, 4744}, {9, 8432, 4744}, {12, 8064, 4536}, {-1, 8064, 4536}};
  for (const auto& c : cases) {
    const PhotoDimensions size = photo_dimensions(high_resolution_index(c.model), 960);
    EXPECT_EQ(size.width, c.width) << c.model;
    EXPECT_EQ(size.height, c.height) << c.model;
  }
  for (int nothing : {2, 3, 4, 9}) {
    EXPECT_EQ(photo_path(nothing, "/r", 100, 1), "");
    EXPECT_EQ(photo_dimensions(nothing, 960).width, 0);
  }
}

TEST(CaptureTime, MoonPhaseOfKnownDates) {
  EXPECT_EQ(moon_phase(2024, 1, 11), 0);  // new moon
  EXPECT_EQ(moon_phase(2024, 1, 25), 4);  // full moon
  EXPECT_EQ(moon_phase(2024, 1, 18), 2);  // first quarter
  EXPECT_EQ(moon_phase(2024, 2, 2), 6);   // last quarter
}

TEST(CaptureTime, TwelveHourClockAndBackTo24) {
  EXPECT_EQ(hour_24(1, "PM", false), 1);  // the 24-hour clock keeps its hour
  setenv("TZ", "UTC", 1);
  tzset();
  const CaptureTime afternoon = capture_time_of(1709816709, true);  // 2024-03-07 13:05:09
  EXPECT_EQ(std::to_string(afternoon.hour) + afternoon.ampm, "1PM");
  EXPECT_EQ(capture_time_of(1709770000, true).hour, 0);  // 00:06:40 stays 0
}

TEST(ExifValues, BurstSequence) {
  EXPECT_EQ(burst_sequence(3, 2).index, 2);  // second shot of three
  EXPECT_EQ(burst_sequence(3, 3).index, 1);
  EXPECT_EQ(burst_sequence(0, 1).count, 1);
  EXPECT_EQ(burst_sequence(4, 1).index, 1);
}

}  // namespace
