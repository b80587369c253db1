// The pictures the camera stored, seen from the board: after every power-up the part lists the
// files the run added to the card (name and size, in the timeline), and at the end of the
// scenario it renders a contact sheet of every JPEG on the card, decrypted with the scenario's
// password when one is set, into <run>/contact-sheet.png.
#pragma once

#include <array>
#include <map>
#include <mutex>
#include <string>
#include <vector>

#include "sim/board/board_part.h"

namespace sim::pictures {

class PicturesPart : public board::BoardPart {
 public:
  std::string_view name() const override { return "pictures"; }
  int attach(board::Board& board, std::string* ret_error) override;
  void powered_off(const board::WakeContext& wake) override;
  void report(const std::string& runDir, FILE* out) override;

  // The password the pictures are decrypted with (the server's; empty: not encrypted).
  void set_password(const std::string& password);
  // The password of this run: the scenario's, else the one in the camera's configuration.
  std::string password_for_run(const std::string& runDir) const;

 private:
  board::Board* board_ = nullptr;
  mutable std::mutex mutex_;
  std::string password_;
  std::map<std::string, uintmax_t> seen_;  // card path -> size after the last power-up
};

std::unique_ptr<board::BoardPart> make_pictures_part();
int parse_pictures_directive(const std::vector<std::string>& args, board::BoardAction* ret_action,
                             std::string* ret_error);

inline constexpr std::array<board::DirectiveSyntax, 1> kPicturesDirectives = {{
    {"pictures", "pictures password TEXT",
     "the password the contact sheet decrypts the stored pictures with (the server's)", true, false,
     parse_pictures_directive},
}};

// One thumbnail of the contact sheet: `jpeg` decrypted with `password` when it starts with
// "Salted__", scaled into a labelled tile written to `tile` (PNG). A file that does not decode
// gets a grey tile that says so. Returns 0 when the picture decoded.
int render_tile(const std::string& jpeg, const std::string& label, const std::string& password,
                const std::string& scratchDir, const std::string& tile);

}  // namespace sim::pictures
