#include "sim/card/card_part.h"

#include <poll.h>
#include <sys/eventfd.h>
#include <sys/inotify.h>
#include <unistd.h>

#include <algorithm>
#include <cstdlib>
#include <filesystem>
#include <fstream>

#include "sim/board/board.h"
#include "sim/board/directive_words.h"
#include "sim/board/folder_snapshot.h"
#include "sim/card/card_install_paths.h"
#include "sim/card/card_mounts.h"
#include "sim/gpio/gpio_part.h"

namespace sim::card {

namespace fs = std::filesystem;

namespace {

constexpr char kDefaultSize[] = "8G";
constexpr int kDefaultPartitions = 2;
constexpr size_t kTreeLinesPerPartition = 40;
// The card's block devices come up before camera_app, as the kernel's MMC driver does at boot.
constexpr char kMountTableShim[] = "/run/board/cardbin/libcardmounts.so";
constexpr char kCardLoader[] = "/run/board/cardbin/card_blockd /run/board/card.img --";

int fail(std::string* ret_error, const std::string& text) {
  if (ret_error != nullptr) {
    *ret_error = text;
  }
  return -1;
}

std::string gib(uint64_t bytes) {
  char text[32];
  snprintf(text, sizeof text, "%.1f GiB", static_cast<double>(bytes) / (1u << 30));
  return text;
}

// The tree under `root`, folders first, a line per entry, at most `limit` lines.
void print_tree(FILE* out, const fs::path& root, size_t limit) {
  std::vector<std::pair<std::string, std::string>> lines;  // (sort key, text)
  std::error_code error;
  for (auto it = fs::recursive_directory_iterator(root, error);
       !error && it != fs::recursive_directory_iterator(); it.increment(error)) {
    const fs::path relative = fs::relative(it->path(), root, error);
    const std::string indent(2 * static_cast<size_t>(it.depth()) + 4, ' ');
    std::string text = indent + it->path().filename().string();
    if (it->is_directory(error)) {
      text += "/";
    } else {
      text += "  " + std::to_string(it->file_size(error));
    }
    lines.emplace_back(relative.string(), text);
  }
  std::sort(lines.begin(), lines.end());
  for (size_t i = 0; i < lines.size() && i < limit; ++i) {
    fprintf(out, "%s\n", lines[i].second.c_str());
  }
  if (lines.size() > limit) {
    fprintf(out, "    ... %zu more\n", lines.size() - limit);
  }
}

int partition_word(const std::vector<std::string>& args, int* ret_partition,
                   std::string* ret_error) {
  if (args.size() != 2 || !board::parse_number(args[1], ret_partition) || *ret_partition < 1 ||
      *ret_partition > 4) {
    return fail(ret_error, "'card " + args[0] + "' takes a partition number (1..4)");
  }
  return 0;
}

// "4096", "32K", "2M" -> bytes (at least 1).
bool parse_byte_count(const std::string& text, uint64_t* ret_bytes) {
  if (text.empty()) {
    return false;
  }
  uint64_t unit = 1;
  std::string digits = text;
  if (digits.back() == 'K' || digits.back() == 'M') {
    unit = digits.back() == 'K' ? 1024 : 1024 * 1024;
    digits.pop_back();
  }
  int number = 0;
  if (!board::parse_number(digits, &number) || number < 1) {
    return false;
  }
  *ret_bytes = static_cast<uint64_t>(number) * unit;
  return true;
}

std::string off_only(const std::string& what) {
  return "'card " + what + "' changes the card: only while the camera is off (in the set-up)";
}

CardPart* card_of(board::Board& board, std::string* ret_error) {
  CardPart* card = board.part<CardPart>();
  if (card == nullptr) {
    fail(ret_error, "the board has no card slot");
  }
  return card;
}

}  // namespace

std::unique_ptr<board::BoardPart> make_card_part() {
  return std::make_unique<CardPart>();
}

namespace {

// The card's directives of the set-up and, with `timed`, of a wake-up: there the camera is on,
// so only what may happen to a powered card is taken (the run would refuse the rest).
int parse_card(const std::vector<std::string>& args, bool timed, board::BoardAction* ret_action,
               std::string* ret_error) {
  const std::string what = args.empty() ? "" : args[0];
  using Change = int (*)(CardPart&, const std::vector<std::string>&, std::string*);
  Change change = nullptr;
  bool live = false;  // may happen while the camera is powered
  if ((what == "none" || what == "pull" || what == "insert") && args.size() == 1) {
    live = what != "none";
    change = [](CardPart& card, const std::vector<std::string>& words, std::string* error) {
      return card.set_present(words[0] == "insert", error);
    };
  } else if (what == "blank" && args.size() == 2) {
    change = [](CardPart& card, const std::vector<std::string>& words, std::string* error) {
      return card.insert_blank(words[1], error);
    };
  } else if (what == "formatted" && (args.size() == 2 || args.size() == 3)) {
    int partitions = kDefaultPartitions;
    if (args.size() == 3 &&
        (!board::parse_number(args[2], &partitions) || partitions < 1 || partitions > 3)) {
      return fail(ret_error, "a formatted card has 1, 2 or 3 partitions");
    }
    change = [](CardPart& card, const std::vector<std::string>& words, std::string* error) {
      int count = kDefaultPartitions;
      if (words.size() == 3) {
        board::parse_number(words[2], &count);
      }
      return card.insert_formatted(words[1], count, error);
    };
  } else if (what == "readonly" || what == "dirty" || what == "full" || what == "corrupt") {
    int partition = 0;
    if (partition_word(args, &partition, ret_error) != 0) {
      return -1;
    }
    change = [](CardPart& card, const std::vector<std::string>& words, std::string* error) {
      const int number = std::stoi(words[1]);
      if (words[0] == "readonly") {
        return card.set_read_only(number, true, error);
      }
      const VolumeChange kind = words[0] == "dirty"  ? VolumeChange::kDirty
                                : words[0] == "full" ? VolumeChange::kFill
                                                     : VolumeChange::kDamage;
      return card.change(number, kind, error);
    };
  } else if (what == "cut-power" && args.size() == 3) {
    int partition = 0;
    uint64_t bytes = 0;
    if (!board::parse_number(args[1], &partition) || partition < 1 || partition > 4 ||
        !parse_byte_count(args[2], &bytes)) {
      return fail(ret_error, "'card cut-power' takes a partition (1..4) and a byte count (32K)");
    }
    live = true;
    change = [](CardPart& card, const std::vector<std::string>& words, std::string* error) {
      uint64_t count = 0;
      parse_byte_count(words[2], &count);
      return card.cut_power_after(std::stoi(words[1]), count, error);
    };
  } else if ((what == "load" || what == "save") && args.size() == 2) {
    // Saving happens at the end of the run: it may be asked for at any moment.
    live = what == "save";
    if (what == "load" && check_card_image_file(args[1], ret_error) != 0) {
      return -1;
    }
    change = [](CardPart& card, const std::vector<std::string>& words, std::string* error) {
      if (words[0] == "save") {
        card.save_at_end(words[1]);
        return 0;
      }
      return card.load(words[1], error);
    };
  } else {
    return fail(ret_error, "unknown or incomplete card directive");
  }
  if (what == "blank" || what == "formatted") {
    uint64_t bytes = 0;
    std::string name;
    if (!parse_card_size(args[1], &bytes, &name)) {
      return fail(ret_error, "a card size is a number of G or M, like 8G (64M..2000G)");
    }
  }
  if (timed && !live) {
    return fail(ret_error, off_only(what));
  }
  *ret_action = [args, change, live](board::Board& board, std::string* ret_why) {
    CardPart* card = card_of(board, ret_why);
    if (card == nullptr) {
      return -1;
    }
    if (board.powered() && !live) {
      return fail(ret_why, off_only(args[0]));
    }
    return change(*card, args, ret_why);
  };
  return 0;
}

}  // namespace

int parse_card_directive(const std::vector<std::string>& args, board::BoardAction* ret_action,
                         std::string* ret_error) {
  return parse_card(args, false, ret_action, ret_error);
}

int parse_timed_card_directive(const std::vector<std::string>& args, board::BoardAction* ret_action,
                               std::string* ret_error) {
  return parse_card(args, true, ret_action, ret_error);
}

int CardPart::attach(board::Board& board, std::string* ret_error) {
  board_ = &board;
  board.wrap_camera_app(kCardLoader);
  dir_ = board.run_dir() + "/card";
  image_ = dir_ + "/card.img";
  std::error_code error;
  fs::create_directories(dir_, error);
  if (error) {
    return fail(ret_error, "cannot make " + dir_ + ": " + error.message());
  }
  // The run keeps the card's tools it started with, as it keeps the board image.
  std::string why;
  if (board::snapshot_folder(SIM_CARD_BIN_DIR, dir_ + "/" + kCardToolsFolder, &why) != 0) {
    return fail(ret_error, "cannot copy the card's tools into " + dir_ + ": " + why);
  }
  return 0;
}

void CardPart::note(const std::string& text) {
  if (board_ != nullptr) {
    board_->part_event(name(), text);
  }
}

int CardPart::ensure_card(std::string* ret_error) {
  {
    std::lock_guard lock(mutex_);
    if (made_) {
      return 0;
    }
  }
  return insert_formatted(kDefaultSize, kDefaultPartitions, ret_error);
}

int CardPart::insert_blank(const std::string& size, std::string* ret_error) {
  uint64_t bytes = 0;
  std::string product;
  if (!parse_card_size(size, &bytes, &product)) {
    return fail(ret_error, "bad card size " + size);
  }
  if (make_blank_card(image_, bytes, ret_error) != 0) {
    return -1;
  }
  std::lock_guard lock(mutex_);
  made_ = true;
  productName_ = product;
  readOnly_.clear();
  board_->part_event(name(), "a blank " + product + " card (" + gib(bytes) + ", no partitions)",
                     {{"product", product}, {"bytes", static_cast<int64_t>(bytes)}});
  return 0;
}

int CardPart::insert_formatted(const std::string& size, int partitions, std::string* ret_error) {
  uint64_t bytes = 0;
  std::string product;
  if (!parse_card_size(size, &bytes, &product)) {
    return fail(ret_error, "bad card size " + size);
  }
  if (make_formatted_card(image_, bytes, partitions, ret_error) != 0) {
    return -1;
  }
  std::string layout;
  for (const Partition& partition : card_partitions(image_)) {
    layout += " p" + std::to_string(partition.number) + " " + gib(partition.size);
  }
  std::lock_guard lock(mutex_);
  made_ = true;
  productName_ = product;
  readOnly_.clear();
  board_->part_event(name(), "a formatted " + product + " card (FAT32:" + layout + ")",
                     {{"product", product},
                      {"bytes", static_cast<int64_t>(bytes)},
                      {"partitions", int64_t{partitions}}});
  return 0;
}

int CardPart::load(const std::string& path, std::string* ret_error) {
  std::string output;
  if (check_card_image_file(path, ret_error) != 0) {
    return -1;
  }
  if (run_program({"cp", "--sparse=always", path, image_}, &output) != 0) {
    return fail(ret_error, "cannot load the card image " + path + ": " + output);
  }
  const uint64_t bytes = fs::file_size(image_);
  std::lock_guard lock(mutex_);
  made_ = true;
  productName_ = "SD" + std::to_string((bytes * 100 / 97 + 500000000) / 1000000000) + "G";
  readOnly_.clear();
  board_->part_event(name(), "the card image " + path + " loaded (" + gib(bytes) + ")");
  return 0;
}

void CardPart::save_at_end(const std::string& path) {
  std::lock_guard lock(mutex_);
  saveTo_ = path;
}

int CardPart::change(int partition, VolumeChange change, std::string* ret_error) {
  if (ensure_card(ret_error) != 0 || change_volume(image_, partition, change, ret_error) != 0) {
    return -1;
  }
  const char* what = change == VolumeChange::kDirty  ? "left dirty (not cleanly unmounted)"
                     : change == VolumeChange::kFill ? "filled to the last cluster"
                                                     : "given a damaged FAT (a lost chain)";
  note("partition " + std::to_string(partition) + " " + what);
  return 0;
}

int CardPart::set_read_only(int partition, bool on, std::string* ret_error) {
  if (ensure_card(ret_error) != 0) {
    return -1;
  }
  {
    std::lock_guard lock(mutex_);
    if (on) {
      readOnly_.insert(partition);
    } else if (readOnly_.erase(partition) == 0) {
      return 0;
    }
  }
  write_control();
  note("partition " + std::to_string(partition) +
       (on ? " is write-protected" : " is writable again"));
  return 0;
}

int CardPart::set_present(bool present, std::string* ret_error) {
  if (present && ensure_card(ret_error) != 0) {
    return -1;
  }
  {
    std::lock_guard lock(mutex_);
    present_ = present;
  }
  // The block devices go first, then the line: nothing sees a card that is not there.
  write_control();
  if (gpio::gpio_input(*board_, kCardDetectLine) != (present ? 0 : 1)) {
    gpio::drive_gpio_input(*board_, kCardDetectLine, present ? 0 : 1);
  }
  note(present ? "card inserted" : "card pulled out of the slot");
  return 0;
}

CardPart::~CardPart() {
  stop_watching();
  if (stopWatch_ >= 0) {
    close(stopWatch_);
  }
}

int CardPart::cut_power_after(int partition, uint64_t bytes, std::string* ret_error) {
  if (ensure_card(ret_error) != 0) {
    return -1;
  }
  {
    std::lock_guard lock(mutex_);
    cutPartition_ = partition;
    cutBytes_ = bytes;
  }
  write_control();
  note("the power will go while partition " + std::to_string(partition) + " is written, after " +
       std::to_string(bytes) + " more bytes");
  return 0;
}

void CardPart::stop_watching() {
  watching_ = false;
  if (stopWatch_ >= 0) {
    const uint64_t one = 1;
    (void)!write(stopWatch_, &one, sizeof one);
  }
  if (watcher_.joinable() && watcher_.get_id() != std::this_thread::get_id()) {
    watcher_.join();
  }
}

void CardPart::watch_for_cut(std::string stateDir) {
  // The server's "cut" file wakes the watcher, as does stop_watching(): a thread of the board
  // that woke now and then on a timer of the host would be seen working by the board clock, and
  // hold board time back while the camera waits. Without a watch on the folder it looks every
  // 2 ms.
  const std::string signal = stateDir + "/cut";
  const int notify = inotify_init1(IN_CLOEXEC | IN_NONBLOCK);
  const bool watched =
      notify >= 0 &&
      inotify_add_watch(notify, stateDir.c_str(), IN_CREATE | IN_CLOSE_WRITE | IN_MOVED_TO) >= 0;
  while (watching_) {
    std::error_code error;
    if (fs::exists(signal, error)) {
      int partition;
      {
        std::lock_guard lock(mutex_);
        partition = cutPartition_;
        cutPartition_ = 0;
      }
      watching_ = false;
      board_->cut_power("the card's partition " + std::to_string(partition) +
                        " lost power in the middle of a write");
      break;
    }
    pollfd fds[2] = {{watched ? notify : -1, POLLIN, 0}, {stopWatch_, POLLIN, 0}};
    poll(fds, 2, watched && stopWatch_ >= 0 ? -1 : 2);
    char events[4096];
    while (watched && read(notify, events, sizeof events) > 0) {
    }
  }
  if (notify >= 0) {
    close(notify);
  }
}

void CardPart::write_control() {
  std::lock_guard lock(mutex_);
  if (stateDir_.empty()) {
    return;
  }
  std::string line = std::string("slot=") + (present_ ? "in" : "out") + " name=" + productName_;
  if (cutPartition_ != 0) {
    line += " cut=" + std::to_string(cutPartition_) + ":" + std::to_string(cutBytes_);
  }
  if (!readOnly_.empty()) {
    line += " ro=";
    for (int partition : readOnly_) {
      line += std::to_string(partition) + ",";
    }
    line.pop_back();
  }
  const std::string next = stateDir_ + "/control.new";
  {
    std::ofstream file(next, std::ios::trunc);
    file << line << "\n";
  }
  fs::rename(next, stateDir_ + "/control");
}

void CardPart::sandbox_options(const board::WakeContext& wake, board::SandboxOptions* options) {
  (void)wake;
  // The camera's view of the mount table comes beside the board clock, when the board has one
  // (camera-sandbox preloads its shim from /run/board).
  const bool clock = std::find(options->begin(), options->end(), "--clock") != options->end();
  const std::string preload =
      std::string(clock ? "/run/board/libboardclock.so:" : "") + kMountTableShim;
  std::lock_guard lock(mutex_);
  options->insert(options->end(), {"--setenv", "LD_PRELOAD", preload});
  // The preloaded shims come before a sanitized camera's own runtime.
  const char* asan = getenv("ASAN_OPTIONS");
  options->insert(options->end(),
                  {"--setenv", "ASAN_OPTIONS",
                   std::string(asan != nullptr && *asan != '\0' ? std::string(asan) + ":" : "") +
                       "verify_asan_link_order=0"});
  options->insert(options->end(), {"--bind", image_, "/run/board/card.img", "--bind", stateDir_,
                                   kCardStateDir, "--dev-bind", "/dev/fuse", "/dev/fuse",
                                   "--ro-bind", card_tools_for(image_), "/run/board/cardbin"});
}

int CardPart::power_up(const board::WakeContext& wake, std::string* ret_error) {
  if (ensure_card(ret_error) != 0) {
    return -1;
  }
  std::error_code error;
  const std::string stateDir = wake.wakeDir + "/card";
  fs::create_directories(stateDir, error);
  for (const char* file : {"/kmsg", "/mounts"}) {
    std::ofstream(stateDir + file, std::ios::trunc);
  }
  if (error) {
    return fail(ret_error, "cannot make " + stateDir + ": " + error.message());
  }
  // The card-detect line is the slot's word at power-up, also when a scenario drove the line
  // itself ("gpio card-detect 1"): the block devices agree with it.
  const bool present = gpio::gpio_input(*board_, kCardDetectLine) != 1;
  {
    std::lock_guard lock(mutex_);
    stateDir_ = stateDir;
    present_ = present;
  }
  write_control();
  stop_watching();
  if (watcher_.joinable()) {
    watcher_.join();  // it ended after it cut the power of the wake-up before
  }
  if (stopWatch_ < 0) {
    stopWatch_ = eventfd(0, EFD_CLOEXEC | EFD_NONBLOCK);
  }
  uint64_t stale = 0;
  while (read(stopWatch_, &stale, sizeof stale) > 0) {
  }
  watching_ = true;
  watcher_ = std::thread([this, stateDir] { watch_for_cut(stateDir); });
  return 0;
}

void CardPart::power_cut(const board::WakeContext& wake) {
  (void)wake;
  stop_watching();
  std::string stateDir;
  {
    std::lock_guard lock(mutex_);
    stateDir = stateDir_;
  }
  for (const CardMount& mount : read_card_mounts(stateDir)) {
    if (mount.mode == "rw") {
      note("the power went while " + mount.device + " was mounted read-write on " + mount.point +
           ": what was not written is lost and the volume stays dirty");
    }
  }
}

void CardPart::report(const std::string& runDir, FILE* out) {
  (void)runDir;
  std::string saveTo;
  std::string product;
  {
    std::lock_guard lock(mutex_);
    if (!made_) {
      return;
    }
    saveTo = saveTo_;
    product = productName_;
  }
  if (!saveTo.empty()) {
    std::string output;
    if (run_program({"cp", "--sparse=always", image_, saveTo}, &output) != 0) {
      note("cannot save the card image to " + saveTo + ": " + output);
    }
  }
  const std::vector<Partition> partitions = card_partitions(image_);
  const std::vector<std::string> copied = copy_card_files(image_, dir_);
  std::string verdict;
  const bool clean = partitions.empty() || check_card(image_, dir_ + "/check", &verdict);
  if (!clean) {
    note("fsck.fat -n finds the card NOT clean: " + verdict);
  }
  if (out == nullptr) {
    return;
  }
  fprintf(out, "The card (%s, %s): %s\n", product.c_str(), gib(fs::file_size(image_)).c_str(),
          partitions.empty() ? "no partitions" : "files copied out with mtools");
  for (const std::string& folder : copied) {
    fprintf(out, "  %s/\n", folder.c_str());
    print_tree(out, folder, kTreeLinesPerPartition);
  }
  if (!partitions.empty()) {
    fprintf(out, "  fsck.fat -n:\n");
    std::istringstream lines(verdict);
    for (std::string line; std::getline(lines, line);) {
      fprintf(out, "    %s\n", line.c_str());
    }
  }
}

}  // namespace sim::card
