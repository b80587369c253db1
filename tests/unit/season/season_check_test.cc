// The season's checker proven on planted losses: card views made from folders as the card's
// copy would hold them, with real JPEGs (made by ffmpeg), an inbox, and the losses a camera can
// cause: a file overwritten, a file removed outside the oldest-media rule, an upload that
// differs, a card damaged by a clean wake-up, a wake-up without its handshake.
#include "sim/season/season_check.h"

#include <unistd.h>

#include <filesystem>
#include <fstream>
#include <iterator>
#include <string>

#include <gtest/gtest.h>

#include "sim/card/card_image.h"

namespace sim::season {
namespace {

namespace fs = std::filesystem;

std::string read(const fs::path& path) {
  std::ifstream in(path, std::ios::binary);
  return {std::istreambuf_iterator<char>(in), std::istreambuf_iterator<char>()};
}

void write(const fs::path& path, const std::string& bytes) {
  fs::create_directories(path.parent_path());
  std::ofstream(path, std::ios::binary | std::ios::trunc) << bytes;
}

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
      jpegs_[i] = read(file);
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
      write(copy / path, bytes);
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
  write(dir_ / "inbox/PICT0001.JPG", jpegs_[0]);
  EXPECT_TRUE(ledger.check_wake(before, uploaded, facts_).empty());
  // Delivered altered.
  write(dir_ / "inbox/PICT0001.JPG", jpegs_[1]);
  std::vector<Finding> findings = ledger.check_wake(before, uploaded, facts_);
  ASSERT_EQ(invariants(findings), std::vector<int>{2});
  EXPECT_NE(findings[0].text.find("reached the server's inbox altered"), std::string::npos);
  // Gone from the card, never delivered.
  fs::remove(dir_ / "inbox/PICT0001.JPG");
  findings = ledger.check_wake(before, uploaded, facts_);
  ASSERT_EQ(invariants(findings), std::vector<int>{2});
  EXPECT_NE(findings[0].text.find("without reaching"), std::string::npos);
}

TEST_F(SeasonCheck, AnEncryptedCopyIsComparedWithWhatTheServerDecrypted) {
  const fs::path plain = dir_ / "plain.jpg";
  const fs::path sealed = dir_ / "sealed.jpg";
  write(plain, jpegs_[1]);
  ASSERT_EQ(sim::card::run_program({"openssl", "enc", "-aes-128-cbc", "-in", plain.string(), "-out",
                                    sealed.string(), "-pass", "pass:x;reboot$(halt)"}),
            0);
  const std::string transmit = "primary/TRANSMIT/PICT0002.JPG";
  const CardView before =
      view({{kPict2, read(sealed)}, {transmit, read(sealed)}}, 500, {"old", "x;reboot$(halt)"});
  EXPECT_TRUE(before.files.at(kPict2).complete);
  Ledger ledger = ledger_with(before);
  write(dir_ / "inbox/PICT0002.JPG", jpegs_[1]);
  EXPECT_TRUE(ledger.check_wake(before, view({{kPict2, read(sealed)}}, 500), facts_).empty());
  // Without the password the picture cannot be shown to decode: it is not complete.
  EXPECT_FALSE(view({{kPict2, read(sealed)}}, 500, {"old"}).files.at(kPict2).complete);
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
  write(big, "");
  fs::resize_file(big, kLogsPackAboveBytes + 1);
  write(dir_ / "big/primary/logs.3.tar", "t");
  const CardView grown = read_card_copy((dir_ / "big").string(), {}, nullptr);
  EXPECT_EQ(invariants(ledger.check_wake(rotated, grown, facts_)), (std::vector<int>{6, 6}));
}

}  // namespace
}  // namespace sim::season
