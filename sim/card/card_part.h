// The SD card of the simulated board: a disk image with a real MS-DOS partition table and real
// FAT32 volumes, kept in the run folder for the whole scenario (card/card.img).
//
// At each power-up the card goes into the sandbox: the image and the card's state folder are
// bound in with /dev/fuse, and the card's block-device server starts before camera_app (the
// board runs camera_app through it), so the camera finds
// /dev/mmcblk0 and its partitions and mounts them with the board's mount tool. Card detect
// (GPIO 43) reads 1 while the slot is empty. After the run the files are copied out with
// mtools into card/primary and card/secondary, and the report shows the card's tree and the
// verdict of fsck.fat -n on every partition.
#pragma once

#include <array>
#include <atomic>
#include <cstdint>
#include <mutex>
#include <set>
#include <string>
#include <thread>
#include <vector>

#include "sim/board/board_part.h"
#include "sim/card/card_image.h"

namespace sim::card {

inline constexpr int kCardDetectLine = 43;

class CardPart : public board::BoardPart {
 public:
  ~CardPart() override;
  std::string_view name() const override { return "card"; }
  int attach(board::Board& board, std::string* ret_error) override;
  void sandbox_options(const board::WakeContext& wake, board::SandboxOptions* options) override;
  int power_up(const board::WakeContext& wake, std::string* ret_error) override;
  void power_cut(const board::WakeContext& wake) override;
  void report(const std::string& runDir, FILE* out) override;

  // What scenarios and tests do to the card. Each returns 0, or -1 with a reason.
  int insert_blank(const std::string& size, std::string* ret_error);
  int insert_formatted(const std::string& size, int partitions, std::string* ret_error);
  int load(const std::string& path, std::string* ret_error);
  // The image is copied to `path` at the end of the scenario.
  void save_at_end(const std::string& path);
  int change(int partition, VolumeChange change, std::string* ret_error);
  // Write protection of a partition (the card's lock switch), from its next mount on.
  int set_read_only(int partition, bool on, std::string* ret_error);
  // The card leaves or enters the slot now: card detect and the block devices go together.
  int set_present(bool present, std::string* ret_error);
  // The power goes while partition `partition` is being written, once `bytes` more have
  // reached it (from now, or from the next power-up): the card takes those and no more.
  int cut_power_after(int partition, uint64_t bytes, std::string* ret_error);

  const std::string& image() const { return image_; }

 private:
  int ensure_card(std::string* ret_error);
  void write_control();
  void note(const std::string& text);
  // Cuts the power when the block-device server says the armed writes went through.
  void watch_for_cut(std::string stateDir);
  void stop_watching();

  board::Board* board_ = nullptr;
  std::string dir_;    // <run>/card
  std::string image_;  // <run>/card/card.img
  std::mutex mutex_;   // guards the fields below
  bool made_ = false;
  bool present_ = true;
  std::string productName_;
  std::set<int> readOnly_;
  std::string saveTo_;
  std::string stateDir_;  // the card's state folder of the current power-up
  int cutPartition_ = 0;  // 0: no power cut armed
  uint64_t cutBytes_ = 0;

  std::atomic<bool> watching_{false};
  int stopWatch_ = -1;  // an event that ends the watcher's wait
  std::thread watcher_;
};

std::unique_ptr<board::BoardPart> make_card_part();
int parse_card_directive(const std::vector<std::string>& args, board::BoardAction* ret_action,
                         std::string* ret_error);
int parse_timed_card_directive(const std::vector<std::string>& args, board::BoardAction* ret_action,
                               std::string* ret_error);

inline constexpr std::array<board::DirectiveSyntax, 1> kCardDirectives = {{
    {"card",
     "card none | card blank SIZE | card formatted SIZE [1|2|3] | card readonly|dirty|full|corrupt "
     "PART | card load FILE | card save FILE | card pull | card insert | card cut-power PART BYTES",
     "the SD card: none, blank or formatted (SIZE like 8G), a partition write-protected, dirty, "
     "full or with a damaged FAT, an image loaded or saved; pulled or inserted at a moment; the "
     "power cut while a partition is written, after BYTES more (like 32K) reached it",
     true, true, parse_card_directive, parse_timed_card_directive},
}};

}  // namespace sim::card
