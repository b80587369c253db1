#include "sim/pictures/pictures_part.h"

#include <algorithm>
#include <filesystem>
#include <fstream>

#include "sim/board/board.h"
#include "sim/card/card_image.h"
#include "sim/card/card_part.h"

namespace sim::pictures {

namespace fs = std::filesystem;

namespace {

constexpr int kTileWidth = 320;
constexpr int kTileHeight = 180;
constexpr int kLabelHeight = 24;
constexpr int kColumns = 4;
constexpr char kFont[] = "/usr/share/fonts/truetype/dejavu/DejaVuSans.ttf";

bool is_jpeg_name(const fs::path& path) {
  std::string extension = path.extension().string();
  std::transform(extension.begin(), extension.end(), extension.begin(), ::tolower);
  return extension == ".jpg" || extension == ".jpeg";
}

bool starts_with_file(const std::string& path, std::string_view prefix) {
  std::ifstream file(path, std::ios::binary);
  std::string head(prefix.size(), '\0');
  file.read(head.data(), static_cast<std::streamsize>(head.size()));
  return file.gcount() == static_cast<std::streamsize>(prefix.size()) && head == prefix;
}

// Every file under the folders, as (path relative to `root`, size), in name order.
std::map<std::string, uintmax_t> files_under(const fs::path& root) {
  std::map<std::string, uintmax_t> files;
  std::error_code error;
  for (auto it = fs::recursive_directory_iterator(root, error);
       !error && it != fs::recursive_directory_iterator(); it.increment(error)) {
    if (it->is_regular_file(error)) {
      files[fs::relative(it->path(), root, error).string()] = it->file_size(error);
    }
  }
  return files;
}

// drawtext's text with its special characters escaped (file names are the card's content).
std::string drawtext_text(const std::string& text) {
  std::string escaped;
  for (char c : text) {
    if (c == '\'' || c == ':' || c == '\\' || c == '%' || c == ',') {
      escaped += '\\';
    }
    escaped += c;
  }
  return escaped;
}

std::string tile_filter(const std::string& label) {
  return "scale=" + std::to_string(kTileWidth) + ":" + std::to_string(kTileHeight) +
         ":force_original_aspect_ratio=decrease,pad=" + std::to_string(kTileWidth) + ":" +
         std::to_string(kTileHeight + kLabelHeight) +
         ":(ow-iw)/2:0:color=0x202020,drawtext=fontfile=" + kFont + ":text='" +
         drawtext_text(label) +
         "':fontcolor=white:fontsize=14:x=6:y=" + std::to_string(kTileHeight + 5);
}

}  // namespace

int render_tile(const std::string& jpeg, const std::string& label, const std::string& password,
                const std::string& scratchDir, const std::string& tile) {
  std::string source = jpeg;
  std::string note;
  if (starts_with_file(jpeg, "Salted__")) {
    source = scratchDir + "/decrypted.jpg";
    if (password.empty() || card::run_program({"openssl", "enc", "-d", "-aes-128-cbc", "-in", jpeg,
                                               "-out", source, "-pass", "pass:" + password}) != 0) {
      note = password.empty() ? " (encrypted, no password)" : " (does not decrypt)";
    }
  }
  if (note.empty() && card::run_program({"ffmpeg", "-loglevel", "error", "-y", "-i", source, "-vf",
                                         tile_filter(label), "-frames:v", "1", tile}) == 0) {
    return 0;
  }
  if (note.empty()) {
    note = " (not a picture)";
  }
  card::run_program(
      {"ffmpeg", "-loglevel", "error", "-y", "-f", "lavfi", "-i",
       "color=c=0x606060:s=" + std::to_string(kTileWidth) + "x" + std::to_string(kTileHeight),
       "-vf", tile_filter(label + note), "-frames:v", "1", tile});
  return -1;
}

int PicturesPart::attach(board::Board& board, std::string* ret_error) {
  (void)ret_error;
  board_ = &board;
  return 0;
}

void PicturesPart::set_password(const std::string& password) {
  std::lock_guard lock(mutex_);
  password_ = password;
}

std::string PicturesPart::password_for_run(const std::string& runDir) const {
  {
    std::lock_guard lock(mutex_);
    if (!password_.empty()) {
      return password_;
    }
  }
  // Otherwise the password the camera was given, from its configuration file.
  std::ifstream config(runDir + "/config/cam.cfg");
  constexpr std::string_view kKey = "encrypt_password=";
  for (std::string line; std::getline(config, line);) {
    if (line.rfind(kKey, 0) == 0) {
      return line.substr(kKey.size());
    }
  }
  return std::string();
}

// The files this power-up added or changed on the card, into the timeline.
void PicturesPart::powered_off(const board::WakeContext& wake) {
  card::CardPart* card = board_->part<card::CardPart>();
  if (card == nullptr || card->image().empty() || !fs::exists(card->image())) {
    return;
  }
  const std::string scratch = wake.wakeDir + "/pictures-scan";
  fs::remove_all(scratch);
  card::copy_card_files(card->image(), scratch);
  std::map<std::string, uintmax_t> now = files_under(scratch);
  fs::remove_all(scratch);
  std::lock_guard lock(mutex_);
  for (const auto& [path, size] : now) {
    auto before = seen_.find(path);
    if (before != seen_.end() && before->second == size) {
      continue;
    }
    board_->part_event("pictures", "written " + path + " (" + std::to_string(size) + " bytes)",
                       {{"file", path}, {"bytes", static_cast<int64_t>(size)}});
  }
  seen_ = std::move(now);
}

void PicturesPart::report(const std::string& runDir, FILE* out) {
  const fs::path cardDir = fs::path(runDir) / "card";
  std::vector<std::string> jpegs;
  for (const auto& [path, size] : files_under(cardDir)) {
    if (is_jpeg_name(path)) {
      jpegs.push_back(path);
    }
  }
  if (jpegs.empty()) {
    if (out != nullptr) {
      fprintf(out, "Pictures: none on the card\n");
    }
    return;
  }
  const std::string password = password_for_run(runDir);
  const std::string scratch = runDir + "/pictures-tiles";
  fs::remove_all(scratch);
  fs::create_directories(scratch);
  int decoded = 0;
  for (size_t i = 0; i < jpegs.size(); ++i) {
    char tile[32];
    snprintf(tile, sizeof tile, "/tile%04zu.png", i);
    decoded += render_tile((cardDir / jpegs[i]).string(), jpegs[i], password, scratch,
                           scratch + tile) == 0;
  }
  const int rows = static_cast<int>((jpegs.size() + kColumns - 1) / kColumns);
  const std::string sheet = runDir + "/contact-sheet.png";
  const int status = card::run_program(
      {"ffmpeg", "-loglevel", "error", "-y", "-framerate", "1", "-i", scratch + "/tile%04d.png",
       "-vf", "tile=" + std::to_string(kColumns) + "x" + std::to_string(rows) + ":padding=4",
       "-frames:v", "1", sheet});
  fs::remove_all(scratch);
  if (out == nullptr) {
    return;
  }
  fprintf(out, "Pictures: %zu JPEG files on the card, %d decoded%s\n", jpegs.size(), decoded,
          password.empty() ? "" : " (decrypted with the scenario's password)");
  for (const std::string& jpeg : jpegs) {
    fprintf(out, "  %s\n", jpeg.c_str());
  }
  fprintf(out, "  contact sheet: %s\n", status == 0 ? sheet.c_str() : "could not be made");
}

std::unique_ptr<board::BoardPart> make_pictures_part() {
  return std::make_unique<PicturesPart>();
}

int parse_pictures_directive(const std::vector<std::string>& args, board::BoardAction* ret_action,
                             std::string* ret_error) {
  if (args.size() < 2 || args[0] != "password") {
    *ret_error = "pictures takes: password TEXT";
    return -1;
  }
  std::string password = args[1];
  for (size_t i = 2; i < args.size(); ++i) {
    password += " " + args[i];
  }
  *ret_action = [password](board::Board& board, std::string* error) {
    PicturesPart* part = board.part<PicturesPart>();
    if (part == nullptr) {
      *error = "the board has no pictures part";
      return -1;
    }
    part->set_password(password);
    return 0;
  };
  return 0;
}

}  // namespace sim::pictures
