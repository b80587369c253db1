// What a season checks after every wake-up, from the board's own view: the card image's files
// (copied out with mtools), fsck.fat's verdict on the card, the server's inbox, the Modem's line
// and the configuration partition. The camera's own log only where a person would read it: the
// ERR lines it leaves on the card.
//
//   1. every media file once complete on the card (a JPEG that decodes, decrypted with one of
//      the server's passwords where encrypted; an MP4 that ffprobe reads) stays byte-identical,
//      wherever the camera moves it, unless the oldest-media rule removed it (only while the
//      primary's free space was below the minimum, oldest folder and number first) or a format
//      the season asked for emptied the card, or the file is what a capture left when a cut
//      or a pulled card interrupted it: the camera's next start removes such files, and the
//      capture's number is taken again;
//   2. every TRANSMIT copy on the card at a wake-up's start reaches the server's inbox
//      byte-identical (after the server's decryption) or stays on the card, unless a cut
//      interrupted its capture (as in 1);
//   3. a wake-up that ended in the ready-to-sleep handshake leaves a card that fsck.fat -n
//      accepted at its start accepted at its end, and a sync that ended so (it checks and
//      repairs the card first) leaves it accepted whatever it found;
//   4. a wake-up that ended in the handshake leaves the configuration partition holding the
//      server's last configuration as the camera accepts it, never the defaults
//      (season_config.h);
//   5. every wake-up ends in the handshake or a cut the season injected, within its budget,
//      and adds no ERR line to the logs on the card that is neither of normal work nor
//      explained by a fault injected in it (season_err_lines.h);
//   6. the logs on the card stay bounded: after a wake-up that ended in the handshake the
//      primary's logs folder holds no more than the size at which it is packed, and only two
//      tar generations exist (logs.1.tar, logs.2.tar).
#pragma once

#include <cstdint>
#include <map>
#include <set>
#include <string>
#include <vector>

namespace sim::season {

struct CardFile {
  uint64_t hash = 0;
  uint64_t size = 0;
  bool complete = false;  // media: decodes (JPEG) or ffprobe reads it (MP4)
  // What a server that decrypts it receives (the hash itself when not encrypted, or when no
  // password decrypts it).
  uint64_t plainHash = 0;
};

struct CardView {
  // Media files under DCIM and TRANSMIT of each partition: "primary/DCIM/100DSCIM/PICT0001.JPG".
  std::map<std::string, CardFile> files;
  int64_t primaryFreeBytes = -1;  // -1: not known
  int64_t logBytes = 0;           // the primary's logs folder
  // The ERR lines of each log file of the primary, in its logs folder or in an archive of it
  // ("app_0007.log"), in order.
  std::map<std::string, std::vector<std::string>> errLines;
  std::vector<std::string> logTars;  // logs.N.tar in the primary's root
  bool fsckClean = true;
  std::string fsckReport;
};

// 64-bit FNV-1a of `bytes`.
uint64_t content_hash(const std::string& bytes);

// Reads the card copy in `dir` (primary/, secondary/ as sim::card::copy_card_files makes them).
// A file already in `previous` with the same bytes keeps its verdict; a new one is decoded
// (decrypted first with each of `passwords` when it starts with "Salted__").
CardView read_card_copy(const std::string& dir, const std::vector<std::string>& passwords,
                        const CardView* previous);

// Free bytes of the FAT volume at `offset` of `image` (mtools), -1 when it cannot be read.
int64_t fat_free_bytes(const std::string& image, uint64_t offset);

// The logs folder is packed on the way to power-down once it holds more than this.
inline constexpr int64_t kLogsPackAboveBytes = 20000000;

struct WakeFacts {
  int wake = 0;
  bool formatAsked = false;  // the season asked for a format in this wake-up
  bool sync = false;         // a sync wake-up: the camera checks the card before it lends it
  bool handshake = false;    // ended in the ready-to-sleep handshake
  bool injectedCut = false;  // ended in a cut the season injected
  bool cardPulled = false;   // the season pulled the card out of its slot during the wake-up
  bool overBudget = false;   // its time ran out
  int64_t minFreeMb = 100;   // the server's minimum free space
  std::string inboxDir;      // the server's inbox
};

struct Finding {
  int invariant = 0;
  std::string text;
};

// The ledger of every complete media file the card has held.
class Ledger {
 public:
  // Checks one wake-up from the card's views at its start and end, then takes the new complete
  // media files of `after` into the ledger.
  std::vector<Finding> check_wake(const CardView& before, const CardView& after,
                                  const WakeFacts& facts);
  std::size_t size() const { return entries_.size(); }
  // Entries removed by the oldest-media rule, by formats and after a cut, so far.
  int removed_by_rule() const { return removedByRule_; }
  int removed_by_format() const { return removedByFormat_; }
  int removed_after_a_cut() const { return removedAfterCut_; }

 private:
  struct Entry {
    std::string path;
    uint64_t hash = 0;
    uint64_t size = 0;
  };
  std::vector<Entry> entries_;
  // Media files a wake-up that ended in a cut, or lost its card, left new or changed: the
  // files of the capture it interrupted, which the next start may remove.
  std::set<std::string> cutShort_;
  int removedByRule_ = 0;
  int removedByFormat_ = 0;
  int removedAfterCut_ = 0;
};

// (folder, number) of a media path ("primary/DCIM/101DSCIM/PICT0042.JPG" -> 101, 42); false
// for anything else.
bool media_order(const std::string& path, int* ret_folder, int* ret_number);

}  // namespace sim::season
