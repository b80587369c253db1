// The card check that publishes the SD state, and the start-up check with its retries.
#include "app/storage/sd_card.h"

#include <cstdio>
#include <mutex>

#include "app/config/camera_config.h"
#include "app/indicators/leds/led_requests.h"
#include "app/records/log/app_log.h"
#include "app/system/core/shell.h"
#include "app/system/core/status_led.h"
#include "app/system/core/sys_info.h"
#include "app/system/os/os.h"

std::atomic<int> sdState{SD_NOT_INSERTED};
std::atomic<bool> sdInitInProgress{false};
std::atomic<bool> sdMountedOnce{false};

namespace {

enum class Verdict { kGood, kNotInserted, kReadOnly, kNotFormatted, kPrimaryAway, kNoDevice };

constexpr int kInitTries = 11;
constexpr unsigned kInitRetryMs = 100;

// One card check at a time: the card monitor, the states and the format button all check.
std::mutex checkLock;

// The SD LEDs follow the card only where a person is looking: test capture, first boot and
// test mode.
bool sd_shown_on_leds() {
  const int32_t state = sysInfo->state;
  return state == STATE_CAPTURETEST || state == STATE_FIRSTBOOT || sysInfo->testMode;
}

void show_fault() {
  show_sd_fault();
  if (sysInfo->state == STATE_FIRSTBOOT) {
    set_status_led(STATUS_LED_RED, STATUS_LED_ON);
  }
}

// The card-detect line reads 1 when the slot is empty. A line that cannot be read says
// nothing, and the block device decides instead.
bool slot_empty() {
  FILE* file = fopen(kCardDetectPath, "r");
  if (file == nullptr) {
    return false;
  }
  int value = 0;
  const bool read = fscanf(file, "%d", &value) == 1;
  fclose(file);
  return read && value == 1;
}

bool partition_mounted(int partition) {
  return run_shellf("mount | grep -nri mmcblk0p%d > /dev/null", partition) == 0;
}

bool partition_read_only(int partition) {
  char command[64];
  snprintf(command, sizeof command, "mount | grep -nir mmcblk0p%d", partition);
  return get_mount_mode(command) == "ro";
}

bool any_tested_partition_read_only(int count) {
  if (count == 2 && !sysInfo->primaryLent) {
    return partition_read_only(1) || partition_read_only(2);
  }
  if (count == 2 || count == 1) {
    return partition_read_only(1);
  }
  return false;
}

Verdict remount(int count) {
  if (run_shell("ls /dev/mmcblk0") != 0) {
    return Verdict::kNoDevice;
  }
  if (count == 2) {
    run_shell("umount /sdcard/primary");
    run_shell("umount /sdcard/secondary");
    const bool mounted =
        run_shell(
            "mount -t vfat -o noatime -o usefree /dev/mmcblk0p1 /sdcard/primary > /dev/null") ==
            0 &&
        run_shell(
            "mount -t vfat -o noatime -o usefree /dev/mmcblk0p2 /sdcard/secondary > "
            "/dev/null") == 0;
    return mounted ? Verdict::kGood : Verdict::kNotFormatted;
  }
  if (count == 1) {
    run_shell("umount /sdcard/primary");
    return run_shell(
               "mount -t vfat -o noatime -o usefree /dev/mmcblk0p1 /sdcard/primary > "
               "/dev/null") == 0
               ? Verdict::kGood
               : Verdict::kNotFormatted;
  }
  return Verdict::kNotFormatted;
}

Verdict examine(int count) {
  if (any_tested_partition_read_only(count)) {
    return Verdict::kReadOnly;
  }
  if (slot_empty()) {
    return Verdict::kNotInserted;
  }
  if (count == 1) {
    if (partition_mounted(1)) {
      return Verdict::kGood;
    }
    if (sysInfo->primaryLent) {
      return Verdict::kPrimaryAway;
    }
  } else if (count == 2) {
    const bool primary = partition_mounted(1);
    const bool secondary = partition_mounted(2);
    if ((primary && secondary) || (sysInfo->primaryLent && secondary)) {
      return Verdict::kGood;
    }
  }
  return remount(count);
}

// The configuration's sdStatus is written first, as the capture paths test it; sdState last.
int publish(int state) {
  sdState = state;
  return state;
}

int publish_verdict(Verdict verdict) {
  const bool quiet = sdInitInProgress;
  switch (verdict) {
    case Verdict::kGood:
      cameraConfig->sdStatus = SD_MOUNTED;
      if (!quiet && sd_shown_on_leds()) {
        show_sd_good();
      }
      allow_warning_light_if_charged();
      return publish(SD_MOUNTED);
    case Verdict::kPrimaryAway:
      cameraConfig->sdStatus = SD_PRIMARY_AWAY;
      if (sd_shown_on_leds()) {
        show_sd_good();
      }
      return publish(SD_PRIMARY_AWAY);
    case Verdict::kReadOnly:
    case Verdict::kNotFormatted:
      cameraConfig->sdStatus = SD_FAULT;
      if (verdict == Verdict::kReadOnly) {
        app_log(MOD_SD_CONF, LEVEL_ERR, "ERROR : SD CARD IS READ ONLY:\n");
      }
      if (!quiet) {
        if (verdict == Verdict::kNotFormatted) {
          app_log(MOD_SD_CONF, LEVEL_ERR, "ERROR : SD NOT FORMATED:\n");
        }
        if (sd_shown_on_leds()) {
          show_fault();
        }
      }
      return publish(SD_FAULT);
    case Verdict::kNotInserted:
      cameraConfig->sdStatus = SD_NOT_INSERTED;
      run_shell("umount  /sdcard/secondary");
      run_shell("umount  /sdcard/primary");
      if (!quiet) {
        app_log(MOD_SD_CONF, LEVEL_ERR, "ERROR : SD NOT INSERTED:\n");
        if (sd_shown_on_leds()) {
          show_fault();
        }
      }
      return publish(SD_NOT_INSERTED);
    case Verdict::kNoDevice:
      return 0;
  }
  return 0;
}

}  // namespace

int check_sd_card() {
  std::lock_guard lock(checkLock);
  return publish_verdict(examine(get_sd_partition_count()));
}

int init_sd_card() {
  sdInitInProgress = true;
  int result = 0;
  if (!sdMountedOnce) {
    for (int left = kInitTries - 2; left >= -1; --left) {
      result = check_sd_card();
      if (result == SD_MOUNTED) {
        app_log(MOD_SD_CONF, LEVEL_INFO, "SD-card mounted correctly");
        run_shell("mkdir -p /sdcard/primary/DCIM");
        run_shell("mkdir -p /sdcard/primary/TRANSMIT");
        run_shell("mkdir -p /sdcard/secondary/DCIM");
        run_shell("mkdir -p /sdcard/secondary/TRANSMIT");
        sdMountedOnce = true;
        break;
      }
      app_log(MOD_SD_CONF, LEVEL_INFO, "SD-card retry left =  %d", left);
      os_sleep_ms(kInitRetryMs);
      if (sdMountedOnce) {
        break;
      }
    }
  }
  get_sd_partition_count();
  if (sdState == SD_NOT_INSERTED) {
    app_log(MOD_SD_CONF, LEVEL_ERR, "ERROR : SD-CARD NOT INSERTED\n");
  } else if (sdState == SD_FAULT) {
    app_log(MOD_SD_CONF, LEVEL_ERR, "ERROR : SD-CARD NOT FORMATTED\n");
  }
  if (sd_shown_on_leds()) {
    if (sdState == SD_MOUNTED) {
      show_sd_good();
    } else if (sdState == SD_NOT_INSERTED || result == SD_FAULT) {
      show_fault();
    }
  }
  sdInitInProgress = false;
  return result;
}
