// The board's tag store, its tools and the boot loader model.
#include "sim/tagstore/tag_store.h"

#include <unistd.h>

#include <filesystem>
#include <string>
#include <vector>

#include <gtest/gtest.h>

#include "app/config/config_store.h"
#include "sim/tagstore/board_install.h"
#include "sim/tagstore/boot_loader.h"

#include "tests/support/file_lines.h"
#include "tests/support/tag_board.h"

namespace {

using namespace sim::tagstore;

using test_support::command_output;
using test_support::command_status;

class TagStore : public ::testing::Test {
 protected:
  void SetUp() override { tag_board::reset_store(); }
};

TEST_F(TagStore, TheEnvironmentSurvivesEncodingWithOrderAndMarkers) {
  TagEnv env;
  env.set("dovu", "multishot", 3);
  env.set("warn_led", "warn_mtm", -2);
  env.set("dovu", "cap_mode", 1);
  env.set("dovu", "multishot", 2);  // keeps its place
  env.markers = {1, 0, 3};
  std::optional<TagEnv> decoded = decode_tag_env(encode_tag_env(env));
  ASSERT_TRUE(decoded.has_value());
  ASSERT_EQ(decoded->tags.size(), 3u);
  EXPECT_EQ(decoded->tags[0].key, "multishot");
  EXPECT_EQ(decoded->tags[0].value, 2);
  EXPECT_EQ(decoded->tags[1].value, -2);
  EXPECT_EQ(decoded->markers.tagbk, 1);
  EXPECT_EQ(decoded->markers.sensor_setting_fw, 3);

  std::vector<uint8_t> bytes = encode_tag_env(env);
  bytes.back() ^= 0x20;  // one changed byte of a tag
  EXPECT_FALSE(decode_tag_env(bytes).has_value());
  EXPECT_FALSE(decode_tag_env(std::vector<uint8_t>(kStoreSize, 0xFF)).has_value());
}

TEST_F(TagStore, NamesThatCouldBreakTheCommandLineAreRefused) {
  EXPECT_TRUE(valid_name("warn_closemech"));
  for (const char* bad :
       {"", "two words", "a=b", "a;b", "[1]", "this_name_is_far_too_long_to_keep"}) {
    EXPECT_FALSE(valid_name(bad)) << bad;
    EXPECT_EQ(set_tag(kDevicePath, "dovu", bad, 1), -1) << bad;
  }
}

TEST_F(TagStore, EraseFlashAndDamage) {
  ASSERT_EQ(set_tag(kDevicePath, "dovu", "cap_mode", 1), 0);
  ASSERT_EQ(erase_store(kDevicePath), 0);
  std::vector<uint8_t> erased;
  ASSERT_EQ(read_store(kDevicePath, erased), 0);
  EXPECT_EQ(erased, std::vector<uint8_t>(kStoreSize, 0xFF));
  std::string error;
  EXPECT_EQ(set_tag(kDevicePath, "dovu", "cap_mode", 1, &error), -1);
  EXPECT_NE(error.find("erased or damaged"), std::string::npos) << error;

  ASSERT_EQ(flash_image(kTagImagePath, kDevicePath), 0);
  std::optional<TagEnv> env = read_tag_env(kDevicePath);
  ASSERT_TRUE(env.has_value());
  EXPECT_EQ(env->get("dovu", "cap_mode"), 0);

  ASSERT_EQ(damage_store(kDevicePath), 0);
  EXPECT_FALSE(read_tag_env(kDevicePath).has_value());
}

TEST_F(TagStore, TagEnvInfoSetsAndRecordsTags) {
  EXPECT_EQ(command_status("tag_env_info --set dovu quality_mode 0"), 0);
  EXPECT_EQ(command_status("/system/bin/tag_env_info --set warn_led warn_duration 15"), 0);
  EXPECT_EQ(command_output("tag_env_info --get warn_led warn_duration"), "15\n");
  EXPECT_EQ(tag_board::stored_tag("warn_led", "warn_duration"), 15);
  EXPECT_EQ(tag_board::tag_writes(), (std::vector<std::string>{"--set dovu quality_mode 0",
                                                               "--set warn_led warn_duration 15"}));

  // Refused: not a number, a name with a blank, a missing argument, a damaged store.
  EXPECT_EQ(command_status("tag_env_info --set dovu cap_mode 1x 2> /dev/null"), 1);
  EXPECT_EQ(command_status("tag_env_info --set dovu 'cap mode' 1 2> /dev/null"), 1);
  EXPECT_EQ(command_status("tag_env_info --set dovu cap_mode 2> /dev/null"), 2);
  ASSERT_EQ(damage_store(kDevicePath), 0);
  EXPECT_EQ(command_status("tag_env_info --set dovu cap_mode 1 2> /dev/null"), 1);
  EXPECT_EQ(tag_board::tag_writes().size(), 2u);
}

TEST_F(TagStore, ConcurrentWritersLoseNothing) {
  std::string command;
  for (int i = 0; i < 12; ++i) {
    command += "tag_env_info --set race key" + std::to_string(i) + " " + std::to_string(i) + " & ";
  }
  command += "wait";
  ASSERT_EQ(command_status(command), 0);
  for (int i = 0; i < 12; ++i) {
    EXPECT_EQ(tag_board::stored_tag("race", ("key" + std::to_string(i)).c_str()), i) << i;
  }
}

TEST_F(TagStore, TheMountListingShowsTheConfigurationPartitionAsMtdblock6OnlyOnTheBoard) {
  EXPECT_EQ(command_output("mount | grep ' /config '"),
            "/dev/mtdblock6 on /config type jffs2 (rw,relatime)\n");
  EXPECT_TRUE(config_partition_mounted());
  // Everything else is the system's mount at work.
  ASSERT_EQ(command_status("mount -t tmpfs -o size=1m tmpfs /sdcard/secondary"), 0);
  EXPECT_NE(command_output("mount").find("tmpfs on /sdcard/secondary type tmpfs"),
            std::string::npos);
  EXPECT_EQ(command_status("umount /sdcard/secondary"), 0);
  // Without the board's mount the partition is not found.
  const std::string path = getenv("PATH");
  setenv("PATH", "/usr/sbin:/usr/bin:/sbin:/bin", 1);
  const bool mounted = config_partition_mounted();
  setenv("PATH", path.c_str(), 1);
  EXPECT_FALSE(mounted);
}

TEST_F(TagStore, InstallPutsTheToolsTheImageAndAStoreIntoARoot) {
  namespace fs = std::filesystem;
  const fs::path root = "/tmp/board-root";
  fs::remove_all(root);
  std::string error;
  ASSERT_EQ(install_tag_tools(root.string(), "/system/bin", kTagImagePath, &error), 0) << error;
  for (const char* tool : kBoardTools) {
    EXPECT_EQ(fs::read_symlink(root / "system/bin" / tool), fs::path("/system/bin") / tool);
  }
  std::optional<TagEnv> env = read_tag_env((root / "dev/mtd1").string());
  ASSERT_TRUE(env.has_value());
  EXPECT_EQ(env->get("dovu", "dovu_glow"), 1);
  EXPECT_EQ(fs::file_size(root / "dev/mtd1"), kStoreSize);

  // An existing store is left as it is.
  ASSERT_EQ(set_tag((root / "dev/mtd1").string(), "dovu", "cap_mode", 1), 0);
  ASSERT_EQ(install_tag_tools(root.string(), "/system/bin", kTagImagePath, &error), 0) << error;
  EXPECT_EQ(read_tag_env((root / "dev/mtd1").string())->get("dovu", "cap_mode"), 1);
}

}  // namespace
