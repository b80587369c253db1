#include "sim/tagstore/tagstore_part.h"

#include <fcntl.h>
#include <poll.h>
#include <sys/inotify.h>
#include <unistd.h>

#include <array>
#include <filesystem>
#include <fstream>

#include "sim/board/board.h"
#include "sim/board/directive_words.h"

namespace sim::tagstore {

namespace {

namespace ts = sim::tagstore;

int parse_tag(const std::vector<std::string>& args, board::BoardAction* ret_action,
              std::string* ret_error) {
  long value = 0;
  if (args.size() != 3 || !board::parse_number(args[2], &value)) {
    *ret_error = "expected a namespace, a key and a number";
    return -1;
  }
  if (!ts::valid_name(args[0]) || !ts::valid_name(args[1])) {
    *ret_error = "tag names are letters, digits and _";
    return -1;
  }
  const ts::Tag tag{args[0], args[1], value};
  *ret_action = [tag](board::Board& board, std::string* ret_why) {
    return board.part<TagStorePart>()->set_tag(tag, ret_why);
  };
  return 0;
}

int parse_tag_store(const std::vector<std::string>& args, board::BoardAction* ret_action,
                    std::string* ret_error) {
  if (args.size() == 1 && args[0] == "damaged") {
    *ret_action = [](board::Board& board, std::string* ret_why) {
      return board.part<TagStorePart>()->damage(ret_why);
    };
    return 0;
  }
  if (args.size() == 2 && args[0] == "load") {
    // A store saved from another run (a season's reproducer), byte for byte.
    *ret_action = [from = args[1]](board::Board& board, std::string* ret_why) {
      std::error_code error;
      std::filesystem::copy_file(from, board.tag_store_path(),
                                 std::filesystem::copy_options::overwrite_existing, error);
      if (error) {
        *ret_why = "cannot load the tag store " + from + ": " + error.message();
        return -1;
      }
      return 0;
    };
    return 0;
  }
  ts::Markers markers;
  if (args.size() != 4 || args[0] != "markers" || !board::parse_number(args[1], &markers.tagbk) ||
      !board::parse_number(args[2], &markers.riscv_fw) ||
      !board::parse_number(args[3], &markers.sensor_setting_fw)) {
    *ret_error = "expected 'damaged' or 'markers' and three numbers";
    return -1;
  }
  *ret_action = [markers](board::Board& board, std::string* ret_why) {
    return board.part<TagStorePart>()->set_markers(markers, ret_why);
  };
  return 0;
}

constexpr std::array kDirectives = {
    board::DirectiveSyntax{"tag", "tag NAMESPACE KEY VALUE", "a boot tag in the factory tag store",
                           true, false, parse_tag},
    board::DirectiveSyntax{
        "tag-store",
        "tag-store damaged | tag-store markers TAGBK RISCV_FW SENSOR_FW | tag-store load FILE",
        "a broken store checksum, the boot loader's partition verdicts, or a saved "
        "store",
        true, false, parse_tag_store},
};

}  // namespace

const std::span<const board::DirectiveSyntax> kTagStoreDirectives = kDirectives;

std::unique_ptr<board::BoardPart> make_tag_store_part() {
  return std::make_unique<TagStorePart>();
}

TagStorePart::~TagStorePart() {
  stop_watching();
}

int TagStorePart::attach(board::Board& board, std::string* ret_error) {
  board_ = &board;
  path_ = board.tag_store_path();
  const board::BoardSetup& setup = board.setup();
  std::vector<uint8_t> image;
  std::optional<ts::TagEnv> env;
  std::string why;
  if (ts::read_store(board.paths().imageDir + "/opt/tag/tag.bin", image, &why) != 0 ||
      !(env = ts::decode_tag_env(image))) {
    *ret_error = "the board image's tag.bin cannot be read: " + why;
    return -1;
  }
  for (const ts::Tag& tag : setup.tags) {
    env->set(tag.space, tag.key, tag.value);
  }
  env->markers = setup.markers;
  if (ts::create_store(path_, *env, &why) != 0 ||
      (setup.tagStoreDamaged && ts::damage_store(path_, &why) != 0)) {
    *ret_error = "cannot make the tag store: " + why;
    return -1;
  }
  return 0;
}

int TagStorePart::set_tag(const ts::Tag& tag, std::string* ret_error) {
  return ts::set_tag(path_, tag.space, tag.key, tag.value, ret_error);
}

int TagStorePart::set_markers(const ts::Markers& markers, std::string* ret_error) {
  return ts::set_markers(path_, markers, ret_error);
}

int TagStorePart::damage(std::string* ret_error) {
  return ts::damage_store(path_, ret_error);
}

void TagStorePart::sandbox_options(const board::WakeContext& wake, board::SandboxOptions* options) {
  options->insert(options->end(),
                  {"--mtd", path_, "--bind", wake.wakeDir + "/tag_writes", "/run/board/tag_writes",
                   "--setenv", "TAG_ENV_INFO_LOG", "/run/board/tag_writes"});
}

int TagStorePart::power_up(const board::WakeContext& wake, std::string* ret_error) {
  stop_watching();
  const std::string journal = wake.wakeDir + "/tag_writes";
  if (!std::ofstream(journal, std::ios::trunc)) {
    *ret_error = "cannot make " + journal;
    return -1;
  }
  readOffset_ = 0;
  int stop[2];
  if (pipe2(stop, O_CLOEXEC) != 0) {
    *ret_error = "cannot watch the tag writes";
    return -1;
  }
  stopWrite_ = stop[1];
  watcher_ = std::thread([this, journal, stopRead = stop[0]] {
    watch(journal, stopRead);
    close(stopRead);
  });
  return 0;
}

void TagStorePart::powered_off(const board::WakeContext& wake) {
  stop_watching();
  // What was written in the last moments before the power cut.
  take_new_lines(wake.wakeDir + "/tag_writes");
}

void TagStorePart::stop_watching() {
  if (watcher_.joinable()) {
    const char byte = 0;
    [[maybe_unused]] const ssize_t n = write(stopWrite_, &byte, 1);
    watcher_.join();
  }
  if (stopWrite_ >= 0) {
    close(stopWrite_);
    stopWrite_ = -1;
  }
}

// Records each write as the camera makes it, so that it takes its place in the record.
void TagStorePart::watch(std::string journal, int stopFd) {
  const int inotifyFd = inotify_init1(IN_CLOEXEC | IN_NONBLOCK);
  if (inotifyFd < 0) {
    return;
  }
  inotify_add_watch(inotifyFd, journal.c_str(), IN_MODIFY | IN_CLOSE_WRITE);
  for (;;) {
    pollfd fds[2] = {{inotifyFd, POLLIN, 0}, {stopFd, POLLIN, 0}};
    if (poll(fds, 2, -1) < 0 || (fds[1].revents & POLLIN) != 0) {
      break;
    }
    char events[4096];
    while (read(inotifyFd, events, sizeof events) > 0) {
    }
    take_new_lines(journal);
  }
  close(inotifyFd);
}

void TagStorePart::take_new_lines(const std::string& journal) {
  std::lock_guard lock(mutex_);
  std::ifstream file(journal);
  file.seekg(readOffset_);
  for (std::string line; std::getline(file, line);) {
    if (file.eof()) {
      break;  // a line still being written: taken whole next time
    }
    readOffset_ = static_cast<long>(file.tellg());
    board_->part_event("tagstore", "tag_env_info " + line, {{"command", line}});
  }
}

}  // namespace sim::tagstore
