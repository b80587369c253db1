#include "sim/factory/factory_part.h"

#include <array>
#include <charconv>
#include <filesystem>
#include <fstream>
#include <memory>

#include "sim/board/board.h"
#include "sim/board/directive_words.h"
#include "sim/factory/config_file.h"

namespace sim::factory {

namespace fs = std::filesystem;

namespace {

// The key and value checked now, so a mistake is reported with its line.
int check(const std::string& key, const std::string& value, std::string* ret_error) {
  std::string ignored;
  return make_config_file({{key, value}}, &ignored, ret_error);
}

int parse_config(const std::vector<std::string>& args, board::BoardAction* ret_action,
                 std::string* ret_error) {
  if (args.size() == 2 && args[0] == "load") {
    // A configuration partition saved from another run (a season's reproducer), as it was.
    *ret_action = [from = args[1]](board::Board& board, std::string* ret_why) {
      std::error_code error;
      if (!fs::is_directory(from, error)) {
        *ret_why = from + " is not a folder";
        return -1;
      }
      const std::string folder = board.run_dir() + "/config";
      fs::create_directories(folder, error);
      fs::copy(from, folder, fs::copy_options::recursive | fs::copy_options::overwrite_existing,
               error);
      if (error) {
        *ret_why = "cannot copy " + from + ": " + error.message();
        return -1;
      }
      board.part_event("factory", "configuration partition loaded from " + from);
      return 0;
    };
    return 0;
  }
  if (args.size() != 2) {
    *ret_error = "expected a key of the configuration file and its value";
    return -1;
  }
  if (check(args[0], args[1], ret_error) != 0) {
    return -1;
  }
  *ret_action = [key = args[0], value = args[1]](board::Board& board, std::string* ret_why) {
    FactoryPart* part = board.part<FactoryPart>();
    if (part == nullptr) {
      *ret_why = "the board has no factory settings";
      return -1;
    }
    return part->set(key, value, ret_why);
  };
  return 0;
}

constexpr std::array kDirectives = {
    board::DirectiveSyntax{
        "config", "config KEY VALUE | config load DIR",
        "a key of the camera's configuration file, as the factory writes it before "
        "the first wake-up; or the whole partition copied from a saved folder",
        true, false, parse_config},
};

int write_file(const std::string& path, const std::string& bytes) {
  const std::string temporary = path + ".new";
  {
    std::ofstream out(temporary, std::ios::binary | std::ios::trunc);
    out.write(bytes.data(), static_cast<std::streamsize>(bytes.size()));
    if (!out) {
      return -1;
    }
  }
  std::error_code error;
  fs::rename(temporary, path, error);
  return error ? -1 : 0;
}

}  // namespace

const std::span<const board::DirectiveSyntax> kFactoryDirectives = kDirectives;

std::unique_ptr<board::BoardPart> make_factory_part() {
  return std::make_unique<FactoryPart>();
}

int make_config_file(const std::vector<std::pair<std::string, std::string>>& values,
                     std::string* ret_file, std::string* ret_error) {
  factory::ConfigValues file = factory::default_configuration();
  for (const auto& [name, value] : values) {
    const auto key = file.find(name);
    if (key == file.end()) {
      *ret_error = "'" + name + "' is not a key of the configuration file";
      return -1;
    }
    if (name == "encrypt_password") {
      if (value.size() > factory::kPasswordMaxLength) {
        *ret_error = "'" + name + "' holds at most " + std::to_string(factory::kPasswordMaxLength) +
                     " characters";
        return -1;
      }
      key->second = value;
      continue;
    }
    // Every other key holds a signed 32-bit number, written in decimal.
    int32_t number = 0;
    const char* end = value.data() + value.size();
    if (value.empty() || std::from_chars(value.data(), end, number).ptr != end) {
      *ret_error = "'" + value + "' is not a whole number for " + name;
      return -1;
    }
    key->second = std::to_string(number);
  }
  *ret_file = factory::format_config_file(file);
  return 0;
}

int FactoryPart::attach(board::Board& board, std::string* ret_error) {
  (void)ret_error;
  board_ = &board;
  return 0;
}

int FactoryPart::set(const std::string& key, const std::string& value, std::string* ret_error) {
  if (board_->wake_count() > 0) {
    *ret_error = "the factory settings are written before the first wake-up";
    return -1;
  }
  std::erase_if(values_, [&key](const auto& entry) { return entry.first == key; });
  values_.emplace_back(key, value);
  std::string file;
  if (make_config_file(values_, &file, ret_error) != 0) {
    return -1;
  }
  const std::string folder = board_->run_dir() + "/config";
  std::error_code error;
  fs::create_directories(folder, error);
  for (const char* name : factory::kConfigFileNames) {
    if (write_file(folder + "/" + name, file) != 0) {
      *ret_error = "cannot write the configuration file in " + folder;
      return -1;
    }
  }
  board_->part_event("factory", "configuration: " + key + "=" + value,
                     {{"key", key}, {"value", value}});
  return 0;
}

}  // namespace sim::factory
