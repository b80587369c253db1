// Every built-in story ends the same way on a quiet host and beside two busy loops pinned to
// the host's processors: board time follows the camera's computation, not the host's clock, so
// the host's load may make a story slower, never different. What is compared is what a person
// would compare: how each wake-up ended, the application's states, the messages on the serial
// lines, and the files on the card.
#include <fcntl.h>
#include <sched.h>
#include <signal.h>
#include <spawn.h>
#include <sys/wait.h>
#include <unistd.h>

#include <algorithm>
#include <cstdint>
#include <cstdlib>
#include <filesystem>
#include <map>
#include <string>
#include <string_view>
#include <vector>

#include <gtest/gtest.h>

#include "sim/camsim/stories.h"
#include "sim/card/card_image.h"

#include "camera_on_board.h"

namespace {

using sim::board::BoardEvent;
using sim::board::EventKind;

// One busy loop per processor of the host, each pinned to its processor, for as long as the
// object lives. They are not children of this process, which is the board's: like any other
// work on the host, they are nothing the board waits for.
class BusyLoops {
 public:
  BusyLoops() {
    const long processors = std::max(2L, sysconf(_SC_NPROCESSORS_ONLN));
    for (long cpu = 0; cpu < processors; ++cpu) {
      const pid_t loop = start_detached(static_cast<int>(cpu % sysconf(_SC_NPROCESSORS_ONLN)));
      if (loop > 0) {
        loops_.push_back(loop);
      }
    }
  }
  ~BusyLoops() {
    for (pid_t loop : loops_) {
      kill(loop, SIGKILL);
    }
  }
  std::size_t count() const { return loops_.size(); }

 private:
  // A loop in a grandchild whose parent ends at once, so that it belongs to the host's init.
  // It holds none of the test's output (ctest would wait for it) and ends with the test, also
  // when the test is killed before it can stop its loops.
  static pid_t start_detached(int cpu) {
    int report[2];
    if (pipe(report) != 0) {
      return -1;
    }
    const pid_t test = getpid();
    const pid_t child = fork();
    if (child == 0) {
      const pid_t loop = fork();
      if (loop == 0) {
        const int devNull = open("/dev/null", O_RDWR);
        for (int fd : {STDIN_FILENO, STDOUT_FILENO, STDERR_FILENO}) {
          dup2(devNull, fd);
        }
        close(report[0]);
        close(report[1]);
        cpu_set_t only;
        CPU_ZERO(&only);
        CPU_SET(cpu, &only);
        sched_setaffinity(0, sizeof only, &only);
        // Spins, as `yes > /dev/null` would without the writes; a look at the test now and then.
        for (uint32_t turn = 1;; ++turn) {
          __asm__ volatile("");
          if ((turn & 0xffffff) == 0 && kill(test, 0) != 0) {
            _exit(0);
          }
        }
      }
      (void)!write(report[1], &loop, sizeof loop);
      _exit(0);
    }
    close(report[1]);
    pid_t loop = -1;
    if (child < 0 || read(report[0], &loop, sizeof loop) != sizeof loop) {
      loop = -1;
    }
    close(report[0]);
    if (child > 0) {
      waitpid(child, nullptr, 0);
    }
    return loop;
  }

  std::vector<pid_t> loops_;
};

// A story's ending, without its timestamps: per wake-up, how it began and ended, the states
// the application went through, and the members of the serial messages of each line in order;
// then the names of the pictures and folders on the card.
struct Ending {
  std::vector<std::string> wakeUps;
  std::map<std::string, std::vector<std::string>> lines;  // "w2 mcu" -> members in order
  std::vector<std::string> cardFiles;
};

Ending ending_of(const std::vector<BoardEvent>& events, const std::string& cardImage,
                 const std::string& scratch) {
  Ending ending;
  for (const BoardEvent& event : events) {
    const std::string wake = "w" + std::to_string(event.wake);
    switch (event.kind) {
      case EventKind::kWake:
        ending.wakeUps.push_back(wake + " wake " + event.field("reason"));
        break;
      case EventKind::kPowerCut:
        ending.wakeUps.push_back(wake + " " + event.text);
        break;
      case EventKind::kCameraExit:
        ending.wakeUps.push_back(wake + " camera exited");
        break;
      case EventKind::kState:
        ending.wakeUps.push_back(wake + " " + event.text);
        break;
      case EventKind::kSerial:
        ending.lines[wake + " " + event.field("line")].push_back(event.field("direction") + " " +
                                                                 event.field("member"));
        break;
      default:
        break;
    }
  }
  for (const std::string& partition : sim::card::copy_card_files(cardImage, scratch)) {
    for (const auto& entry : std::filesystem::recursive_directory_iterator(partition)) {
      const std::string path = std::filesystem::relative(entry.path(), scratch).string();
      // The application's own logs rotate by size, which the logged times change.
      if (path.find("/logs") == std::string::npos) {
        ending.cardFiles.push_back(path);
      }
    }
  }
  std::sort(ending.cardFiles.begin(), ending.cardFiles.end());
  return ending;
}

Ending run(const sim::camsim::Story& story, const std::string& dir) {
  const auto seen = scenario_test::run_story(story.text, dir + "/run").events;
  return ending_of(seen, dir + "/run/card/card.img", dir + "/card");
}

template <typename T>
std::string lines_of(const std::vector<T>& items) {
  std::string text;
  for (const auto& item : items) {
    text += "  " + item + "\n";
  }
  return text;
}

class StoryUnderLoad : public testing::TestWithParam<std::string> {};

TEST_P(StoryUnderLoad, EndsAsOnAQuietHost) {
  const sim::camsim::Story* story = sim::camsim::find_story(GetParam());
  ASSERT_NE(story, nullptr);
  scenario_test::TempDir dir;
  const Ending quiet = run(*story, dir.path() + "/quiet");
  Ending loaded;
  {
    BusyLoops loops;
    ASSERT_GE(loops.count(), 2u);
    loaded = run(*story, dir.path() + "/loaded");
  }
  EXPECT_EQ(quiet.wakeUps, loaded.wakeUps) << "quiet:\n"
                                           << lines_of(quiet.wakeUps) << "loaded:\n"
                                           << lines_of(loaded.wakeUps);
  for (const auto& [line, members] : quiet.lines) {
    const auto found = loaded.lines.find(line);
    ASSERT_NE(found, loaded.lines.end()) << line;
    EXPECT_EQ(members, found->second) << line << " quiet:\n"
                                      << lines_of(members) << "loaded:\n"
                                      << lines_of(found->second);
  }
  EXPECT_EQ(quiet.lines.size(), loaded.lines.size());
  EXPECT_EQ(quiet.cardFiles, loaded.cardFiles) << "quiet:\n"
                                               << lines_of(quiet.cardFiles) << "loaded:\n"
                                               << lines_of(loaded.cardFiles);
}

// Stories that between them have the main kinds of wake-up (time-lapse, PIR by day and at
// night with a burst, a sync with its upload, an instant request): the normal run's set. With
// CAMERA_LOAD_STORIES=all every built-in story runs.
constexpr std::string_view kNormalRun[] = {"default", "pir-night-burst", "pir-then-sync",
                                           "instant-capture"};

std::vector<std::string> story_names() {
  const char* which = getenv("CAMERA_LOAD_STORIES");
  const bool all = which != nullptr && std::string_view(which) == "all";
  std::vector<std::string> names;
  for (const sim::camsim::Story& story : sim::camsim::built_in_stories()) {
    if (all || std::ranges::find(kNormalRun, story.name) != std::end(kNormalRun)) {
      names.emplace_back(story.name);
    }
  }
  return names;
}

INSTANTIATE_TEST_SUITE_P(EveryBuiltInStory, StoryUnderLoad, testing::ValuesIn(story_names()),
                         [](const testing::TestParamInfo<std::string>& story) {
                           std::string name = story.param;
                           std::replace(name.begin(), name.end(), '-', '_');
                           return name;
                         });

}  // namespace
