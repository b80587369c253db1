#include "sim/videos/videos_part.h"

#include <sys/wait.h>
#include <unistd.h>

#include <algorithm>
#include <filesystem>
#include <fstream>
#include <string>
#include <vector>

#include "sim/board/board.h"
#include "sim/card/card_image.h"
#include "sim/pictures/pictures_part.h"

namespace sim::videos {

namespace {

namespace fs = std::filesystem;

// Runs ffprobe on `path` without a shell (the name comes from the card) and returns its
// output, or an empty text when it cannot read the file (an encrypted video).
std::string probe(const std::string& path) {
  int pipeFds[2];
  if (pipe(pipeFds) != 0) {
    return {};
  }
  const pid_t child = fork();
  if (child == 0) {
    dup2(pipeFds[1], STDOUT_FILENO);
    close(pipeFds[0]);
    close(pipeFds[1]);
    execlp("ffprobe", "ffprobe", "-v", "error", "-count_frames", "-show_entries",
           "format=duration:stream=codec_type,codec_name,codec_tag_string,width,height,"
           "r_frame_rate,nb_read_frames,sample_rate,channels:format_tags=creation_time",
           "-of", "default=nw=1", path.c_str(), static_cast<char*>(nullptr));
    _exit(127);
  }
  close(pipeFds[1]);
  std::string text;
  char buffer[512];
  ssize_t n = 0;
  while ((n = read(pipeFds[0], buffer, sizeof buffer)) > 0) {
    text.append(buffer, static_cast<size_t>(n));
  }
  close(pipeFds[0]);
  int status = 0;
  waitpid(child, &status, 0);
  return WIFEXITED(status) && WEXITSTATUS(status) == 0 ? text : std::string();
}

std::string value(const std::string& text, const std::string& key, size_t from = 0) {
  const size_t at = text.find(key + "=", from);
  if (at == std::string::npos) {
    return "?";
  }
  const size_t start = at + key.size() + 1;
  return text.substr(start, text.find('\n', start) - start);
}

bool encrypted(const fs::path& path) {
  char head[8] = {};
  std::ifstream(path, std::ios::binary).read(head, sizeof head);
  return std::string_view(head, sizeof head) == "Salted__";
}

class VideosPart : public board::BoardPart {
 public:
  std::string_view name() const override { return "videos"; }

  int attach(board::Board& board, std::string* ret_error) override {
    (void)ret_error;
    board_ = &board;
    return 0;
  }

  void report(const std::string& runDir, FILE* out) override {
    std::vector<fs::path> videos;
    std::error_code error;
    const fs::path card = fs::path(runDir) / "card";
    for (auto it = fs::recursive_directory_iterator(card, error);
         !error && it != fs::recursive_directory_iterator(); it.increment(error)) {
      const std::string file = it->path().filename().string();
      if (file.rfind("VID", 0) == 0 && it->path().extension() == ".MP4") {
        videos.push_back(it->path());
      }
    }
    if (videos.empty()) {
      return;
    }
    std::sort(videos.begin(), videos.end());
    fs::create_directories(fs::path(runDir) / "videos", error);
    if (out != nullptr) {
      fprintf(out, "Videos (ffprobe reports in %s/videos/):\n", runDir.c_str());
    }
    // An encrypted video is decrypted into the run folder with the password the contact sheet
    // uses, so that a person can play it; a plain one is played from the card's copy.
    pictures::PicturesPart* pictures = board_->part<pictures::PicturesPart>();
    const std::string password = pictures == nullptr ? "" : pictures->password_for_run(runDir);
    for (const fs::path& video : videos) {
      fs::path playable = video;
      if (encrypted(video)) {
        playable = fs::path(runDir) / "videos" / video.filename();
        if (password.empty() ||
            card::run_program({"openssl", "enc", "-d", "-aes-128-cbc", "-in", video.string(),
                               "-out", playable.string(), "-pass", "pass:" + password}) != 0) {
          fs::remove(playable, error);
          playable.clear();
        }
      }
      const std::string text = playable.empty() ? std::string() : probe(playable.string());
      std::ofstream(fs::path(runDir) / "videos" / (video.stem().string() + ".txt"))
          << (text.empty() ? "not readable (encrypted?)\n" : text);
      if (out == nullptr) {
        continue;
      }
      if (text.empty()) {
        fprintf(out, "  %s: not readable (encrypted?)\n", video.filename().c_str());
        continue;
      }
      const size_t audio = text.find("codec_type=audio");
      if (playable != video) {
        fprintf(out, "  %s decrypted to %s\n", video.filename().c_str(), playable.c_str());
      }
      fprintf(out, "  %s: %s s, %s %s %sx%s %s fps %s frames; %s %s Hz, %s channel(s)\n",
              video.filename().c_str(), value(text, "duration", text.rfind("duration=")).c_str(),
              value(text, "codec_name").c_str(), value(text, "codec_tag_string").c_str(),
              value(text, "width").c_str(), value(text, "height").c_str(),
              value(text, "r_frame_rate").c_str(), value(text, "nb_read_frames").c_str(),
              audio == std::string::npos
                  ? "no sound"
                  : value(text, "codec_name", text.rfind("codec_name=", audio)).c_str(),
              audio == std::string::npos ? "-" : value(text, "sample_rate", audio).c_str(),
              audio == std::string::npos ? "-" : value(text, "channels", audio).c_str());
    }
  }

 private:
  board::Board* board_ = nullptr;
};

}  // namespace

std::unique_ptr<board::BoardPart> make_videos_part() {
  return std::make_unique<VideosPart>();
}

const std::span<const board::DirectiveSyntax> kVideosDirectives = {};

}  // namespace sim::videos
