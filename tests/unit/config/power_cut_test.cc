// A power cut at any moment of a save or of a repair never leaves the camera without a
// configuration it can load.
#include <fcntl.h>
#include <sys/syscall.h>
#include <unistd.h>

#include <climits>
#include <cstring>
#include <set>
#include <string>
#include <vector>

#include <gtest/gtest.h>

#include "app/config/config_keys.h"
#include "app/config/config_store.h"
#include "app/config/durable_file.h"

#include "tests/support/tag_board.h"
#include "tests/unit/config/config_files.h"

namespace {

using namespace config_files;

// What a power cut would lose that the unit budget cannot show: bytes not flushed to the medium
// before their file took its real name. The file calls of the code under test reach these
// definitions before the C library's.
std::set<std::string> g_flushed;  // files flushed since their last rename
std::vector<std::string> g_renamed;
std::vector<std::string> g_renamed_unflushed;

std::string path_of(int fd) {
  char link[32];
  snprintf(link, sizeof link, "/proc/self/fd/%d", fd);
  char target[PATH_MAX];
  const ssize_t length = readlink(link, target, sizeof target);
  return length > 0 ? std::string(target, static_cast<std::size_t>(length)) : std::string();
}

}  // namespace

extern "C" int fsync(int fd) {
  const int result = static_cast<int>(syscall(SYS_fsync, fd));
  if (result == 0) {
    g_flushed.insert(path_of(fd));
  }
  return result;
}

extern "C" int rename(const char* from, const char* to) noexcept {
  g_renamed.push_back(from);
  if (g_flushed.erase(from) == 0) {
    g_renamed_unflushed.push_back(from);
  }
  return renameat(AT_FDCWD, from, AT_FDCWD, to);
}

namespace {

// Two configurations that differ from each other and from the defaults in every key checked.
void fill(CameraConfig& record, int variant) {
  config_set_defaults(record);
  record.capture_mode = variant == 0 ? 2 : 3;
  record.multishot = variant == 0 ? 2 : 3;
  record.video_length = variant == 0 ? 30 : 40;
  snprintf(record.encrypt_password, sizeof record.encrypt_password, "%s",
           variant == 0 ? "alpha" : "bravo");
}

// Which of the two a loaded record is: 0, 1, or -1 for neither (defaults or a mix).
int variant_of(const CameraConfig& record) {
  for (int variant = 0; variant < 2; ++variant) {
    CameraConfig expected;
    fill(expected, variant);
    if (record.capture_mode == expected.capture_mode && record.multishot == expected.multishot &&
        record.video_length == expected.video_length &&
        strcmp(record.encrypt_password, expected.encrypt_password) == 0) {
      return variant;
    }
  }
  return -1;
}

class PowerCut : public ::testing::Test {
 protected:
  void SetUp() override {
    remove_both();
    tag_board::clear_app_log();
    fill(old_, 0);
    fill(new_, 1);
  }
  void TearDown() override { storage_cut_power_after(-1); }

  // Both files hold the old configuration, as after an earlier save.
  void save_old() {
    storage_cut_power_after(-1);
    ASSERT_EQ(config_save(&old_, nullptr, CONFIG_FROM_CAMERA), 0);
  }

  // Storage work a complete save of the new configuration takes.
  long units_of_a_save() {
    save_old();
    storage_cut_power_after(-1);
    EXPECT_EQ(config_save(&new_, nullptr, CONFIG_FROM_CAMERA), 0);
    return storage_units_used();
  }

  // The next start: power back, load.
  int start_and_load() {
    storage_cut_power_after(-1);
    CameraConfig loaded;
    EXPECT_EQ(config_load(&loaded), 0);
    return variant_of(loaded);
  }

  CameraConfig old_;
  CameraConfig new_;
};

TEST_F(PowerCut, AtAnyMomentOfASaveTheOldOrTheNewConfigurationLoads) {
  const long total = units_of_a_save();
  ASSERT_GT(total, 2 * static_cast<long>(kConfigHeaderSize));

  int loaded_old = 0;
  int loaded_new = 0;
  bool became_new = false;
  for (long budget = 0; budget <= total; ++budget) {
    save_old();
    storage_cut_power_after(budget);
    config_save(&new_, nullptr, CONFIG_FROM_CAMERA);

    int variant = start_and_load();
    ASSERT_NE(variant, -1) << "nothing loadable after a cut at unit " << budget;
    // Once the new configuration has been seen, a later cut never brings the old one back.
    ASSERT_FALSE(became_new && variant == 0) << "cut at unit " << budget;
    became_new = became_new || variant == 1;
    (variant == 0 ? loaded_old : loaded_new) += 1;
    // Both files load again after the start.
    ASSERT_EQ(config_check_file(CONFIG_PRIMARY), 0) << budget;
    ASSERT_EQ(config_check_file(CONFIG_BACKUP), 0) << budget;
  }
  EXPECT_GT(loaded_old, 0);
  EXPECT_GT(loaded_new, 0);
  EXPECT_TRUE(tag_board::log_lines_ending("Config: Creating config files with defaults").empty());
}

TEST_F(PowerCut, AtAnyMomentOfARepairTheGoodFileStillLoads) {
  save_old();
  const std::string good = read_file(kConfigPath);
  write_file(kConfigBackupPath, good.substr(0, good.size() / 2));
  storage_cut_power_after(-1);
  CameraConfig record;
  ASSERT_EQ(config_load(&record), 0);
  const long total = storage_units_used();
  ASSERT_GT(total, 0);

  for (long budget = 0; budget <= total; ++budget) {
    write_file(kConfigPath, good);
    write_file(kConfigBackupPath, good.substr(0, good.size() / 2));
    storage_cut_power_after(budget);
    CameraConfig interrupted;
    ASSERT_EQ(config_load(&interrupted), 0);
    ASSERT_EQ(variant_of(interrupted), 0);

    ASSERT_EQ(start_and_load(), 0) << "cut at unit " << budget;
    ASSERT_EQ(read_file(kConfigBackupPath), good) << budget;
  }
}

TEST_F(PowerCut, AFileCutShortAtAnyLengthFallsBackToTheOther) {
  save_old();
  const std::string good = read_file(kConfigPath);
  for (std::size_t length = 0; length < good.size(); ++length) {
    // The primary cut short: the backup loads and repairs it.
    write_file(kConfigPath, good.substr(0, length));
    write_file(kConfigBackupPath, good);
    ASSERT_EQ(start_and_load(), 0) << "primary of " << length << " bytes";
    ASSERT_EQ(read_file(kConfigPath), good);

    // The backup cut short: the primary loads and repairs it.
    write_file(kConfigBackupPath, good.substr(0, length));
    ASSERT_EQ(start_and_load(), 0) << "backup of " << length << " bytes";
    ASSERT_EQ(read_file(kConfigBackupPath), good);
  }
}

TEST_F(PowerCut, EveryFileIsOnTheMediumBeforeItTakesItsName) {
  save_old();
  const std::string good = read_file(kConfigPath);
  write_file(kConfigBackupPath, good.substr(0, good.size() / 2));
  g_renamed.clear();
  g_renamed_unflushed.clear();
  ASSERT_EQ(start_and_load(), 0);  // repairs the backup
  ASSERT_EQ(config_save(&new_, nullptr, CONFIG_FROM_CAMERA), 0);
  EXPECT_EQ(g_renamed.size(), 3u);
  EXPECT_EQ(g_renamed_unflushed, std::vector<std::string>{});
}

TEST_F(PowerCut, ALeftOverTemporaryFileDoesNotStopTheNextSave) {
  save_old();
  write_file(std::string(kConfigPath).append(".tmp"), "half a file");
  ASSERT_EQ(config_save(&new_, nullptr, CONFIG_FROM_CAMERA), 0);
  EXPECT_EQ(start_and_load(), 1);
}

}  // namespace
