// The tag store's side of the board inside the test sandbox: a fresh /dev/mtd1 from the
// board image's tag.bin, the record of every tag_env_info --set, and the application log.
//
// Tests that use it run with the tag store's /system bound in (SIM_TAGSTORE_SANDBOX_ARGS), so
// the board tools are first on PATH.
#pragma once

#include <unistd.h>

#include <cstdlib>
#include <optional>
#include <string>
#include <vector>

#include <gtest/gtest.h>

#include "app/records/log/app_log.h"
#include "sim/tagstore/tag_store.h"

#include "tests/support/file_lines.h"

namespace tag_board {

inline constexpr char kJournal[] = "/tmp/tag_env_info.log";

// A store as the board leaves the factory, and an empty record of tag writes.
inline void reset_store() {
  std::vector<uint8_t> image;
  ASSERT_EQ(sim::tagstore::read_store("/system/opt/tag/tag.bin", image), 0)
      << "the tag store's /system is not bound into the sandbox";
  std::optional<sim::tagstore::TagEnv> env = sim::tagstore::decode_tag_env(image);
  ASSERT_TRUE(env.has_value());
  ASSERT_EQ(sim::tagstore::create_store(sim::tagstore::kDevicePath, *env), 0);
  unlink(kJournal);
  setenv("TAG_ENV_INFO_LOG", kJournal, 1);
}

// Every tag_env_info --set since reset_store(), in order.
inline std::vector<std::string> tag_writes() {
  return test_support::read_lines(kJournal);
}

inline std::optional<long> stored_tag(const char* space, const char* key) {
  std::optional<sim::tagstore::TagEnv> env =
      sim::tagstore::read_tag_env(sim::tagstore::kDevicePath);
  return env ? env->get(space, key) : std::nullopt;
}

// The application log so far (closing it flushes it; the next line reopens it).
inline std::vector<std::string> app_log_lines() {
  app_log_close();
  return test_support::read_lines(kAppLogPath);
}

// The lines of the log that end with `message` (the part after the level name).
inline std::vector<std::string> log_lines_ending(const std::string& message) {
  std::vector<std::string> found;
  for (const std::string& line : app_log_lines()) {
    const std::string tail = " : " + message;
    if (line.size() >= tail.size() &&
        line.compare(line.size() - tail.size(), tail.size(), tail) == 0) {
      found.push_back(line);
    }
  }
  return found;
}

inline void clear_app_log() {
  app_log_close();
  unlink(kAppLogPath);
}

}  // namespace tag_board
