#include "platform/imp/host/board_inputs.h"

#include <fcntl.h>
#include <sys/stat.h>
#include <unistd.h>

#include <algorithm>
#include <charconv>

namespace imp_host {

namespace {

// Whole small file; false when it cannot be read.
bool read_small_file(const std::string& path, std::string* ret_text) {
  int fd = open(path.c_str(), O_RDONLY | O_CLOEXEC);
  if (fd < 0) {
    return false;
  }
  std::string text;
  char buffer[512];
  ssize_t got = 0;
  while ((got = read(fd, buffer, sizeof(buffer))) > 0 && text.size() < 65536) {
    text.append(buffer, static_cast<size_t>(got));
  }
  close(fd);
  *ret_text = std::move(text);
  return got == 0;
}

std::vector<std::string_view> words_of(std::string_view line) {
  std::vector<std::string_view> words;
  size_t at = 0;
  while (at < line.size()) {
    size_t start = line.find_first_not_of(" \t\r", at);
    if (start == std::string_view::npos) {
      break;
    }
    size_t end = line.find_first_of(" \t\r", start);
    if (end == std::string_view::npos) {
      end = line.size();
    }
    words.push_back(line.substr(start, end - start));
    at = end;
  }
  return words;
}

template <typename Each>
void for_each_line(std::string_view text, Each each) {
  while (!text.empty()) {
    size_t end = text.find('\n');
    std::string_view line = text.substr(0, end);
    std::vector<std::string_view> words = words_of(line);
    if (!words.empty() && words[0][0] != '#') {
      each(words);
    }
    if (end == std::string_view::npos) {
      break;
    }
    text.remove_prefix(end + 1);
  }
}

bool to_int(std::string_view word, int* ret_value) {
  int value = 0;
  auto [end, error] = std::from_chars(word.data(), word.data() + word.size(), value);
  if (error != std::errc() || end != word.data() + word.size()) {
    return false;
  }
  *ret_value = value;
  return true;
}

std::string_view trimmed(std::string_view text) {
  size_t start = text.find_first_not_of(" \t\r\n");
  if (start == std::string_view::npos) {
    return {};
  }
  size_t end = text.find_last_not_of(" \t\r\n");
  return text.substr(start, end - start + 1);
}

}  // namespace

SceneSetting parse_scene(std::string_view text) {
  SceneSetting scene;
  for_each_line(text, [&scene](const std::vector<std::string_view>& words) {
    if (words[0] == "light" && words.size() >= 2) {
      scene.light = words[1] == "night" ? Light::kNight : Light::kDay;
    } else if (words[0] == "crossing" && words.size() >= 2) {
      scene.crossing = words[1] != "none";
      int seconds = 0;
      if (words.size() >= 3 && to_int(words[2], &seconds) && seconds > 0 && seconds <= 3600) {
        scene.crossingSeconds = seconds;
      }
    }
  });
  return scene;
}

FaultSetting parse_faults(std::string_view text) {
  FaultSetting faults;
  for_each_line(text, [&faults](const std::vector<std::string_view>& words) {
    int id = 0;
    if (words[0] == "fail" && words.size() >= 4 && to_int(words[1], &id)) {
      faults.fails.push_back({id, std::string(words[2]), words[3] == "always"});
    } else if (words.size() >= 2 && words[0] == "frames") {
      faults.framesStopped = words[1] == "stop";
    } else if (words.size() >= 2 && words[0] == "exposure") {
      faults.exposureUnstable = words[1] == "unstable";
    }
  });
  return faults;
}

void BoardInputs::set_paths(const std::string& sensorDir, const std::string& gpioDir) {
  if (!sensorDir.empty()) {
    sensorDir_ = sensorDir;
  }
  if (!gpioDir.empty()) {
    gpioDir_ = gpioDir;
  }
  forget();
}

bool BoardInputs::refresh(const std::string& name, Watched* file) {
  struct stat status {};
  const std::string path = sensorDir_ + "/" + name;
  if (stat(path.c_str(), &status) != 0) {
    bool changed = file->present;
    *file = Watched{};
    return changed;
  }
  if (file->present && status.st_mtim.tv_sec == file->mtime.tv_sec &&
      status.st_mtim.tv_nsec == file->mtime.tv_nsec) {
    return false;
  }
  std::string text;
  if (!read_small_file(path, &text)) {
    return false;
  }
  file->text = std::move(text);
  file->mtime = status.st_mtim;
  file->present = true;
  return true;
}

const SceneSetting& BoardInputs::scene() {
  if (refresh("scene", &sceneFile_)) {
    scene_ = parse_scene(sceneFile_.text);
  }
  return scene_;
}

const FaultSetting& BoardInputs::faults() {
  if (refresh("faults", &faultFile_)) {
    faults_ = parse_faults(faultFile_.text);
  }
  if (refresh("fired", &firedFile_)) {
    fired_.clear();
    for_each_line(firedFile_.text, [this](const std::vector<std::string_view>& words) {
      int id = 0;
      if (to_int(words[0], &id)) {
        fired_.push_back(id);
      }
    });
  }
  return faults_;
}

bool BoardInputs::fails(std::string_view operation) {
  for (const FaultSetting::Fail& fail : faults().fails) {
    if (fail.operation != operation) {
      continue;
    }
    if (fail.always) {
      return true;
    }
    if (std::find(fired_.begin(), fired_.end(), fail.id) != fired_.end()) {
      continue;
    }
    fired_.push_back(fail.id);
    const std::string line = std::to_string(fail.id) + "\n";
    int fd = open((sensorDir_ + "/fired").c_str(), O_WRONLY | O_APPEND | O_CREAT | O_CLOEXEC, 0644);
    if (fd >= 0) {
      (void)!write(fd, line.data(), line.size());
      close(fd);
    }
    return true;
  }
  return false;
}

void BoardInputs::forget() {
  sceneFile_ = faultFile_ = firedFile_ = Watched{};
  scene_ = SceneSetting{};
  faults_ = FaultSetting{};
  fired_.clear();
}

std::string BoardInputs::gpio_file(int line, std::string_view what) const {
  return gpioDir_ + "/gpio" + std::to_string(line) + "/" + std::string(what);
}

bool BoardInputs::ir_leds_on() {
  for (int line : {49, 50}) {
    std::string level;
    if (read_small_file(gpio_file(line, "value"), &level) && trimmed(level) == "1") {
      return true;
    }
  }
  return false;
}

IrCut BoardInputs::ir_cut() {
  std::string position;
  if (read_small_file(sensorDir_ + "/ircut", &position) && trimmed(position) == "night") {
    return IrCut::kNight;
  }
  return IrCut::kDay;
}

uint32_t BoardInputs::boot_ev_start() {
  std::string text;
  int ev = 0;
  if (!read_small_file(sensorDir_ + "/evstart", &text) || !to_int(trimmed(text), &ev) || ev < 0) {
    return 0;
  }
  return static_cast<uint32_t>(ev);
}

bool BoardInputs::sensor_powered() {
  // The supply is on at power-up (the line is not driven); only a driven low turns it off.
  std::string direction;
  std::string level;
  if (!read_small_file(gpio_file(17, "direction"), &direction) || trimmed(direction) != "out") {
    return true;
  }
  return !(read_small_file(gpio_file(17, "value"), &level) && trimmed(level) == "0");
}

}  // namespace imp_host
