// The small pieces around the card: sizes of the scenario words, what counts as a partition
// table, and the board's grep reading mount's output the way the camera's grep does.
#include <fcntl.h>
#include <unistd.h>

#include <string>

#include <gtest/gtest.h>

#include "sim/card/card_image.h"
#include "sim/card/card_layout.h"

#include "tests/support/file_lines.h"

namespace sim::card {
namespace {

TEST(CardSizeTest, LabelsBecomeSlightlySmallerCardsAndNonsenseIsRefused) {
  struct Case {
    const char* text;
    bool ok;
    uint64_t bytes;
    const char* name;
  };
  constexpr Case kCases[] = {
      {"8G", true, 7759462400, "SD8G"},
      {"32G", true, 31039946752, "SD32G"},
      {"512M", true, 495976448, "SD512M"},
      {"0G", false, 0, ""},
      {"8", false, 0, ""},
      {"8GB", false, 0, ""},
      {"-8G", false, 0, ""},
      {"63M", false, 0, ""},
      {"3000G", false, 0, ""},
      {"99999999999999999999G", false, 0, ""},
  };
  for (const Case& c : kCases) {
    uint64_t bytes = 0;
    std::string name;
    EXPECT_EQ(parse_card_size(c.text, &bytes, &name), c.ok) << c.text;
    if (c.ok) {
      EXPECT_EQ(bytes, c.bytes) << c.text;
      EXPECT_EQ(name, c.name) << c.text;
    }
  }
}

// A FAT volume written over the whole card (no table) also ends in 55 AA; the kernel sees no
// partitions there, and neither may the board. Either makes a card image one may load.
TEST(CardTableTest, AVolumeOnTheWholeCardIsNoTable) {
  test_support::TempDir dir;
  const std::string image = dir.path() + "/card.img";
  std::string why;
  ASSERT_EQ(make_blank_card(image, 64 << 20, &why), 0) << why;
  EXPECT_EQ(check_card_image_file(image, &why), -1) << "a card image to load holds something";
  ASSERT_EQ(run_program({"mkfs.vfat", "-F32", image}), 0);
  EXPECT_TRUE(card_partitions(image).empty());
  EXPECT_EQ(check_card_image_file(image, &why), 0) << why;
  ASSERT_EQ(make_formatted_card(image, uint64_t{3} << 30, 3, &why), 0) << why;
  EXPECT_EQ(card_partitions(image).size(), 3u);
  EXPECT_EQ(check_card_image_file(image, &why), 0) << why;
  for (const std::string& other : {std::string("/etc/passwd"), dir.path()}) {
    EXPECT_EQ(check_card_image_file(other, &why), -1) << other;
  }
}

TEST(BoardGrepTest, ReadsItsInputWhenNoFileIsNamedEvenWhenAskedToRecurse) {
  struct Case {
    const char* command;
    const char* output;
  };
  const std::string grep = std::string(SIM_CARD_GREP);
  const Case kCases[] = {
      {"printf 'a\\n/dev/mmcblk0p1 on x\\n' | GREP -nir MMCBLK0P1", "2:/dev/mmcblk0p1 on x\n"},
      {"printf 'x\\n' | GREP -nri mmcblk0p1 > /dev/null || echo none", "none\n"},
      {"printf -- '-r\\n' | GREP -e -r", "-r\n"},
      {"cd $DIR && echo hit > f && GREP -r hit .", "./f:hit\n"},
  };
  test_support::TempDir dir;
  for (const Case& c : kCases) {
    std::string command = c.command;
    command.replace(command.find("GREP"), 4, grep);
    std::string output;
    run_program({"env", "DIR=" + dir.path(), "sh", "-c", command}, &output);
    EXPECT_EQ(output, c.output) << c.command;
  }
}

}  // namespace
}  // namespace sim::card
