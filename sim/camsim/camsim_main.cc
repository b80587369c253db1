// camsim: runs the camera application on the simulated board and shows what happens.
#include <unistd.h>

#include <array>
#include <cstdio>
#include <cstdlib>
#include <cstring>
#include <ctime>
#include <filesystem>
#include <fstream>
#include <map>
#include <memory>
#include <sstream>
#include <string>
#include <vector>

#include "sim/assembly/board_assembly.h"
#include "sim/camsim/scenario.h"
#include "sim/camsim/scenario_runner.h"
#include "sim/camsim/stories.h"
#include "sim/camsim/timeline.h"
#include "sim/season/season_run.h"

namespace {

using namespace sim::camsim;

constexpr char kUsage[] =
    R"(usage: camsim run NAME|FILE [options]   run a built-in story or a scenario file
       camsim check FILE                 check a scenario file and say what is wrong
       camsim list                       list the built-in stories
       camsim show NAME                  print a built-in story in the scenario format
       camsim season --days N --seed S --out DIR   live a season (camsim season --help)
       camsim --help                     this text

camsim powers the camera application (camera_app) up on a simulated board: a sandbox with the
camera's file system, the boot tags of each wake-up, the MCU on ttyS1, GPIO lines, a watchdog
daemon and a board clock of its own. Board time follows the camera's computation and jumps ahead
while everything waits, so a story ends the same way on a busy host as on a quiet one. camsim
prints a live timeline in board time and leaves a run folder behind.

Options of run:
  --out DIR       the run folder (default: ./camsim-runs/NAME-DATE-TIME)
  --speed N       board time at most N times as fast as the host's, overriding the scenario
  --app FILE      run this camera_app instead of the board image's
  --image DIR     use this board image as /system
  --verbose       print every watchdog keep-alive too
  --quiet         print no timeline, only the run folder

)";

constexpr char kRunFolder[] = R"(
The run folder:
  record.jsonl    everything above, one JSON object per line
  timeline.txt    the timeline as printed
  system/         the board image the run started with (a build may replace the image meanwhile)
  config/         the configuration partition (/config) as the camera left it
  tagstore.bin    the tag store (/dev/mtd1)
  sdcard/         the card's mount points
  clock           the board clock page
  wake-NN/        one per wake-up: console.log, stderr.log, app.log (the camera's /tmp/app.log
                  as far as it reached the file), cmdline (/proc/cmdline), kmsg, tag_writes,
                  sys/ (the GPIO tree)

)";

struct CommandForm {
  std::string_view name;
  std::string_view takes;
};

constexpr std::array kCommandForms = {
    CommandForm{"check", "one scenario file or story name: camsim check FILE"},
    CommandForm{"show", "one story name: camsim show NAME"},
    CommandForm{"list", "nothing: camsim list"},
};

int usage_error(const char* message) {
  fprintf(stderr, "camsim: %s\n(camsim --help for help)\n", message);
  return 2;
}

// A built-in story by name, or a file. Returns 0, 2 when it cannot be read or is wrong.
int load(const std::string& what, Scenario* ret_scenario, std::string* ret_name) {
  std::string text;
  std::string source;
  if (const Story* story = find_story(what)) {
    text = story->text;
    source = "story " + what;
    *ret_name = what;
  } else {
    std::string why;
    if (read_scenario_file(what, &text, &why) != 0) {
      fprintf(stderr, "camsim: '%s' is no built-in story, and %s\n", what.c_str(), why.c_str());
      return 2;
    }
    source = what;
    std::string base = what.substr(what.find_last_of('/') + 1);
    *ret_name = base.substr(0, base.find('.'));
  }
  std::string error;
  if (parse_scenario(text, source, ret_scenario, &error) != 0) {
    fprintf(stderr, "camsim: %s\n", error.c_str());
    return 2;
  }
  return 0;
}

std::string default_run_dir(const std::string& name) {
  char stamp[32];
  const time_t now = time(nullptr);
  tm parts{};
  localtime_r(&now, &parts);
  strftime(stamp, sizeof stamp, "%Y%m%d-%H%M%S", &parts);
  std::string dir = "camsim-runs/" + name + "-" + stamp;
  // Two runs in the same second get their own folders.
  for (int n = 2; access(dir.c_str(), F_OK) == 0; ++n) {
    dir = "camsim-runs/" + name + "-" + stamp + "-" + std::to_string(n);
  }
  return dir;
}

// Where the pictures are: the media files the card holds after the run, by folder.
void print_pictures(const std::string& card) {
  std::map<std::string, int> perFolder;
  std::error_code error;
  for (auto it = std::filesystem::recursive_directory_iterator(card, error);
       !error && it != std::filesystem::recursive_directory_iterator(); it.increment(error)) {
    const std::string extension = it->path().extension().string();
    if (it->is_regular_file(error) && (extension == ".JPG" || extension == ".jpg" ||
                                       extension == ".MP4" || extension == ".mp4")) {
      ++perFolder[it->path().parent_path().string()];
    }
  }
  if (perFolder.empty()) {
    printf("pictures: none on the card (%s)\n", card.c_str());
    return;
  }
  for (const auto& [folder, count] : perFolder) {
    printf("pictures: %d in %s\n", count, folder.c_str());
  }
}

int run(const std::vector<std::string>& args) {
  if (args.empty()) {
    return usage_error("run needs a story name or a scenario file");
  }
  RunOptions options;
  bool verbose = false;
  bool quiet = false;
  for (std::size_t i = 1; i < args.size(); ++i) {
    const std::string& option = args[i];
    const bool hasValue = i + 1 < args.size();
    if (option == "--verbose") {
      verbose = true;
    } else if (option == "--quiet") {
      quiet = true;
    } else if (option == "--out" && hasValue) {
      options.runDir = args[++i];
    } else if (option == "--app" && hasValue) {
      options.paths.cameraApp = args[++i];
    } else if (option == "--image" && hasValue) {
      options.paths.imageDir = args[++i];
    } else if (option == "--speed" && hasValue) {
      char* end = nullptr;
      const long speed = strtol(args[++i].c_str(), &end, 10);
      if (*end != '\0' || speed < 1 || speed > 1000) {
        return usage_error("--speed takes a number 1..1000");
      }
      options.speed = static_cast<uint32_t>(speed);
    } else {
      return usage_error(("unknown option or missing value: " + option).c_str());
    }
  }
  Scenario scenario;
  std::string name;
  if (int status = load(args[0], &scenario, &name); status != 0) {
    return status;
  }
  if (options.runDir.empty()) {
    options.runDir = default_run_dir(name);
  }

  std::error_code made;
  std::filesystem::create_directories(options.runDir, made);
  FILE* copy = fopen((options.runDir + "/timeline.txt").c_str(), "we");
  if (copy == nullptr) {
    fprintf(stderr, "camsim: cannot write in the run folder %s\n", options.runDir.c_str());
    return 1;
  }
  // The screen may be quiet; timeline.txt always gets the timeline.
  auto screen = std::make_shared<TimelinePrinter>(verbose, quiet ? nullptr : stdout, nullptr);
  auto file = std::make_shared<TimelinePrinter>(verbose, nullptr, copy);
  options.listener = [screen, file](const sim::board::BoardEvent& event) {
    screen->print(event);
    file->print(event);
  };

  options.reportOut = quiet ? nullptr : stdout;
  RunResult result;
  std::string error;
  const int status = run_scenario(scenario, options, &result, &error);
  options.listener = nullptr;
  fclose(copy);
  if (status != 0) {
    fprintf(stderr, "camsim: %s\n", error.c_str());
    return 1;
  }
  char real[4096];
  const char* folder =
      realpath(options.runDir.c_str(), real) != nullptr ? real : options.runDir.c_str();
  printf(
      "\n%d wake-up(s): %d powered off by the MCU, %d cut by the scenario, %d ended by "
      "camera_app itself\nrun folder: %s\n",
      result.wakeUps, result.poweredOffByMcu, result.cutByScenario, result.cameraExits, folder);
  print_pictures(std::string(folder) + "/card");  // the card part copies its files out there
  return 0;
}

}  // namespace

int main(int argc, char** argv) {
  std::vector<std::string> args(argv + 1, argv + argc);
  if (args.empty()) {
    fputs(kUsage, stderr);
    return 2;
  }
  const std::string command = args[0];
  args.erase(args.begin());
  if (command == "--help" || command == "-h" || command == "help") {
    fputs(kUsage, stdout);
    fputs(timeline_help().c_str(), stdout);
    fputs(kRunFolder, stdout);
    fputs(scenario_format_help().data(), stdout);
    for (const sim::board::PartRegistration& part : sim::assembly::board_parts()) {
      if (part.directives.empty()) {
        continue;
      }
      printf("\nThe board's %.*s:\n", static_cast<int>(part.name.size()), part.name.data());
      for (const sim::board::DirectiveSyntax& directive : part.directives) {
        // A long list of forms goes one form a line.
        std::string usage(directive.usage);
        for (std::size_t at = 0; usage.size() > 90 && (at = usage.find(" | ", at)) != usage.npos;) {
          usage.replace(at, 3, "\n    | ");
          at += 7;
        }
        printf("  %s%s\n      %.*s\n", directive.timed && !directive.setup ? "at TIME " : "",
               usage.c_str(), static_cast<int>(directive.help.size()), directive.help.data());
      }
    }
    printf("\nBuilt-in stories:");
    for (const Story& story : built_in_stories()) {
      printf(" %.*s", static_cast<int>(story.name.size()), story.name.data());
    }
    printf("\n");
    return 0;
  }
  if (command == "list" && args.empty()) {
    for (const Story& story : built_in_stories()) {
      Scenario scenario;
      parse_scenario(story.text, story.name, &scenario, nullptr);
      printf("%-18.*s %s\n", static_cast<int>(story.name.size()), story.name.data(),
             scenario.title.c_str());
    }
    return 0;
  }
  if (command == "show" && args.size() == 1) {
    const Story* story = find_story(args[0]);
    if (story == nullptr) {
      return usage_error(("no built-in story " + args[0]).c_str());
    }
    fwrite(story->text.data(), 1, story->text.size(), stdout);
    return 0;
  }
  if (command == "check" && args.size() == 1) {
    Scenario scenario;
    std::string name;
    if (int status = load(args[0], &scenario, &name); status != 0) {
      return status;
    }
    printf("%s: good (%zu steps)\n", args[0].c_str(), scenario.steps.size());
    return 0;
  }
  if (command == "run") {
    return run(args);
  }
  if (command == "season") {
    return sim::season::season_command(args);
  }
  // A known command with the wrong words says what it takes.
  for (const CommandForm& form : kCommandForms) {
    if (command == form.name) {
      return usage_error(("'" + command + "' takes " + std::string(form.takes)).c_str());
    }
  }
  return usage_error(("unknown command " + command).c_str());
}
