#include "sim/season/season_check.h"

#include <unistd.h>

#include <algorithm>
#include <cstdio>
#include <filesystem>
#include <fstream>
#include <iterator>
#include <set>
#include <sstream>

#include "sim/card/card_image.h"
#include "sim/season/season_err_lines.h"

namespace sim::season {

namespace fs = std::filesystem;

namespace {

std::string read_file(const fs::path& path) {
  std::ifstream in(path, std::ios::binary);
  return {std::istreambuf_iterator<char>(in), std::istreambuf_iterator<char>()};
}

bool has_extension(const std::string& name, std::string_view extension) {
  if (name.size() < extension.size()) {
    return false;
  }
  std::string tail = name.substr(name.size() - extension.size());
  std::transform(tail.begin(), tail.end(), tail.begin(), ::toupper);
  return tail == extension;
}

// A media file of the card: JPEG or MP4 under DCIM or TRANSMIT.
bool is_media(const std::string& relative) {
  const bool placed = relative.find("/DCIM/") != std::string::npos ||
                      relative.find("/TRANSMIT/") != std::string::npos;
  return placed && (has_extension(relative, ".JPG") || has_extension(relative, ".MP4"));
}

// `path` decrypted with the first of `passwords` that opens it into `plain`; false when none.
bool decrypt(const fs::path& path, const std::vector<std::string>& passwords,
             const fs::path& plain) {
  for (const std::string& password : passwords) {
    if (sim::card::run_program({"openssl", "enc", "-d", "-aes-128-cbc", "-in", path.string(),
                                "-out", plain.string(), "-pass", "pass:" + password}) == 0) {
      return true;
    }
  }
  return false;
}

// Whether a media file is whole: djpeg decodes the JPEG without a warning, ffprobe reads the
// MP4 without an error. Its plain bytes' hash goes to `ret_plainHash`.
bool check_media(const fs::path& path, const std::string& bytes,
                 const std::vector<std::string>& passwords, uint64_t* ret_plainHash) {
  *ret_plainHash = content_hash(bytes);
  fs::path source = path;
  const fs::path plain = fs::temp_directory_path() / ("season-plain-" + std::to_string(getpid()));
  if (bytes.starts_with("Salted__")) {
    if (!decrypt(path, passwords, plain)) {
      return false;
    }
    source = plain;
    *ret_plainHash = content_hash(read_file(plain));
  }
  int status = 0;
  if (has_extension(path.string(), ".JPG")) {
    status = sim::card::run_program({"djpeg", "-outfile", "/dev/null", source.string()});
  } else {
    std::string errors;
    status = sim::card::run_program(
        {"ffprobe", "-v", "error", "-show_entries", "format=duration", source.string()}, &errors);
    if (status == 0 && errors.find("rror") != std::string::npos) {
      status = 1;
    }
  }
  std::error_code ignored;
  fs::remove(plain, ignored);
  return status == 0;
}

std::string mib(int64_t bytes) {
  return std::to_string(bytes / (1024 * 1024)) + " MiB";
}

}  // namespace

uint64_t content_hash(const std::string& bytes) {
  uint64_t hash = 0xcbf29ce484222325ULL;
  for (const char c : bytes) {
    hash = (hash ^ static_cast<uint8_t>(c)) * 0x100000001b3ULL;
  }
  return hash;
}

CardView read_card_copy(const std::string& dir, const std::vector<std::string>& passwords,
                        const CardView* previous) {
  CardView view;
  std::error_code error;
  for (auto it = fs::recursive_directory_iterator(dir, error);
       !error && it != fs::recursive_directory_iterator(); it.increment(error)) {
    if (!it->is_regular_file(error)) {
      continue;
    }
    const std::string relative = fs::relative(it->path(), dir, error).string();
    if (relative.starts_with("primary/logs/")) {
      view.logBytes += static_cast<int64_t>(it->file_size(error));
      add_log_err_lines(it->path().filename().string(), read_file(it->path()), view.errLines);
      continue;
    }
    if (relative.starts_with("primary/logs.") && relative.ends_with(".tar")) {
      view.logTars.push_back(relative.substr(8));
      add_tar_err_lines(read_file(it->path()), view.errLines);
      continue;
    }
    if (!is_media(relative)) {
      continue;
    }
    const std::string bytes = read_file(it->path());
    CardFile file;
    file.hash = content_hash(bytes);
    file.size = bytes.size();
    if (previous != nullptr) {
      const auto known = previous->files.find(relative);
      if (known != previous->files.end() && known->second.hash == file.hash) {
        view.files[relative] = known->second;
        continue;
      }
    }
    file.complete = check_media(it->path(), bytes, passwords, &file.plainHash);
    view.files[relative] = file;
  }
  return view;
}

int64_t fat_free_bytes(const std::string& image, uint64_t offset) {
  std::string listing;
  if (sim::card::run_program({"mdir", "-i", image + "@@" + std::to_string(offset), "::/"},
                             &listing) != 0) {
    return -1;
  }
  // The listing ends "  1 234 567 bytes free" (digits may be grouped by spaces).
  const std::size_t at = listing.rfind("bytes free");
  if (at == std::string::npos) {
    return -1;
  }
  const std::size_t lineStart = listing.rfind('\n', at);
  int64_t bytes = 0;
  for (std::size_t i = lineStart == std::string::npos ? 0 : lineStart + 1; i < at; ++i) {
    if (listing[i] >= '0' && listing[i] <= '9') {
      bytes = bytes * 10 + (listing[i] - '0');
    }
  }
  return bytes;
}

bool media_order(const std::string& path, int* ret_folder, int* ret_number) {
  const std::size_t dcim = path.find("/DCIM/");
  const std::size_t slash = path.rfind('/');
  if (dcim == std::string::npos || slash == std::string::npos || slash < dcim + 6) {
    return false;
  }
  int folder = 0;
  int number = 0;
  if (std::sscanf(path.c_str() + dcim + 6, "%d", &folder) != 1) {
    return false;
  }
  const std::string name = path.substr(slash + 1);
  const std::size_t digits = name.find_first_of("0123456789");
  if (digits == std::string::npos || std::sscanf(name.c_str() + digits, "%d", &number) != 1) {
    return false;
  }
  *ret_folder = folder;
  *ret_number = number;
  return true;
}

std::vector<Finding> Ledger::check_wake(const CardView& before, const CardView& after,
                                        const WakeFacts& facts) {
  std::vector<Finding> findings;
  const std::string wake = "wake-up " + std::to_string(facts.wake) + ": ";

  // (1) Where each ledger entry went.
  std::multimap<uint64_t, std::string> afterByHash;
  for (const auto& [path, file] : after.files) {
    if (path.find("/DCIM/") != std::string::npos) {
      afterByHash.emplace(file.hash, path);
    }
  }
  std::vector<Entry> kept;
  std::vector<Entry> removed;
  std::vector<Entry> overwritten;
  std::set<std::string> claimed;
  for (Entry& entry : entries_) {
    const auto same = after.files.find(entry.path);
    if (same != after.files.end() && same->second.hash == entry.hash) {
      claimed.insert(entry.path);
      kept.push_back(entry);
      continue;
    }
    // Moved: the same bytes under another name (the secondary's pictures join the primary).
    const auto [first, last] = afterByHash.equal_range(entry.hash);
    const auto moved = std::find_if(
        first, last, [&](const auto& candidate) { return !claimed.contains(candidate.second); });
    if (moved != last) {
      claimed.insert(moved->second);
      entry.path = moved->second;
      kept.push_back(entry);
      continue;
    }
    (same != after.files.end() ? overwritten : removed).push_back(entry);
  }
  if (facts.formatAsked) {
    removedByFormat_ += static_cast<int>(removed.size() + overwritten.size());
    removed.clear();
    overwritten.clear();
  }
  const auto left_by_cut = [&](const Entry& entry) { return cutShort_.contains(entry.path); };
  removedAfterCut_ += static_cast<int>(std::erase_if(removed, left_by_cut) +
                                       std::erase_if(overwritten, left_by_cut));
  for (const Entry& entry : overwritten) {
    findings.push_back({1, wake + entry.path + " was overwritten: " + std::to_string(entry.size) +
                               " bytes became " + std::to_string(after.files.at(entry.path).size) +
                               " other bytes"});
  }
  // Removals the oldest-media rule explains: the primary's, while its free space was below the
  // minimum, none of them newer than a media file the rule left.
  uint64_t removedBytes = 0;
  for (const Entry& entry : removed) {
    removedBytes += entry.size;
  }
  const int64_t minimum = facts.minFreeMb * 1024 * 1024;
  const bool lowAtStart = before.primaryFreeBytes >= 0 && before.primaryFreeBytes < minimum;
  const bool lowBeforeRemoval =
      after.primaryFreeBytes >= 0 &&
      after.primaryFreeBytes - static_cast<int64_t>(removedBytes) < minimum;
  std::pair<int, int> oldestKept{1 << 30, 1 << 30};
  for (const Entry& entry : kept) {
    int folder = 0;
    int number = 0;
    if (entry.path.starts_with("primary/") && media_order(entry.path, &folder, &number)) {
      oldestKept = std::min(oldestKept, std::pair{folder, number});
    }
  }
  std::set<int> ruleNumbers;
  for (const Entry& entry : removed) {
    int folder = 0;
    int number = 0;
    const bool ordered = entry.path.starts_with("primary/") &&
                         media_order(entry.path, &folder, &number) &&
                         std::pair{folder, number} <= oldestKept;
    if (ordered && (lowAtStart || lowBeforeRemoval)) {
      ++removedByRule_;
      ruleNumbers.insert(number);
      continue;
    }
    findings.push_back(
        {1, wake + entry.path + " was removed outside the oldest-media rule (" +
                (ordered ? "not while the free space was below the minimum: " +
                               mib(before.primaryFreeBytes) + " free at the start, " +
                               mib(after.primaryFreeBytes) + " at the end, minimum " + mib(minimum)
                         : std::string("a newer file than media the rule kept")) +
                ")"});
  }
  entries_ = std::move(kept);

  // (2) The TRANSMIT copies of the start: in the inbox as they were, or still on the card.
  for (const auto& [path, file] : before.files) {
    if (path.find("/TRANSMIT/") == std::string::npos) {
      continue;
    }
    const auto still = after.files.find(path);
    if (still != after.files.end() && still->second.hash == file.hash) {
      continue;
    }
    const std::string name = path.substr(path.rfind('/') + 1);
    const std::string inboxFile = facts.inboxDir + "/" + name;
    std::error_code error;
    if (fs::exists(inboxFile, error)) {
      const uint64_t delivered = content_hash(read_file(inboxFile));
      if (delivered == file.plainHash || delivered == file.hash) {
        continue;
      }
      findings.push_back({2, wake + path + " reached the server's inbox altered"});
      continue;
    }
    int number = -1;
    const std::size_t digits = name.find_first_of("0123456789");
    if (digits != std::string::npos) {
      number = std::atoi(name.c_str() + digits);
    }
    if (facts.formatAsked || ruleNumbers.contains(number) || cutShort_.contains(path)) {
      continue;
    }
    findings.push_back({2, wake + path + " left the card without reaching the server's inbox"});
  }

  // (3) No new damage from a wake-up that ended in the handshake. A card pulled out of its slot
  // lost its power while mounted, as in a cut: the next repair must mend it.
  if (facts.handshake && !facts.cardPulled && !after.fsckClean &&
      (before.fsckClean || facts.sync)) {
    findings.push_back({3, wake + "the card fsck.fat -n " +
                               (before.fsckClean ? std::string("accepted at the start")
                                                 : std::string("was repaired for in the sync")) +
                               " fails at the end: " + after.fsckReport});
  }

  // (5) The end: the handshake or an injected cut, within the budget.
  if (!facts.handshake && !facts.injectedCut) {
    findings.push_back(
        {5, wake + (facts.overBudget ? "its budget ran out before the ready-to-sleep handshake"
                                     : "it ended without the ready-to-sleep handshake")});
  }

  // (6) The logs stay bounded.
  if (facts.handshake && after.logBytes > kLogsPackAboveBytes) {
    findings.push_back({6, wake + "the logs folder holds " + std::to_string(after.logBytes) +
                               " bytes after the power-down, more than the " +
                               std::to_string(kLogsPackAboveBytes) + " at which it is packed"});
  }
  for (const std::string& tar : after.logTars) {
    if (tar != "logs.1.tar" && tar != "logs.2.tar") {
      findings.push_back({6, wake + "a third log generation: " + tar});
    }
  }

  // What a cut or a pulled card interrupted, the next start may remove.
  cutShort_.clear();
  if (facts.injectedCut || facts.cardPulled) {
    for (const auto& [path, file] : after.files) {
      const auto was = before.files.find(path);
      if (was == before.files.end() || was->second.hash != file.hash) {
        cutShort_.insert(path);
      }
    }
  }

  // The new complete media files join the ledger.
  std::set<std::string> known;
  for (const Entry& entry : entries_) {
    known.insert(entry.path);
  }
  for (const auto& [path, file] : after.files) {
    if (file.complete && path.find("/DCIM/") != std::string::npos && !known.contains(path)) {
      entries_.push_back({path, file.hash, file.size});
    }
  }
  return findings;
}

}  // namespace sim::season
