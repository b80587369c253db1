// The Modem part: power follows the MCU, the line is recorded, uploads fill the server inbox.
#include "sim/modem/modem_part.h"

#include <fcntl.h>
#include <unistd.h>

#include <filesystem>

#include "sim/board/board.h"
#include "sim/card/card_image.h"
#include "sim/card/card_layout.h"
#include "sim/card/card_part.h"
#include "sim/modem/server_inbox.h"
#include "sim/usb/usb_gadget_part.h"

namespace sim::modem {

namespace {

constexpr char kPrimaryDevicePrefix[] = "/dev/mmcblk0p";

std::string direction_text(const LineMessage& message) {
  return message.direction == PeerDirection::kCameraToPeer ? "camera -> Modem  "
                                                           : "Modem -> camera  ";
}

// 1 when the FAT volume of the image's partition is marked in use (mounted read-write),
// 0 when clean, -1 when it cannot be read.
int partition_in_use(const std::string& image, const card::Partition& partition) {
  const int fd = open(image.c_str(), O_RDONLY | O_CLOEXEC);
  if (fd < 0) {
    return -1;
  }
  card::FatVolume volume;
  int dirty =
      card::read_fat_volume(fd, partition.start, &volume) == 0 ? card::fat_dirty(fd, volume) : -1;
  close(fd);
  return dirty;
}

}  // namespace

ModemPart::~ModemPart() {
  power_changed([this] { watching_ = false; });
  if (watcher_.joinable()) {
    watcher_.join();
  }
  if (peer_) {
    peer_->stop();
  }
}

std::string ModemPart::inbox_dir() const {
  return board_->run_dir() + "/server/inbox";
}

int ModemPart::attach(board::Board& board, std::string* ret_error) {
  board_ = &board;
  const PtyPair* line = board.claim_serial_line("ttyS0");
  if (line == nullptr) {
    *ret_error = "ttyS0 is taken";
    return -1;
  }
  recording_.open(board.run_dir() + "/ttyS0.jsonl", "ttyS0", "modem");
  peer_ = std::make_unique<ModemPeer>(
      line->master, setup_, [this](const LineMessage& message) { on_line(message); },
      board.time().clock());
  peer_->set_uploader(
      [this](GrantedCard granted, ModemUpload* upload) { this->upload(granted, upload); });
  board.mcu().add_on_modem_power([this](bool) { power_changed([] {}); });
  watching_ = true;
  watcher_ = std::thread([this] { watch_power(); });
  return 0;
}

void ModemPart::power_changed(const std::function<void()>& change) {
  {
    std::lock_guard lock(powerMutex_);
    change();
  }
  powerChanged_.notify_all();
}

int ModemPart::power_up(const board::WakeContext&, std::string*) {
  power_changed([this] { cameraPowered_ = true; });
  return 0;
}

void ModemPart::power_cut(const board::WakeContext&) {
  power_changed([this] { cameraPowered_ = false; });
  if (peer_->running()) {
    peer_->stop();
    board_->part_event("modem", "Modem off (the camera lost power)", {{"on", false}});
  }
  ++powerCuts_;
}

int ModemPart::change_setup(const std::function<int(ModemSetup&, std::string*)>& change,
                            std::string* ret_error) {
  std::lock_guard lock(setupMutex_);
  return change(setup_, ret_error);
}

void ModemPart::watch_power() {
  // The MCU's Modem switch powers the Modem; while the camera processor is off its session
  // has no one to talk to, so the Modem restarts with the next power-up. The watcher is woken
  // by either change, at once: the Modem starts before the board's clock sees everything wait.
  // The MCU peer is looked up before the watcher's lock is taken: the board holds its part
  // list while it calls the parts, which take that lock.
  McuPeer& mcu = board_->mcu();
  std::unique_lock lock(powerMutex_);
  while (watching_) {
    const bool powered = cameraPowered_;
    lock.unlock();
    const bool wanted = powered && mcu.modem_powered();
    if (wanted && !peer_->running()) {
      ModemSetup setup;
      {
        std::lock_guard setupLock(setupMutex_);
        setup = setup_;
      }
      if (setup.clockFromBoard) {
        setup.clockEpoch = static_cast<int32_t>(board_->time().epoch_ms() / 1000);
      }
      peer_->set_setup(setup);
      peer_->start();
      board_->part_event("modem", "Modem on", {{"on", true}});
    } else if (!wanted && peer_->running()) {
      peer_->stop();
      board_->part_event("modem", "Modem off", {{"on", false}});
    }
    lock.lock();
    if (watching_ && wanted == (cameraPowered_ && mcu.modem_powered())) {
      powerChanged_.wait(lock);
    }
  }
}

void ModemPart::on_line(const LineMessage& message) {
  recording_.write(message);
  std::string text = direction_text(message) + (message.member.empty() ? "?" : message.member);
  if (!message.detail.empty()) {
    text += "  " + message.detail;
  }
  if (!message.sent) {
    text += "  (not sent)";
  }
  board_->part_event("modem", text,
                     {{"line", std::string("ttyS0")},
                      {"member", message.member},
                      {"detail", message.detail},
                      {"retry", message.retry},
                      {"sent", message.sent}});
}

void ModemPart::upload(GrantedCard granted, ModemUpload* ret_upload) {
  usb::UsbGadgetPart* usb = board_->part<usb::UsbGadgetPart>();
  card::CardPart* cardPart = board_->part<card::CardPart>();
  const std::string lent = usb == nullptr ? std::string() : usb->lent();
  const std::vector<card::Partition> partitions = cardPart == nullptr
                                                      ? std::vector<card::Partition>()
                                                      : card::card_partitions(cardPart->image());
  // The Modem mounts the disk as the grant describes it; a card described with the wrong
  // number of partitions is looked for where it is not, and nothing is found.
  const std::size_t described = granted == GrantedCard::kOnlyPartition ? 1 : 2;
  if (lent.rfind(kPrimaryDevicePrefix, 0) != 0 || cardPart == nullptr) {
    ret_upload->error = "no partition lent over USB";
  } else if (partitions.size() != described) {
    ret_upload->error = "the camera described a card of " + std::to_string(described) +
                        " partition(s), the card has " + std::to_string(partitions.size()) +
                        ": nothing found where the Modem looked";
  } else {
    const int number = std::atoi(lent.c_str() + sizeof kPrimaryDevicePrefix - 1);
    const std::string image = cardPart->image();
    for (const card::Partition& partition : partitions) {
      if (partition.number != number) {
        continue;
      }
      if (partition_in_use(image, partition) == 1) {
        board_->part_event("modem",
                           "the lent partition " + lent + " is still mounted by the camera",
                           {{"lent_in_use", lent}});
        ret_upload->error = "partition still in use by the camera";
      }
      std::string password;
      {
        std::lock_guard lock(setupMutex_);
        password = setup_.password;
      }
      upload_transmit({image, partition.start}, inbox_dir(), password, ret_upload);
    }
  }
  std::string text = "upload: " + std::to_string(ret_upload->files.size()) + " file(s)";
  for (const std::string& file : ret_upload->files) {
    text += " " + file;
  }
  if (!ret_upload->notJpeg.empty()) {
    text += "; not JPEG:";
    for (const std::string& file : ret_upload->notJpeg) {
      text += " " + file;
    }
  }
  if (!ret_upload->error.empty()) {
    text += "; " + ret_upload->error;
  }
  board_->part_event("modem", text,
                     {{"files", static_cast<int64_t>(ret_upload->files.size())},
                      {"not_jpeg", static_cast<int64_t>(ret_upload->notJpeg.size())},
                      {"error", ret_upload->error}});
}

void ModemPart::report(const std::string& runDir, FILE* out) {
  if (out == nullptr) {
    return;
  }
  const std::filesystem::path inbox = runDir + "/server/inbox";
  std::error_code error;
  if (!std::filesystem::is_directory(inbox, error)) {
    return;
  }
  fprintf(out, "server inbox (%s):\n", inbox.c_str());
  int count = 0;
  for (const auto& entry : std::filesystem::directory_iterator(inbox, error)) {
    fprintf(out, "  %s  %ju bytes\n", entry.path().filename().c_str(),
            static_cast<uintmax_t>(entry.file_size(error)));
    ++count;
  }
  if (count == 0) {
    fprintf(out, "  (empty)\n");
  }
}

std::unique_ptr<board::BoardPart> make_modem_part() {
  return std::make_unique<ModemPart>();
}

}  // namespace sim::modem
