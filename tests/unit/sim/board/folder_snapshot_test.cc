// A run's own copy of a folder the build rewrites: what it holds is the folder's as it was,
// links stay links, and a later build does not reach into it.
#include "sim/board/folder_snapshot.h"

#include <sys/stat.h>
#include <unistd.h>

#include <filesystem>
#include <string>

#include <gtest/gtest.h>

#include "tests/support/file_lines.h"

namespace {

namespace fs = std::filesystem;

TEST(FolderSnapshot, KeepsFilesLinksAndFoldersAsTheyWereWhenTaken) {
  test_support::TempDir dir;
  const std::string build = dir.path() + "/build";
  const std::string run = dir.path() + "/run";
  fs::create_directories(build + "/lib");
  test_support::write_file(build + "/card_mount", "tool 1");
  test_support::write_file(build + "/lib/shim.so", "shim 1");
  fs::create_symlink("card_mount", build + "/mount");
  // What an earlier copy left in the run's folder goes.
  fs::create_directories(run);
  test_support::write_file(run + "/stale", "old");

  std::string why;
  ASSERT_EQ(sim::board::snapshot_folder(build, run, &why), 0) << why;
  EXPECT_FALSE(fs::exists(run + "/stale"));
  ASSERT_TRUE(fs::is_symlink(run + "/mount"));
  EXPECT_EQ(fs::read_symlink(run + "/mount"), "card_mount");
  EXPECT_FALSE(fs::is_symlink(run + "/card_mount"));
  EXPECT_EQ(test_support::read_file(run + "/lib/shim.so"), "shim 1");

  // The build links a new tool: it replaces the file, and the run keeps the old one.
  ASSERT_EQ(unlink((build + "/card_mount").c_str()), 0);
  test_support::write_file(build + "/card_mount", "tool 2");
  EXPECT_EQ(test_support::read_file(run + "/mount"), "tool 1");
}

TEST(FolderSnapshot, AMissingFolderIsAnErrorWithItsReason) {
  test_support::TempDir dir;
  std::string why;
  EXPECT_EQ(sim::board::snapshot_folder(dir.path() + "/none", dir.path() + "/run", &why), -1);
  EXPECT_FALSE(why.empty());
}

}  // namespace
