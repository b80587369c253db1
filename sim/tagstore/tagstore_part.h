// The tag store (/dev/mtd1) as a board part. It leaves the factory as the image's tag.bin with
// the scenario's tags, lives in the run folder as tagstore.bin across power cuts, and the
// camera's tag_env_info writes are recorded as they happen (kind "tagstore"). Directives:
//   tag NAMESPACE KEY VALUE             a boot tag in the factory tag store
//   tag-store damaged                   the store's checksum is broken
//   tag-store markers TAGBK RISCV SENSOR   the boot loader's verdicts on the partitions
#pragma once

#include <memory>
#include <mutex>
#include <string>
#include <thread>

#include "sim/board/board_part.h"
#include "sim/tagstore/tag_store.h"

namespace sim::tagstore {

class TagStorePart final : public board::BoardPart {
 public:
  ~TagStorePart() override;
  std::string_view name() const override { return "tagstore"; }
  int attach(board::Board& board, std::string* ret_error) override;
  void sandbox_options(const board::WakeContext& wake, board::SandboxOptions* options) override;
  int power_up(const board::WakeContext& wake, std::string* ret_error) override;
  void powered_off(const board::WakeContext& wake) override;

  const std::string& path() const { return path_; }
  // Changes the store as the factory (or a scenario's set-up) would. Return 0 or -1.
  int set_tag(const sim::tagstore::Tag& tag, std::string* ret_error);
  int set_markers(const sim::tagstore::Markers& markers, std::string* ret_error);
  int damage(std::string* ret_error);

 private:
  void watch(std::string journal, int stopFd);
  void take_new_lines(const std::string& journal);
  void stop_watching();

  board::Board* board_ = nullptr;
  std::string path_;
  std::mutex mutex_;  // guards readOffset_ between the watcher and powered_off()
  long readOffset_ = 0;
  std::thread watcher_;
  int stopWrite_ = -1;
};

std::unique_ptr<board::BoardPart> make_tag_store_part();
extern const std::span<const board::DirectiveSyntax> kTagStoreDirectives;

}  // namespace sim::tagstore
