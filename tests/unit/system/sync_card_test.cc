// The card in the sync and first-boot states: the answers to the Modem's request for the card,
// its return, and the format the Modem asks for in a first boot, on a two-partition card whose
// partitions keep their files while they are unmounted.
#include <sys/wait.h>

#include <filesystem>
#include <fstream>
#include <string>
#include <vector>

#include "app/links/modem/modem_sync_info.h"
#include "app/postprocess/naming/media_names.h"
#include "app/system/core/status_led.h"
#include "app/system/states/state_handlers.h"

#include "tests/support/card_fixture.h"
#include "tests/support/system_fixture.h"

namespace storage_test {
namespace {

using test_support::drain;

class SyncCardTest : public test_support::SystemTest {
 protected:
  void SetUp() override {
    SystemTest::SetUp();
    reset_card();
    reset_modem_sync_info();
    watch_commands(run_on_remountable_card);
    counterRestored = false;
    sysInfo->state = STATE_SYNC;
  }
  void TearDown() override {
    os_restore();
    SystemTest::TearDown();
  }

  // Hands `kind` to the state's handler and returns the kinds of the answers to the Modem.
  static std::vector<int32_t> modem_asks(int32_t kind, void (*handler)(EventMessage)) {
    handler(test_support::event_of_kind(kind));
    std::vector<int32_t> answers;
    for (const EventMessage& message : drain(modemQueue)) {
      answers.push_back(message.kind);
    }
    return answers;
  }
  static std::vector<int32_t> answer_to_card_request() {
    return modem_asks(EVENT_MODEM_REQ_GET_SD_CONTROL, handle_sync);
  }
};

TEST_F(SyncCardTest, CardRequestIsAnsweredByTheCaptureAndTheCard) {
  insert_card(2, 2);
  std::filesystem::create_directories("/sdcard/primary/DCIM/104DSCIM");
  std::ofstream("/sdcard/primary/DCIM/104DSCIM/PICT0007.JPG") << "\xFF\xD8 photo \xFF\xD9";
  struct Case {
    int32_t captureOngoing;
    int32_t storagePartition;
    int8_t moveFilesPending;
    int32_t answer;
  };
  for (const Case& c : {Case{1, 0, 0, MODEM_ASYNC_RESP_GET_SD_CARD_CONTROL_BUSY},
                        Case{1, 1, 0, MODEM_ASYNC_RESP_GET_SD_CARD_CONTROL_ERROR},
                        Case{2, 1, 1, MODEM_ASYNC_RESP_GET_SD_CARD_CONTROL_ERROR}}) {
    sysInfo->captureOngoing = c.captureOngoing;
    sysInfo->storagePartition = c.storagePartition;
    sysInfo->moveFilesPending = c.moveFilesPending;
    EXPECT_EQ(answer_to_card_request(), std::vector<int32_t>{c.answer}) << c.captureOngoing;
    EXPECT_EQ(sysInfo->primaryLent, 0);
  }

  // A capture on the secondary for the move: the primary goes; the counter was rebuilt from
  // the card, its partitions mounted afresh, before.
  sysInfo->captureOngoing = 1;
  sysInfo->moveFilesPending = 1;
  EXPECT_EQ(answer_to_card_request(),
            std::vector<int32_t>{MODEM_ASYNC_RESP_GET_SD_CARD_CONTROL_SUCCESS});
  EXPECT_EQ(sysInfo->primaryLent, 1);
  EXPECT_EQ(modemSyncInfo->sdPartitionCount, 2);
  EXPECT_EQ(fileCounter.folderNumber, 104);
  EXPECT_EQ(fileCounter.fileNumber, 7);
  const auto at = [](const std::string& command) {
    return std::find(commands.begin(), commands.end(), command) - commands.begin();
  };
  EXPECT_LT(at("mount -o noatime -o usefree /dev/mmcblk0p2 /sdcard/secondary"),
            at("echo /dev/mmcblk0p1 > /sys/devices/platform/jz-dwc2/dwc2/gadget/lun0/file"));
  EXPECT_FALSE(std::filesystem::exists("/sdcard/primary/DCIM"));

  commands.clear();
  EXPECT_EQ(answer_to_card_request(),
            std::vector<int32_t>{MODEM_ASYNC_RESP_GET_SD_CARD_CONTROL_SUCCESS});
  EXPECT_EQ(log_lines_with("SD CARD WITH MODEM"), 1);
  EXPECT_EQ(count_of("umount /sdcard/primary"), 0);

  // Back from the Modem: mounted here again and a free-space pass asked for; lent again on the
  // next request without a second rebuild.
  sysInfo->captureOngoing = 0;
  EXPECT_EQ(modem_asks(EVENT_MODEM_REQ_RET_SD_CONTROL, handle_sync),
            std::vector<int32_t>{MODEM_ASYNC_RESP_RETURN_SD_CARD_CONTROL});
  EXPECT_EQ(sysInfo->primaryLent, 0);
  EXPECT_EQ(sysInfo->sdCheckRequest, 1);
  EXPECT_TRUE(std::filesystem::exists("/sdcard/primary/DCIM/104DSCIM/PICT0007.JPG"));
  EXPECT_EQ(answer_to_card_request(),
            std::vector<int32_t>{MODEM_ASYNC_RESP_GET_SD_CARD_CONTROL_SUCCESS});
  EXPECT_EQ(log_lines_with("Last folder name is 104DSCIM"), 1);
}

// The first boot's format at the Modem's request: three tries at most, the answer says how it
// went, and a card that never formats shows red.
int partitionings = 0;
int failing_partitionings = 0;
int format_shell(const char* command) {
  const std::string_view text = command;
  if (text.starts_with("(echo")) {
    record_command(command);
    return ++partitionings <= failing_partitionings ? W_EXITCODE(1, 0) : 0;
  }
  if (text.starts_with("mkfs.vfat")) {
    record_command(command);
    return 0;
  }
  return run_on_remountable_card(command);
}

TEST_F(SyncCardTest, FirstBootFormatTriesThreeTimes) {
  struct Case {
    int failures;
    int32_t answer;
  };
  for (const Case& c :
       {Case{2, MODEM_ASYNC_RESP_FORMATTING_AT_TRIES}, Case{3, MODEM_ASYNC_RESP_FORMATTING_FAIL}}) {
    SCOPED_TRACE(c.failures);
    SetUp();
    insert_card(1, 1);
    watch_commands(format_shell);
    partitionings = 0;
    failing_partitionings = c.failures;
    sysInfo->state = STATE_FIRSTBOOT;
    cameraConfig->validation_active = 1;
    cameraConfig->sdformat_active = 1;
    modemSyncInfo->formatRequest = 4;
    EXPECT_EQ(modem_asks(EVENT_MODEM_REQ_SD_FORMAT, handle_firstboot),
              std::vector<int32_t>{c.answer});
    EXPECT_EQ(partitionings, std::min(c.failures + 1, 3));
    for (int attempt = 1; attempt <= 3; ++attempt) {
      EXPECT_EQ(log_lines_with("MODEM_ASYNC_RESP_FORMATTING_AT_TRIES in sd format TRIES: " +
                               std::to_string(attempt)),
                attempt <= c.failures ? 1 : 0);
    }
    EXPECT_EQ(log_lines_with("SD Format Success"), c.failures < 3 ? 1 : 0);
    EXPECT_EQ(statusLedRed, c.failures < 3 ? STATUS_LED_OFF : STATUS_LED_ON);
    EXPECT_EQ(modemSyncInfo->formatRunning, 0);
    TearDown();
  }
}

}  // namespace
}  // namespace storage_test
