// The simulated server's inbox: what an upload of the lent partition's TRANSMIT folder leaves
// there, on a real FAT image (mkfs.vfat, mtools) with pictures sealed by openssl as the camera
// seals them.
#include "sim/modem/server_inbox.h"

#include <unistd.h>

#include <filesystem>
#include <string>

#include <gtest/gtest.h>

#include "tests/support/file_lines.h"

namespace sim {
namespace {

namespace fs = std::filesystem;

using test_support::command_status;
using test_support::read_file;
using test_support::write_file;

class ServerInbox : public ::testing::Test {
 protected:
  void SetUp() override {
    dir_ = fs::temp_directory_path() / ("server-inbox-" + std::to_string(getpid()));
    fs::remove_all(dir_);
    fs::create_directories(dir_ / "inbox");
    image_ = (dir_ / "card.img").string();
    ASSERT_EQ(
        command_status("mkfs.vfat -C " + image_ +
                       " 8192 > /dev/null && MTOOLS_SKIP_CHECK=1 mmd -i " + image_ + " ::TRANSMIT"),
        0);
    // Not a whole picture, but what the server looks for: the start and end markers.
    picture_ = std::string("\xff\xd8\xff\xe0", 4) + std::string(300, 'x') + "\xff\xd9";
    write_file(dir_ / "plain.jpg", picture_);
  }
  void TearDown() override { fs::remove_all(dir_); }

  // Seals the picture with `password` as PICT0001.JPG in TRANSMIT and returns the sealed bytes:
  // "Salted__", the salt and the cipher text, as the camera's openssl writes them, with a fixed
  // salt so that every run meets the same wrong passwords.
  std::string put_sealed(const std::string& password) {
    const std::string body = (dir_ / "body").string();
    EXPECT_EQ(command_status("openssl enc -aes-128-cbc -S 0102030405060708 -in " +
                             (dir_ / "plain.jpg").string() + " -out " + body +
                             " -pass 'pass:" + password + "'"),
              0);
    const std::string sealed =
        "Salted__" + std::string("\x01\x02\x03\x04\x05\x06\x07\x08", 8) + read_file(body);
    write_file(dir_ / "PICT0001.JPG", sealed);
    EXPECT_EQ(command_status("MTOOLS_SKIP_CHECK=1 mcopy -o -i " + image_ + " " +
                             (dir_ / "PICT0001.JPG").string() + " ::TRANSMIT/"),
              0);
    return sealed;
  }

  ModemUpload upload(const std::string& password) {
    ModemUpload result;
    upload_transmit({image_, 0}, (dir_ / "inbox").string(), password, &result);
    return result;
  }

  fs::path dir_;
  std::string image_;
  std::string picture_;
};

TEST_F(ServerInbox, TheRightPasswordGivesThePictureAndAWrongOneKeepsTheFileAsItCame) {
  const std::string sealed = put_sealed("owl; $(true)");
  ModemUpload right = upload("owl; $(true)");
  EXPECT_EQ(right.files, std::vector<std::string>{"PICT0001.JPG"});
  EXPECT_TRUE(right.notJpeg.empty());
  EXPECT_EQ(read_file(dir_ / "inbox/PICT0001.JPG"), picture_);

  // A password openssl refuses, and one whose noise passes its padding check (about one in
  // 256): the server keeps the sealed file in both cases, never noise in place of a picture.
  int refused = 0;
  int passed = 0;
  for (int i = 0; i < 2000 && (refused == 0 || passed == 0); ++i) {
    const std::string wrong = "wrong" + std::to_string(i);
    const bool decrypts =
        command_status("openssl enc -d -aes-128-cbc -in " + (dir_ / "PICT0001.JPG").string() +
                       " -out /dev/null -pass pass:" + wrong) == 0;
    if (decrypts ? passed > 0 : refused > 0) {
      continue;
    }
    (decrypts ? passed : refused) += 1;
    SCOPED_TRACE(wrong + (decrypts ? ": passes the padding check" : ": refused"));
    const ModemUpload result = upload(wrong);
    EXPECT_EQ(result.notJpeg, std::vector<std::string>{"PICT0001.JPG (does not decrypt)"});
    EXPECT_EQ(read_file(dir_ / "inbox/PICT0001.JPG"), sealed);
  }
  EXPECT_EQ(refused, 1);
  EXPECT_EQ(passed, 1) << "no wrong password of 2000 passed openssl's padding check";
}

}  // namespace
}  // namespace sim
