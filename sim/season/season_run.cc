#include "sim/season/season_run.h"

#include <algorithm>
#include <chrono>
#include <cstdio>
#include <cstdlib>
#include <ctime>
#include <filesystem>
#include <fstream>
#include <map>
#include <memory>
#include <sstream>

#include "sim/camsim/scenario.h"
#include "sim/card/card_image.h"
#include "sim/card/card_layout.h"
#include "sim/card/card_part.h"
#include "sim/modem/modem_part.h"
#include "sim/pictures/pictures_part.h"
#include "sim/season/season_config.h"
#include "sim/season/season_err_lines.h"

namespace sim::season {

namespace fs = std::filesystem;
using sim::board::Board;
using sim::board::BoardEvent;
using sim::board::EventKind;
using std::chrono::milliseconds;

namespace {

constexpr char kUsage[] =
    R"(usage: camsim season --days N --seed S [--profile FILE] --out DIR [--app FILE] [--image DIR] [--quiet]

Lives N days of the camera's life on one board: the wake-ups of a profile (the default one: camsim
season --show-profile) with the faults of the field drawn from the seed. After every wake-up the
board checks, from the card image and the server's inbox, that nothing the camera stored was lost
or altered; a broken invariant stops the season and leaves DIR/reproducer/. The report is
DIR/season.html and DIR/season.json. Energy figures come from the board's power model.
)";

double host_now_s() {
  return std::chrono::duration<double>(std::chrono::steady_clock::now().time_since_epoch()).count();
}

void copy_tree(const fs::path& from, const fs::path& to) {
  std::error_code error;
  fs::remove_all(to, error);
  if (fs::is_directory(from, error)) {
    fs::copy(from, to, fs::copy_options::recursive, error);
  } else if (fs::exists(from, error)) {
    fs::copy_file(from, to, error);
  }
}

// The card's state: its files copied out, its free space and fsck.fat's verdict.
struct CardWatch {
  std::string image;
  std::string scratch;  // for the copies and the fsck sandbox's state
  uint64_t primaryOffset = 0;
  uint64_t primarySize = 0;

  CardView look(const std::vector<std::string>& passwords, const CardView* previous) {
    CardView view;
    std::error_code error;
    if (image.empty() || !fs::exists(image, error)) {
      return view;
    }
    primaryOffset = 0;
    for (const sim::card::Partition& partition : sim::card::card_partitions(image)) {
      if (partition.number == 1) {
        primaryOffset = partition.start;
        primarySize = partition.size;
      }
    }
    const std::string copy = scratch + "/copy";
    fs::remove_all(copy, error);
    sim::card::copy_card_files(image, copy);
    view = read_card_copy(copy, passwords, previous);
    view.primaryFreeBytes = primaryOffset != 0 ? fat_free_bytes(image, primaryOffset) : -1;
    view.fsckClean = sim::card::check_card(image, scratch + "/fsck", &view.fsckReport);
    return view;
  }
};

// How the wake-up ended, from the board's record.
std::string wake_end(const std::vector<BoardEvent>& events, int wake) {
  for (auto it = events.rbegin(); it != events.rend(); ++it) {
    if (it->wake != wake) {
      continue;
    }
    if (it->kind == EventKind::kCameraExit) {
      return "camera exit";
    }
    if (it->kind == EventKind::kPowerCut) {
      const std::string why = it->field("why").empty() ? it->text : it->field("why");
      if (why.find("ready-to-sleep") != std::string::npos) {
        return "handshake";
      }
      if (why.find("time for this wake-up is over") != std::string::npos) {
        return "budget";
      }
      return "injected cut";
    }
  }
  return "unknown";
}

// Seconds of each draw of the power model in one wake-up, from the record.
DrawSeconds wake_draws(const std::vector<BoardEvent>& events, int wake, double awakeS,
                       double asleepS, int filesWritten) {
  DrawSeconds seconds{};
  seconds[static_cast<int>(Draw::kAsleep)] = asleepS;
  seconds[static_cast<int>(Draw::kProcessor)] = awakeS;
  std::map<std::string, int64_t> onSince;  // what is on, since when (board ms)
  int64_t end = 0;
  int uploaded = 0;
  const auto add = [&](const std::string& what, Draw draw, bool on, int64_t at) {
    if (on && !onSince.contains(what)) {
      onSince[what] = at;
    } else if (!on && onSince.contains(what)) {
      seconds[static_cast<int>(draw)] += static_cast<double>(at - onSince[what]) / 1000.0;
      onSince.erase(what);
    }
  };
  const std::map<std::string, Draw> kinds = {{"17", Draw::kSensor},
                                             {"49", Draw::kIrLeds},
                                             {"50", Draw::kIrLeds},
                                             {"modem", Draw::kModemSearching}};
  for (const BoardEvent& event : events) {
    if (event.wake != wake) {
      continue;
    }
    end = event.elapsed.count();
    if (event.kind != EventKind::kPart) {
      continue;
    }
    if (event.part == "gpio" && event.field("what") == "value" &&
        kinds.contains(event.field("line"))) {
      add(event.field("line"), kinds.at(event.field("line")), event.field("to") == "1",
          event.elapsed.count());
    } else if (event.part == "modem" && !event.field("on").empty()) {
      add("modem", Draw::kModemSearching, event.field("on") == "true", event.elapsed.count());
    } else if (event.part == "modem" && !event.field("files").empty()) {
      uploaded += std::atoi(event.field("files").c_str());
    }
  }
  for (const auto& [what, since] : onSince) {
    const Draw draw = kinds.at(what);
    seconds[static_cast<int>(draw)] += static_cast<double>(end - since) / 1000.0;
  }
  const double transmitting = uploaded * kTransmitSecondsPerFile;
  double& searching = seconds[static_cast<int>(Draw::kModemSearching)];
  seconds[static_cast<int>(Draw::kModemTransmitting)] = std::min(transmitting, searching);
  searching = std::max(0.0, searching - transmitting);
  seconds[static_cast<int>(Draw::kCardIo)] = filesWritten * kCardSecondsPerFile;
  return seconds;
}

// The lines a file gained from `offset` on; `offset` moves to its end.
std::string read_from(const std::string& path, std::streamoff* offset) {
  std::ifstream in(path, std::ios::binary);
  in.seekg(0, std::ios::end);
  const std::streamoff end = in.tellg();
  if (!in || end < *offset) {
    *offset = 0;
  }
  in.seekg(*offset);
  std::string text(static_cast<std::size_t>(std::max<std::streamoff>(0, end - *offset)), '\0');
  in.read(text.data(), static_cast<std::streamsize>(text.size()));
  *offset = std::max<std::streamoff>(end, 0);
  return text;
}

void play(Board& board, const sim::camsim::ScenarioEvent& event) {
  switch (event.type) {
    case sim::camsim::EventType::kPowerCut:
      board.cut_power("power cut by the season (line " + std::to_string(event.sourceLine) + ")");
      break;
    case sim::camsim::EventType::kNote:
      board.note(EventKind::kSetup, event.text);
      break;
    case sim::camsim::EventType::kPartAction: {
      std::string why;
      if (event.action(board, &why) != 0) {
        board.note(EventKind::kFault,
                   "the season could not do line " + std::to_string(event.sourceLine) + ": " + why);
      }
      break;
    }
  }
}

// The profile's set-up without the lines a reproducer gives itself.
std::string setup_for_replay(const std::string& setup) {
  std::string kept;
  std::istringstream lines(setup);
  for (std::string line; std::getline(lines, line);) {
    const std::string_view words(line);
    if (words.starts_with("title") || words.starts_with("date") || words.starts_with("card ")) {
      continue;
    }
    kept += line + "\n";
  }
  return kept;
}

void write_reproducer(const SeasonResult& result, const SeasonOptions& options,
                      const PlannedWake& wake, const std::string& savedDir) {
  const fs::path dir = fs::absolute(fs::path(options.outDir) / "reproducer");
  std::error_code error;
  fs::remove_all(dir, error);
  fs::rename(savedDir, dir, error);
  const std::size_t index = static_cast<std::size_t>(result.failedWake - 1);
  const std::vector<std::string> server =
      index > 0 ? result.plan.wakes[index - 1].serverLines : std::vector<std::string>{};
  char date[32];
  const time_t seconds = static_cast<time_t>(result.wakes.back().epochMs / 1000);
  tm parts{};
  gmtime_r(&seconds, &parts);
  strftime(date, sizeof date, "%Y-%m-%d %H:%M:%S", &parts);
  std::ofstream out(dir / "replay.scenario");
  out << "title Season seed " << options.seed << ", day " << wake.day + 1 << ", wake-up "
      << result.failedWake << ": invariant " << result.findings.front().invariant << " broke\n";
  for (const Finding& finding : result.findings) {
    out << "# invariant " << finding.invariant << ": " << finding.text << "\n";
  }
  out << "date " << date << "\n" << setup_for_replay(result.profile.setup);
  out << "card load " << (dir / "card.img").string() << "\n";
  out << "config load " << (dir / "config").string() << "\n";
  out << "tag-store load " << (dir / "tagstore.bin").string() << "\n";
  for (const std::string& line : server) {
    out << line << "\n";
  }
  out << wake_scenario_text(wake);
}

}  // namespace

int run_season(const SeasonOptions& options, SeasonResult* ret_result, std::string* ret_error) {
  SeasonResult& result = *ret_result;
  const double hostStart = host_now_s();
  const std::string profileText =
      options.profileText.empty() ? std::string(default_profile_text()) : options.profileText;
  if (parse_profile(profileText, options.profileName, &result.profile, ret_error) != 0) {
    return -1;
  }
  result.plan = plan_season(result.profile, options.seed, options.days);
  std::error_code error;
  fs::create_directories(options.outDir, error);
  std::ofstream(options.outDir + "/plan.txt") << plan_text(result.plan);

  sim::camsim::Scenario setup;
  // A scenario has wake-ups; the set-up is read with one that is never lived.
  if (sim::camsim::parse_scenario(result.profile.setup + "wake timelapse\n", options.profileName,
                                  &setup, ret_error) != 0) {
    return -1;
  }
  sim::board::BoardSetup boardSetup = setup.board;
  boardSetup.runDir = options.outDir + "/board";
  boardSetup.paths = options.paths;
  std::unique_ptr<Board> board = Board::create(boardSetup, ret_error);
  if (!board) {
    return -1;
  }
  board->note(EventKind::kSetup, "season of " + std::to_string(options.days) + " day(s), seed " +
                                     std::to_string(options.seed));
  for (const sim::camsim::Scenario::PartSetup& part : setup.partSetup) {
    if (part.action(*board, ret_error) != 0) {
      *ret_error = options.profileName + ":" + std::to_string(part.sourceLine) + ": " + *ret_error;
      return -1;
    }
  }
  auto* card = board->part<sim::card::CardPart>();
  auto* modem = board->part<sim::modem::ModemPart>();
  CardWatch watch{card != nullptr ? card->image() : std::string(), options.outDir + "/work"};
  const std::string saved = options.outDir + "/work/before";
  Ledger ledger;
  ConfigExpectation configuration;
  const std::string modemLine = board->run_dir() + "/ttyS0.jsonl";
  std::streamoff modemLineRead = 0;
  std::vector<std::string> passwords;
  CardView before = watch.look(passwords, nullptr);
  constexpr int kTilesPerDay = 6;
  std::map<int, int> tilesToday;

  for (std::size_t i = 0; i < result.plan.wakes.size(); ++i) {
    const PlannedWake& planned = result.plan.wakes[i];
    const double wakeHostStart = host_now_s();
    WakeRecord record;
    record.index = static_cast<int>(i) + 1;
    record.day = planned.day;
    record.kind = planned.kind;
    // Asleep until the planned moment (a wake-up that ran long delays the next one).
    const int64_t now = board->time().epoch_ms();
    if (planned.epochMs > now) {
      record.asleepS = static_cast<double>(planned.epochMs - now) / 1000.0;
      board->pass_time_asleep(std::chrono::seconds((planned.epochMs - now) / 1000));
    }
    record.epochMs = board->time().epoch_ms();
    // What the board holds before the wake-up, for a reproducer.
    fs::create_directories(saved, error);
    if (!watch.image.empty()) {
      sim::card::run_program({"cp", "--sparse=always", watch.image, saved + "/card.img"});
    }
    copy_tree(board->run_dir() + "/config", saved + "/config");
    copy_tree(board->tag_store_path(), saved + "/tagstore.bin");

    std::string ignored;
    // The peers forget the faults and requests of the wake-up before; a person puts the card
    // back if a cut left it out.
    board->mcu().clear_faults();
    if (modem != nullptr) {
      if (modem->peer() != nullptr) {
        modem->peer()->clear_faults();
      }
      modem->change_setup(
          [](sim::ModemSetup& s, std::string*) {
            s.instantQuery.reset();
            s.formatRequest.reset();
            s.rebootReport.reset();
            s.sync = sim::ModemSyncScript{};
            return 0;
          },
          &ignored);
    }
    if (card != nullptr && i > 0) {
      // A cut armed for writes that did not come is disarmed: it belonged to that wake-up.
      const std::vector<Fault>& faults = result.plan.wakes[i - 1].faults;
      if (has_fault(faults, Fault::kCardCut)) {
        card->cut_power_after(0, 0, &ignored);
      }
      // The owner slides a locked card's switch back.
      if (has_fault(faults, Fault::kCardReadOnly)) {
        card->set_read_only(1, false, &ignored);
        card->set_read_only(2, false, &ignored);
      }
      const std::vector<TimedLine>& was = result.plan.wakes[i - 1].events;
      if (std::any_of(was.begin(), was.end(),
                      [](const TimedLine& e) { return e.line == "card pull"; })) {
        card->set_present(true, &ignored);
      }
    }

    sim::camsim::Scenario wake;
    const std::string text = wake_scenario_text(planned);
    if (sim::camsim::parse_scenario(text, "wake-up " + std::to_string(record.index), &wake,
                                    ret_error) != 0) {
      return -1;
    }
    for (const sim::camsim::Scenario::PartSetup& part : wake.partSetup) {
      std::string why;
      if (part.action(*board, &why) != 0) {
        board->note(EventKind::kFault, "the season could not do: " + why);
      }
    }
    passwords = planned.passwords;
    // A card the season dirtied or filled is looked at again: the wake-up starts from that.
    if (has_fault(planned.faults, Fault::kCardDirty) ||
        has_fault(planned.faults, Fault::kCardFull)) {
      before = watch.look(passwords, &before);
    }
    const sim::camsim::ScenarioWake& step = wake.steps.back().wake;
    if (board->wake(step.request, ret_error) != 0) {
      return -1;
    }
    const int wakeNumber = board->wake_count();
    for (const sim::camsim::ScenarioEvent& event : step.events) {
      if (!board->wait_awake_until(event.at)) {
        break;
      }
      play(*board, event);
    }
    board->run_until_power_off(step.limit);
    const std::vector<BoardEvent> events = board->record().events();
    record.end = wake_end(events, wakeNumber);
    record.awakeS = static_cast<double>((board->elapsed() - board->woke_at()).count()) / 1000.0;
    for (const Fault fault : planned.faults) {
      record.faults.emplace_back(kFaults[static_cast<int>(fault)].name);
    }

    const CardView after = watch.look(passwords, &before);
    for (const auto& [path, file] : after.files) {
      const auto old = before.files.find(path);
      const bool fresh = old == before.files.end() || old->second.hash != file.hash;
      if (!fresh || !file.complete || path.find("/DCIM/") == std::string::npos) {
        continue;
      }
      const std::string name = path.substr(path.rfind('/') + 1);
      record.pictures += name.starts_with("PICT") ? 1 : 0;
      // A tile for the day's contact sheet (at most six a day).
      if (name.starts_with("PICT") && tilesToday[planned.day] < kTilesPerDay) {
        const std::string tile = options.outDir + "/tiles/" + std::to_string(record.index) + "-" +
                                 name.substr(0, name.find('.')) + ".png";
        fs::create_directories(options.outDir + "/tiles", error);
        sim::pictures::render_tile(
            watch.scratch + "/copy/" + path, "day " + std::to_string(planned.day + 1) + " " + name,
            passwords.empty() ? std::string() : passwords.back(), watch.scratch, tile);
        record.tiles.push_back(tile);
        ++tilesToday[planned.day];
      }
      record.videos += name.starts_with("VID") ? 1 : 0;
    }
    if (watch.primarySize > 0 && after.primaryFreeBytes >= 0) {
      record.cardFill = 1.0 - static_cast<double>(after.primaryFreeBytes) /
                                  static_cast<double>(watch.primarySize);
    }
    record.draws = wake_draws(events, wakeNumber, record.awakeS, record.asleepS,
                              record.pictures + record.videos);
    record.chargeMah = charge_mah(result.profile.draws, record.draws);

    WakeFacts facts;
    facts.wake = record.index;
    facts.formatAsked = planned.formatAsked;
    facts.sync = planned.kind == WakeKind::kSync || planned.kind == WakeKind::kQuery;
    facts.handshake = record.end == "handshake";
    facts.injectedCut = record.end == "injected cut";
    facts.cardPulled = has_fault(planned.faults, Fault::kCardPulled);
    facts.overBudget = record.end == "budget";
    facts.minFreeMb = planned.minFreeMb;
    facts.inboxDir = modem != nullptr ? modem->inbox_dir() : std::string();
    std::vector<Finding> findings = ledger.check_wake(before, after, facts);
    // The configuration the server sent in this wake-up (the Modem's line), and what the
    // configuration partition holds after a wake-up that ended in the handshake.
    configuration.wake_ended(server_messages(read_from(modemLine, &modemLineRead)),
                             facts.handshake);
    if (facts.handshake) {
      for (Finding& finding : configuration.check(
               read_camera_configuration(board->run_dir() + "/config"), record.index)) {
        findings.push_back(std::move(finding));
      }
    }
    for (Finding& finding :
         check_err_lines(new_err_lines(before, after), planned.faults,
                         i > 0 ? result.plan.wakes[i - 1].faults : std::vector<Fault>{}, i == 0,
                         record.index, before.fsckReport)) {
      findings.push_back(std::move(finding));
    }
    record.hostS = host_now_s() - wakeHostStart;
    result.wakes.push_back(record);
    if (!options.quiet) {
      printf(
          "day %d wake-up %d %-9s %6.1fs awake, %s%s%s, %d photo(s) %d video(s), %.2f mAh\n",
          planned.day + 1, record.index, std::string(wake_kind_name(planned.kind)).c_str(),
          record.awakeS, record.end.c_str(), record.faults.empty() ? "" : ", faults: ",
          [&] {
            std::string all;
            for (const std::string& f : record.faults) {
              all += (all.empty() ? "" : " ") + f;
            }
            return all;
          }()
              .c_str(),
          record.pictures, record.videos, record.chargeMah);
      fflush(stdout);
    }
    if (!findings.empty()) {
      result.findings = std::move(findings);
      result.failedWake = record.index;
      write_reproducer(result, options, planned, saved);
      break;
    }
    before = after;
  }
  board->report_parts(nullptr);
  result.ledgerSize = static_cast<int>(ledger.size());
  result.removedByRule = ledger.removed_by_rule();
  result.removedByFormat = ledger.removed_by_format();
  result.removedAfterCut = ledger.removed_after_a_cut();
  result.hostSeconds = host_now_s() - hostStart;
  return 0;
}

int season_command(const std::vector<std::string>& args) {
  SeasonOptions options;
  bool haveOut = false;
  for (std::size_t i = 0; i < args.size(); ++i) {
    const std::string& option = args[i];
    const bool hasValue = i + 1 < args.size();
    char* end = nullptr;
    if (option == "--help" || option == "-h") {
      fputs(kUsage, stdout);
      return 0;
    }
    if (option == "--show-profile") {
      fwrite(default_profile_text().data(), 1, default_profile_text().size(), stdout);
      return 0;
    }
    if (option == "--quiet") {
      options.quiet = true;
    } else if (option == "--days" && hasValue) {
      const long days = strtol(args[++i].c_str(), &end, 10);
      if (*end != '\0' || days < 1 || days > 366) {
        fprintf(stderr, "camsim season: --days takes a number 1..366\n");
        return 2;
      }
      options.days = static_cast<int>(days);
    } else if (option == "--seed" && hasValue) {
      const unsigned long long seed = strtoull(args[++i].c_str(), &end, 10);
      if (*end != '\0' || args[i].empty() || args[i][0] == '-') {
        fprintf(stderr, "camsim season: --seed takes a whole number\n");
        return 2;
      }
      options.seed = seed;
    } else if (option == "--profile" && hasValue) {
      options.profileName = args[++i];
      std::string why;
      if (sim::camsim::read_scenario_file(options.profileName, &options.profileText, &why) != 0) {
        fprintf(stderr, "camsim season: %s\n", why.c_str());
        return 2;
      }
    } else if (option == "--out" && hasValue) {
      options.outDir = args[++i];
      haveOut = true;
    } else if (option == "--app" && hasValue) {
      options.paths.cameraApp = args[++i];
    } else if (option == "--image" && hasValue) {
      options.paths.imageDir = args[++i];
    } else {
      fprintf(stderr, "camsim season: unknown option or missing value: %s\n%s", option.c_str(),
              kUsage);
      return 2;
    }
  }
  if (!haveOut) {
    fprintf(stderr, "camsim season: --out DIR is needed\n%s", kUsage);
    return 2;
  }
  std::error_code error;
  if (fs::exists(options.outDir + "/board", error)) {
    fprintf(stderr, "camsim season: %s already holds a season\n", options.outDir.c_str());
    return 2;
  }
  SeasonResult result;
  std::string why;
  if (run_season(options, &result, &why) != 0) {
    fprintf(stderr, "camsim season: %s\n", why.c_str());
    return 1;
  }
  if (write_season_report(result, options, options.outDir) != 0) {
    fprintf(stderr, "camsim season: cannot write the report in %s\n", options.outDir.c_str());
    return 1;
  }
  // A season stopped by a finding lived fewer days than it was given: the figure per day is
  // of the days lived, as in season.json.
  const int daysLived = result.wakes.empty() ? 0 : result.wakes.back().day + 1;
  printf("%zu wake-up(s) in %d of %d day(s), seed %llu: %.0f s of host time (%.1f s per day)\n",
         result.wakes.size(), daysLived, options.days,
         static_cast<unsigned long long>(options.seed), result.hostSeconds,
         daysLived > 0 ? result.hostSeconds / daysLived : 0.0);
  if (!result.findings.empty()) {
    const WakeRecord& failed = result.wakes.back();
    printf("BROKEN: seed %llu, day %d, wake-up %d:\n",
           static_cast<unsigned long long>(options.seed), failed.day + 1, failed.index);
    for (const Finding& finding : result.findings) {
      printf("  invariant %d: %s\n", finding.invariant, finding.text.c_str());
    }
    printf("reproducer: %s/reproducer/replay.scenario\n", options.outDir.c_str());
    return 3;
  }
  printf("every invariant held; report: %s/season.html\n", options.outDir.c_str());
  return 0;
}

}  // namespace sim::season
