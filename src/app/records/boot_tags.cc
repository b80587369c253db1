#include "app/records/boot_tags.h"

#include <ctime>
#include <string>

#include "app/records/log/app_log.h"
#include "app/records/reboot_log.h"
#include "app/system/core/shell.h"
#include "app/system/core/sys_info.h"

BootTags bootTags;

namespace {

// Each store holds sysInfoLock on its own, as the fast-capture thread may already read.
template <typename Store>
void store_locked(Store store) {
  SemLock lock(&sysInfoLock);
  store();
}

void set_system_field(Value SysInfo::*field, int32_t value) {
  if (sysInfo != nullptr) {
    sysInfo->*field = value;
  }
}

void set_system_flag(Flag SysInfo::*field, int8_t value) {
  if (sysInfo != nullptr) {
    sysInfo->*field = value;
  }
}

time_t watchdog_reboot_epoch(const BootTagValues& values) {
  const long long epoch = values.wdm_reboot_epoch;
  // A date the clock cannot hold (before 1970, or past 2038 with a 32-bit time_t) is no date.
  if (values.wdm_reboot_epoch_present && epoch >= 0 &&
      static_cast<long long>(static_cast<time_t>(epoch)) == epoch) {
    return static_cast<time_t>(epoch);
  }
  if (values.wdm_reboot_epoch_present) {
    app_log(MOD_MAIN, LEVEL_ERR,
            "parse wdm: reboot epoch %lld is beyond the dates the clock can hold.", epoch);
  }
  app_log(MOD_MAIN, LEVEL_ERR, "parse wdm: Could not fetch correct reboot epoch from tag.");
  time_t now = time(nullptr);
  if (now == static_cast<time_t>(-1)) {
    app_log(MOD_MAIN, LEVEL_ERR, "parse wdm: Could not fetch correct time for reboot log.");
    return 0;
  }
  return now;
}

void store_key_values(const BootTagValues& values) {
  store_locked([&] { bootTags.irIntensity = values.dovu_glow; });

  store_locked([&] {
    bootTags.wdmReboot = values.wdm_reboot ? 1 : 0;
    set_system_flag(&SysInfo::wdmReboot, values.wdm_reboot ? 1 : 0);
  });
  if (values.wdm_reboot) {
    write_reboot_log(REBOOT_SOURCE_ISP, REBOOT_WDM_TRIGGERED, watchdog_reboot_epoch(values));
  }

  store_locked([&] {
    bootTags.warnActive = values.warn_active;
    bootTags.warnDuration = values.warn_duration;
    bootTags.warnMaxTimeMultiplicator = values.warn_mtm;
    bootTags.warnPattern = values.warn_pattern;
    bootTags.warnClosingMechanism = values.warn_closemech;
  });
  store_locked([&] { bootTags.quality_mode = values.quality_mode; });
  store_locked([&] {
    bootTags.orve_model = values.orve_model;
    set_system_field(&SysInfo::orve_model, values.orve_model);
  });
  store_locked([&] { bootTags.time_format = values.time_format; });
  store_locked([&] { bootTags.multishot = values.multishot; });
}

void store_bracket_list(const BootTagValues& values) {
  store_locked([&] {
    bootTags.boot_reason = values.boot_reason;
    bootTags.cap_mode = values.cap_mode;
    bootTags.tag_corrupt = values.tag_corrupt;
    bootTags.exp_reuse = values.exp_reuse;
    bootTags.prev_ir_mode = values.prev_ir_mode;
    bootTags.last_ev_value = values.last_ev_value;
    bootTags.adc = values.adc;
    set_system_field(&SysInfo::boot_reason, values.boot_reason);
    set_system_field(&SysInfo::prev_ir_mode, values.prev_ir_mode);
  });
}

// The partition is restored from its image, which knows nothing of this camera: the values
// the next boots need are written back, each kept only when it is one the system can use.
void reflash_tag_partition(const BootTagValues& values) {
  app_log(MOD_MAIN, LEVEL_ERR, "Tag partition is corrupted");
  run_shell(kTagReflashCommand);
  store_locked([] {
    bootTags.tagReflashed = 1;
    set_system_flag(&SysInfo::tagReflashed, 1);
  });
  app_log(MOD_MAIN, LEVEL_INFO, "Tag partition reflashed");

  unsigned cap_mode = values.cap_mode < 2 ? values.cap_mode : 0;
  unsigned prev_ir_mode =
      values.prev_ir_mode >= 0 && values.prev_ir_mode < 2 ? values.prev_ir_mode : 1;
  unsigned multishot = values.multishot >= 1 && values.multishot <= 3 ? values.multishot : 1;
  run_shellf("/system/bin/tag_env_info --set dovu cap_mode %u", cap_mode);
  run_shellf("/system/bin/tag_env_info --set dovu prev_ir_mode %u", prev_ir_mode);
  run_shellf("/system/bin/tag_env_info --set dovu multishot %u", multishot);
  run_shellf("/system/bin/tag_env_info --set dovu orve_model %u",
             static_cast<unsigned>(values.orve_model));
  run_shellf("/system/bin/tag_env_info --set dovu time_format %u",
             static_cast<unsigned>(values.time_format));
}

}  // namespace

int read_boot_tags() {
  return read_boot_tags_from(kProcCmdlinePath);
}

int read_boot_tags_from(const char* cmdline_path) {
  std::string text;
  int result = read_cmdline_text(cmdline_path, text);
  if (result != 0) {
    app_log(MOD_MAIN, LEVEL_ERR, "Could not read %s, boot tags take their defaults", cmdline_path);
  }
  BootTagValues values = parse_boot_tags(text);

  store_key_values(values);
  app_log(MOD_MAIN, LEVEL_INFO, "%s ", describe_boot_tags(values).c_str());
  store_bracket_list(values);
  if (values.partition_corrupt()) {
    reflash_tag_partition(values);
  }
  return result;
}
