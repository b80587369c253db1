// The season's checker proven on planted losses: card views made from folders as the card's
// copy would hold them, with real JPEGs (made by ffmpeg), an inbox, and the losses a camera can
// cause: a file overwritten, a file removed outside the oldest-media rule, an upload that
// differs, a card damaged by a clean wake-up, a wake-up without its handshake, a configuration
// that fell back to its defaults or is not the server's last, an ERR line nothing explains.
#include "sim/season/season_check.h"

#include <unistd.h>

#include <filesystem>
#include <fstream>
#include <iterator>
#include <string>

#include <gtest/gtest.h>

#include "sim/card/card_image.h"
#include "sim/season/season_config.h"
#include "sim/season/season_err_lines.h"

#include "tests/support/file_lines.h"

namespace sim::season {
namespace {

namespace fs = std::filesystem;

using test_support::read_file;
using test_support::write_file;

constexpr int64_t kMiB = 1024 * 1024;

class SeasonCheck : public ::testing::Test {
 protected:
  void SetUp() override {
    dir_ = fs::temp_directory_path() / ("season-check-" + std::to_string(getpid()));
    fs::remove_all(dir_);
    fs::create_directories(dir_);
    // Three different pictures.
    for (int i = 0; i < 3; ++i) {
      const std::string file = (dir_ / ("p" + std::to_string(i) + ".jpg")).string();
      ASSERT_EQ(sim::card::run_program({"ffmpeg", "-loglevel", "error", "-f", "lavfi", "-i",
                                        "testsrc=size=64x48:rate=1:duration=1", "-vf",
                                        "hue=h=" + std::to_string(i * 90), "-frames:v", "1", file}),
                0);
      jpegs_[i] = read_file(file);
    }
    facts_.inboxDir = (dir_ / "inbox").string();
    facts_.handshake = true;
  }
  void TearDown() override { fs::remove_all(dir_); }

  // The card copy holds exactly `files` (path -> bytes); its view with `freeMb` free.
  CardView view(const std::map<std::string, std::string>& files, int64_t freeMb,
                const std::vector<std::string>& passwords = {}) {
    const fs::path copy = dir_ / ("copy" + std::to_string(views_++));
    for (const auto& [path, bytes] : files) {
      write_file(copy / path, bytes);
    }
    CardView result = read_card_copy(copy.string(), passwords, nullptr);
    result.primaryFreeBytes = freeMb * kMiB;
    return result;
  }

  // The ledger after a first wake-up that left `files`.
  Ledger ledger_with(const CardView& first) {
    Ledger ledger;
    EXPECT_TRUE(ledger.check_wake(CardView{}, first, facts_).empty());
    return ledger;
  }

  static std::vector<int> invariants(const std::vector<Finding>& findings) {
    std::vector<int> numbers;
    for (const Finding& finding : findings) {
      numbers.push_back(finding.invariant);
    }
    return numbers;
  }

  fs::path dir_;
  int views_ = 0;
  std::array<std::string, 3> jpegs_;
  WakeFacts facts_;
};

const std::string kPict1 = "primary/DCIM/100DSCIM/PICT0001.JPG";
const std::string kPict2 = "primary/DCIM/100DSCIM/PICT0002.JPG";
const std::string kPict3 = "primary/DCIM/100DSCIM/PICT0003.JPG";

TEST_F(SeasonCheck, KeptMovedAndAddedFilesPassAndAnOverwriteFailsTheLedger) {
  const CardView first =
      view({{kPict1, jpegs_[0]}, {"secondary/DCIM/100DSCIM/PICT0002.JPG", jpegs_[1]}}, 500);
  EXPECT_TRUE(first.files.at(kPict1).complete);
  Ledger ledger = ledger_with(first);
  EXPECT_EQ(ledger.size(), 2u);
  // The secondary's picture joins the primary; a new one comes.
  const CardView second =
      view({{kPict1, jpegs_[0]}, {kPict2, jpegs_[1]}, {kPict3, jpegs_[2]}}, 400);
  EXPECT_TRUE(ledger.check_wake(first, second, facts_).empty());
  EXPECT_EQ(ledger.size(), 3u);
  // The lent-card case: a picture taken while the card was lent moved over PICT0001.
  const CardView third = view({{kPict1, jpegs_[2]}, {kPict2, jpegs_[1]}}, 400);
  const std::vector<Finding> findings = ledger.check_wake(second, third, facts_);
  ASSERT_EQ(invariants(findings), std::vector<int>{1});
  EXPECT_NE(findings[0].text.find(kPict1 + " was overwritten"), std::string::npos);
}

TEST_F(SeasonCheck, OnlyTheOldestMediaRuleWhileTheCardIsLowOrARequestedFormatMayRemoveFiles) {
  const CardView full = view({{kPict1, jpegs_[0]}, {kPict2, jpegs_[1]}, {kPict3, jpegs_[2]}}, 50);
  facts_.minFreeMb = 100;
  {
    // The oldest goes while free space is below the minimum: the rule.
    Ledger ledger = ledger_with(full);
    EXPECT_TRUE(
        ledger.check_wake(full, view({{kPict2, jpegs_[1]}, {kPict3, jpegs_[2]}}, 120), facts_)
            .empty());
    EXPECT_EQ(ledger.removed_by_rule(), 1);
  }
  {
    // A newer one goes while an older one stays.
    Ledger ledger = ledger_with(full);
    const std::vector<Finding> findings =
        ledger.check_wake(full, view({{kPict1, jpegs_[0]}, {kPict3, jpegs_[2]}}, 120), facts_);
    ASSERT_EQ(invariants(findings), std::vector<int>{1});
    EXPECT_NE(findings[0].text.find(kPict2 + " was removed outside the oldest-media rule"),
              std::string::npos);
  }
  {
    // The oldest goes with plenty of room before and after.
    const CardView roomy = view({{kPict1, jpegs_[0]}, {kPict2, jpegs_[1]}}, 900);
    Ledger ledger = ledger_with(roomy);
    EXPECT_EQ(invariants(ledger.check_wake(roomy, view({{kPict2, jpegs_[1]}}, 900), facts_)),
              std::vector<int>{1});
  }
  {
    // A format the season asked for empties the card.
    Ledger ledger = ledger_with(full);
    facts_.formatAsked = true;
    EXPECT_TRUE(ledger.check_wake(full, view({}, 1900), facts_).empty());
    EXPECT_EQ(ledger.removed_by_format(), 3);
  }
}

TEST_F(SeasonCheck, AnIncompletePictureIsNotInTheLedger) {
  const std::string torn = jpegs_[0].substr(0, jpegs_[0].size() / 2);
  const CardView first = view({{kPict1, torn}}, 500);
  EXPECT_FALSE(first.files.at(kPict1).complete);
  Ledger ledger = ledger_with(first);
  EXPECT_EQ(ledger.size(), 0u);
  EXPECT_TRUE(ledger.check_wake(first, view({}, 500), facts_).empty());
}

TEST_F(SeasonCheck, TransmitCopiesReachTheInboxAsTheyWereOrStay) {
  const std::string transmit = "primary/TRANSMIT/PICT0001.JPG";
  const CardView before = view({{kPict1, jpegs_[0]}, {transmit, jpegs_[0]}}, 500);
  Ledger ledger = ledger_with(before);
  const CardView uploaded = view({{kPict1, jpegs_[0]}}, 500);
  facts_.sync = true;
  // The sync failed: the copy stays for the next one.
  EXPECT_TRUE(ledger.check_wake(before, before, facts_).empty());
  // Delivered as it was.
  write_file(dir_ / "inbox/PICT0001.JPG", jpegs_[0]);
  EXPECT_TRUE(ledger.check_wake(before, uploaded, facts_).empty());
  // Delivered altered.
  write_file(dir_ / "inbox/PICT0001.JPG", jpegs_[1]);
  std::vector<Finding> findings = ledger.check_wake(before, uploaded, facts_);
  ASSERT_EQ(invariants(findings), std::vector<int>{2});
  EXPECT_NE(findings[0].text.find("reached the server's inbox altered"), std::string::npos);
  // Gone from the card, never delivered.
  fs::remove(dir_ / "inbox/PICT0001.JPG");
  findings = ledger.check_wake(before, uploaded, facts_);
  ASSERT_EQ(invariants(findings), std::vector<int>{2});
  EXPECT_NE(findings[0].text.find("without reaching"), std::string::npos);
}

// A capture a cut interrupts leaves files the camera's next start removes, and its number is
// taken again: allowed at the next wake-up only, and only for files that wake-up left new.
TEST_F(SeasonCheck, FilesOfACaptureACutInterruptedMayGoAtTheNextStartOnly) {
  const std::string transmit = "primary/TRANSMIT/PICT0002.JPG";
  const CardView start = view({{kPict1, jpegs_[0]}}, 500);
  const CardView cut = view({{kPict1, jpegs_[0]}, {kPict2, jpegs_[1]}, {transmit, jpegs_[1]}}, 500);
  // The next capture takes the number again.
  const CardView retaken =
      view({{kPict1, jpegs_[0]}, {kPict2, jpegs_[2]}, {transmit, jpegs_[2]}}, 500);
  // A wake-up that ends in a power cut (or, with `pulled`, loses its card) from `from` to `to`.
  const auto interrupted = [&](Ledger& ledger, const CardView& from, const CardView& to,
                               bool pulled) {
    facts_.cardPulled = pulled;
    facts_.injectedCut = !pulled;
    facts_.handshake = pulled;
    EXPECT_TRUE(ledger.check_wake(from, to, facts_).empty());
    facts_.cardPulled = false;
    facts_.injectedCut = false;
    facts_.handshake = true;
  };
  for (const bool pulled : {false, true}) {
    SCOPED_TRACE(pulled ? "card pulled" : "power cut");
    Ledger ledger = ledger_with(start);
    interrupted(ledger, start, cut, pulled);
    EXPECT_TRUE(ledger.check_wake(cut, retaken, facts_).empty());
    EXPECT_EQ(ledger.removed_after_a_cut(), 1);
  }
  // A wake-up later the files are the owner's like any other.
  Ledger later = ledger_with(start);
  interrupted(later, start, cut, false);
  EXPECT_TRUE(later.check_wake(cut, cut, facts_).empty());
  EXPECT_EQ(invariants(later.check_wake(cut, retaken, facts_)), (std::vector<int>{1, 2}));
  // Files older than the cut are not its leftovers.
  Ledger older = ledger_with(cut);
  interrupted(older, cut, cut, false);
  EXPECT_EQ(invariants(older.check_wake(cut, retaken, facts_)), (std::vector<int>{1, 2}));
}

TEST_F(SeasonCheck, AnEncryptedCopyIsComparedWithWhatTheServerDecrypted) {
  const fs::path plain = dir_ / "plain.jpg";
  const fs::path sealed = dir_ / "sealed.jpg";
  write_file(plain, jpegs_[1]);
  ASSERT_EQ(sim::card::run_program({"openssl", "enc", "-aes-128-cbc", "-in", plain.string(), "-out",
                                    sealed.string(), "-pass", "pass:x;reboot$(halt)"}),
            0);
  const std::string transmit = "primary/TRANSMIT/PICT0002.JPG";
  const CardView before = view({{kPict2, read_file(sealed)}, {transmit, read_file(sealed)}}, 500,
                               {"old", "x;reboot$(halt)"});
  EXPECT_TRUE(before.files.at(kPict2).complete);
  Ledger ledger = ledger_with(before);
  write_file(dir_ / "inbox/PICT0002.JPG", jpegs_[1]);
  EXPECT_TRUE(ledger.check_wake(before, view({{kPict2, read_file(sealed)}}, 500), facts_).empty());
  // Without the password the picture cannot be shown to decode: it is not complete.
  EXPECT_FALSE(view({{kPict2, read_file(sealed)}}, 500, {"old"}).files.at(kPict2).complete);
}

TEST_F(SeasonCheck, NewCardDamageAndAWakeUpWithoutItsHandshakeAreFindings) {
  CardView clean = view({{kPict1, jpegs_[0]}}, 500);
  CardView damaged = clean;
  damaged.fsckClean = false;
  damaged.fsckReport = "mmcblk0p1: NOT CLEAN";
  Ledger ledger = ledger_with(clean);
  EXPECT_EQ(invariants(ledger.check_wake(clean, damaged, facts_)), std::vector<int>{3});
  // A card a cut left dirty: a capture need not repair it, a sync must.
  EXPECT_TRUE(ledger.check_wake(damaged, damaged, facts_).empty());
  facts_.sync = true;
  EXPECT_EQ(invariants(ledger.check_wake(damaged, damaged, facts_)), std::vector<int>{3});
  // So may a card pulled out while mounted, even in a sync that ends in the handshake.
  facts_.cardPulled = true;
  EXPECT_TRUE(ledger.check_wake(clean, damaged, facts_).empty());
  facts_.cardPulled = false;
  // An injected cut may leave it so; a wake-up that just stops may not.
  facts_.handshake = false;
  facts_.injectedCut = true;
  EXPECT_TRUE(ledger.check_wake(clean, damaged, facts_).empty());
  facts_.injectedCut = false;
  facts_.overBudget = true;
  EXPECT_EQ(invariants(ledger.check_wake(clean, clean, facts_)), std::vector<int>{5});
}

TEST_F(SeasonCheck, LogsThatOutgrowTheirPackingOrAThirdGenerationAreFindings) {
  const CardView rotated = view({{"primary/logs/app_0007.log", "boot\n"},
                                 {"primary/logs.1.tar", "t"},
                                 {"primary/logs.2.tar", "t"}},
                                500);
  Ledger ledger = ledger_with(rotated);
  EXPECT_EQ(rotated.logTars.size(), 2u);
  EXPECT_TRUE(ledger.check_wake(rotated, rotated, facts_).empty());
  const fs::path big = dir_ / "big/primary/logs/app_0008.log";
  write_file(big, "");
  fs::resize_file(big, kLogsPackAboveBytes + 1);
  write_file(dir_ / "big/primary/logs.3.tar", "t");
  const CardView grown = read_card_copy((dir_ / "big").string(), {}, nullptr);
  EXPECT_EQ(invariants(ledger.check_wake(rotated, grown, facts_)), (std::vector<int>{6, 6}));
}

// A configuration file as the camera writes it: magic, CRC, the defaults with `changes`.
std::string config_file(const ConfigValues& changes) {
  ConfigValues values = default_configuration();
  for (const auto& [key, value] : changes) {
    values[key] = value;
  }
  std::string body;
  for (const auto& [key, value] : values) {
    body += key + "=" + value + "\n";
  }
  const uint32_t crc = config_crc(body);
  std::string file = "\x34\x12\xcd\xab";
  for (int i = 0; i < 4; ++i) {
    file += static_cast<char>((crc >> (8 * i)) & 0xff);
  }
  return file + body;
}

// The Modem's line as the board records it: the server's password, then its configuration.
std::string modem_line(const std::string& password, const std::string& config) {
  return R"({"detail":"password: \")" + password +
         R"(\"","from":"modem","member":"get_crypto_password_response","sent":true,"to":"camera"})"
         "\n" +
         R"({"detail":")" + config +
         R"(","from":"modem","line":"ttyS0","member":"get_camera_configuration_response","retry":false,"sent":true,"t_ms":9,"to":"camera"})"
         "\n";
}

TEST_F(SeasonCheck, TheConfigurationFilesHoldTheServersLastAcceptedValuesNeverTheDefaults) {
  // The CRC's known answer for "123456789" (starting from 0, never inverted).
  EXPECT_EQ(config_crc("123456789"), 0x2DFD2D88u);
  // Hostile values are replaced as the camera's intake does; a password keeps its shell
  // characters; a line of the camera's own record, quotes escaped as the board writes them.
  const std::vector<ServerMessage> hostile = server_messages(modem_line(
      R"(x;reboot$(halt)`id`\\')",
      "captureMode: 7 multishot: 0 timelapseDelay: 0 videoLength: 4000000000 pirSensitivity: 250 "
      "syncFrequency: 3 powerSources: 1 powerSources: 0 smallPicWidth: 641 cellular: true "
      "minFreeSpaceSDCard: 0 warningLEDConfig { active: false timing { duration: 5 "
      "maxTimeMultiplicator: 0 } pattern: 3 } wdLEDStatus: 2"));
  ASSERT_EQ(hostile.size(), 2u);
  const ConfigValues expected = {{"capture_mode", "0"},
                                 {"multishot", "1"},
                                 {"timelapse_delay", "60"},
                                 {"video_length", "15"},
                                 {"pir_sensitivity", "250"},
                                 {"sync_frequency", "6"},
                                 {"power_sources[0]", "1"},
                                 {"power_sources[1]", "0"},
                                 {"preview_width", "642"},
                                 {"cellular", "1"},
                                 {"min_free_space_sdcard", "100"},
                                 {"warning_light_stat", "0"},
                                 {"warning_light_duration", "15"},
                                 {"warning_light_maxTimeMultiplicator", "5"},
                                 {"warning_light_pattern", "0"},
                                 {"wdLEDStatus", "1"}};
  EXPECT_EQ(hostile[1].change, expected);
  EXPECT_EQ(hostile[0].change.at("encrypt_password"), "x;reboot$(halt)`id`'");

  const fs::path partition = dir_ / "config";
  const auto save = [&](const std::string& primary, const std::string& backup) {
    write_file(partition / "cam.cfg", primary);
    write_file(partition / "cam_backup.cfg", backup);
    return read_camera_configuration(partition.string());
  };
  ConfigValues accepted = expected;
  accepted["encrypt_password"] = "x;reboot$(halt)`id`'";
  ConfigExpectation expectation;
  expectation.wake_ended(hostile, true);
  // Both files hold the accepted values; a damaged primary leaves the backup's.
  EXPECT_TRUE(expectation.check(save(config_file(accepted), config_file(accepted)), 3).empty());
  std::string damaged = config_file(accepted);
  damaged[20] ^= 1;
  EXPECT_TRUE(expectation.check(save(damaged, config_file(accepted)), 3).empty());
  {
    // A value that is not the server's last accepted one: the hostile multishot taken as sent.
    ConfigExpectation copy = expectation;
    ConfigValues taken = accepted;
    taken["multishot"] = "0";
    const std::vector<Finding> findings = copy.check(save(config_file(taken), ""), 4);
    ASSERT_EQ(invariants(findings), std::vector<int>{4});
    EXPECT_NE(findings[0].text.find("multishot: expected '1'"), std::string::npos);
    EXPECT_NE(findings[0].text.find("found '0'"), std::string::npos);
  }
  {
    // Fallen back to the defaults with nothing damaged.
    ConfigExpectation copy = expectation;
    const std::vector<Finding> findings = copy.check(save(config_file({}), config_file({})), 5);
    ASSERT_FALSE(findings.empty());
    EXPECT_NE(findings[0].text.find("fell back to the defaults"), std::string::npos);
    EXPECT_EQ(invariants(findings), std::vector<int>(findings.size(), 4));
  }
  // Both files damaged: the camera's next start will take its defaults.
  const std::vector<Finding> findings = expectation.check(save(damaged, "short"), 6);
  ASSERT_EQ(invariants(findings), std::vector<int>{4});
  EXPECT_NE(findings[0].text.find("neither configuration file is valid"), std::string::npos);

  // A wake-up cut short may have saved the password alone (it comes first), or nothing; one
  // that ended in the handshake took both.
  ConfigExpectation cut;
  cut.wake_ended(server_messages(modem_line("a", "multishot: 3")), true);
  cut.wake_ended(server_messages(modem_line("b", "multishot: 2")), false);
  ConfigExpectation other = cut;
  EXPECT_TRUE(
      cut.check(save(config_file({{"multishot", "3"}, {"encrypt_password", "b"}}), ""), 7).empty());
  // The configuration without the password the server sent first cannot be.
  EXPECT_EQ(invariants(other.check(save(config_file({{"multishot", "2"}}), ""), 8)),
            std::vector<int>{4});
}

TEST_F(SeasonCheck, AnErrLineNeitherOfNormalWorkNorOfAnInjectedFaultIsAFinding) {
  const std::string log = "primary/logs/app_0002.log";
  const std::string normal =
      "2024-06-01 08:16:49 : MAIN : ERR : umount /sdcard/primary: run fail, exit code [ 32 ]\n";
  const std::string defaults =
      "2024-06-01 08:16:50 : CONF_SET : ERR : Config: Creating config files with defaults\n";
  const CardView first = view({{log, normal}}, 500);
  const CardView second = view({{log, normal + "... : MAIN : INFO : ok\n" + defaults + defaults},
                                {"primary/logs/app_0003.log", normal}},
                               500);
  // Only the lines the wake-up added count, each reported once.
  const std::vector<std::string> added = new_err_lines(first, second);
  EXPECT_EQ(added.size(), 3u);
  EXPECT_TRUE(check_err_lines(new_err_lines(CardView{}, first), {}, {}, false, 2).empty());
  // The defaults are normal on a fresh board's first start only.
  EXPECT_TRUE(check_err_lines(added, {}, {}, true, 1).empty());
  const std::vector<Finding> findings = check_err_lines(added, {Fault::kPowerCut}, {}, false, 9);
  ASSERT_EQ(invariants(findings), std::vector<int>{5});
  EXPECT_NE(findings[0].text.find("\"Config: Creating config files with defaults\""),
            std::string::npos);
  // A capture cut short is reported at the next start: a cut of the wake-up before explains it,
  // a cut of the same wake-up does not.
  const std::vector<std::string> cutShort = {
      "Capture 100DSCIM/0066 on /sdcard/primary was cut short",
      "Removed /sdcard/primary/TRANSMIT/.PICT0066.JPG.part: left over by a power loss"};
  EXPECT_TRUE(check_err_lines(cutShort, {}, {Fault::kCardPulled}, false, 10).empty());
  EXPECT_EQ(invariants(check_err_lines(cutShort, {Fault::kPowerCut}, {}, false, 10)),
            (std::vector<int>{5, 5}));
  // The repair before a sync exits 1 when it mends a partition: normal for one the board found
  // not clean at the start, whichever wake-up damaged it; a finding for a clean one.
  const std::vector<std::string> repair = {
      "/system/bin/fsck.fat -y /dev/mmcblk0p1: run fail, exit code [ 1 ]"};
  const std::string_view dirtyPrimary =
      "mmcblk0p1: NOT CLEAN, Dirty bit is set.\nmmcblk0p2: clean, 3 files\n";
  EXPECT_TRUE(check_err_lines(repair, {}, {}, false, 11, dirtyPrimary).empty());
  EXPECT_EQ(invariants(check_err_lines(repair, {}, {}, false, 11,
                                       "mmcblk0p1: clean, 3 files\nmmcblk0p2: NOT CLEAN, x\n")),
            std::vector<int>{5});
}

TEST_F(SeasonCheck, ErrLinesOfALogPackedInTheSameWakeUpAreReadFromTheArchive) {
  const std::string normal =
      "2024-06-01 08:16:49 : MAIN : ERR : umount /sdcard/primary: run fail, exit code [ 32 ]\n";
  const std::string lost = "2024-06-01 08:16:50 : SD_CONF : ERR : the card went away\n";
  const CardView first = view({{"primary/logs/app_0002.log", normal}}, 500);
  // The wake-up appends to the log, then packs the folder as the camera does and empties it.
  const fs::path packing = dir_ / "packing";
  write_file(packing / "logs/app_0002.log", normal + lost);
  write_file(packing / "logs/app_0003.log", normal);
  ASSERT_EQ(sim::card::run_program(
                {"tar", "-C", packing.string(), "-cf", (packing / "logs.1.tar").string(), "logs"}),
            0);
  const CardView packed = view({{"primary/logs.1.tar", read_file(packing / "logs.1.tar")}}, 500);
  EXPECT_EQ(packed.logTars, std::vector<std::string>{"logs.1.tar"});
  EXPECT_EQ(new_err_lines(first, packed),
            (std::vector<std::string>{"the card went away",
                                      "umount /sdcard/primary: run fail, exit code [ 32 ]"}));
}

TEST(SeasonErrLines, TheReadmeListsTheNormalErrLinesTheSeasonAccepts) {
  std::ifstream readme(SIM_README);
  ASSERT_TRUE(readme) << SIM_README;
  std::vector<std::string> listed;
  bool inSection = false;
  for (std::string line; std::getline(readme, line);) {
    if (line.starts_with("## ")) {
      inSection = line == "## ERR lines every run shows";
    } else if (inSection && line.starts_with("- \"")) {
      // The item's text runs to the quote before its colon: "...": why.
      const std::size_t end = line.find("\": ", 3);
      ASSERT_NE(end, std::string::npos) << line;
      listed.push_back(line.substr(3, end - 3));
    }
  }
  std::vector<std::string> table;
  for (const NormalErrLine& normal : kNormalErrLines) {
    table.emplace_back(normal.text);
  }
  std::sort(listed.begin(), listed.end());
  std::sort(table.begin(), table.end());
  EXPECT_EQ(listed, table);
}

}  // namespace
}  // namespace sim::season
