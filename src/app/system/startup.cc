#include "app/system/startup.h"

#include <pthread.h>

#include <cerrno>
#include <cstdio>
#include <cstdlib>

#include "app/config/camera_config.h"
#include "app/config/config_store.h"
#include "app/indicators/leds/led_requests.h"
#include "app/records/boot_tags.h"
#include "app/records/log/app_log.h"
#include "app/system/boot_checks.h"
#include "app/system/core/event_queue.h"
#include "app/system/core/gpio_export.h"
#include "app/system/core/status_led.h"
#include "app/system/core/sys_info.h"
#include "app/system/core/temperature.h"
#include "app/system/core/watchdog_client.h"
#include "app/system/os/os.h"
#include "app/system/state_machine.h"
#include "app/system/states/capture_states.h"
#include "app/system/thread_table.h"
#include "app/system/version_file.h"

timespec appStartTime;

namespace {

constexpr uint32_t kFirstCapturePollUs = 200 * 1000;
constexpr uint32_t kConfigMountPollUs = 1000;

[[noreturn]] void fatal(int module, const char* message) {
  app_log(module, LEVEL_ERR, "%s", message);
  exit(-1);
}

// Starts a thread with the shared attributes (or the default ones when `attributes` is null).
// Returns 0 or the pthread_create error.
int start_thread(ThreadBody body, const pthread_attr_t* attributes) {
  pthread_t thread;
  int error = pthread_create(&thread, attributes, body, nullptr);
  if (error == 0) {
    pthread_detach(thread);
  }
  return error;
}

// The shared records are made here once and live as long as the process: they are never freed,
// and every thread only borrows them through the global pointers.
void allocate_shared_records() {
  sysInfo = new SysInfo();
  cameraConfig = new CameraConfig();
  serverConfig = new ServerConfig();
}

void set_start_values() {
  SemLock lock(&sysInfoLock);
  {
    // The fuel gauge entries of an earlier answer are not this run's.
    SemLock configHeld(&configLock);
    cameraConfig->fuelGauge_count = 0;
  }
  sysInfo->pirCapture = 1;
  sysInfo->firstCapturePending = 1;
  sysInfo->captureOngoing = 0;
  sysInfo->testMode = 0;
  sysInfo->testCaptureRequested = 0;
  sysInfo->moveFilesPending = 0;
  sysInfo->primaryLent = 0;
  sysInfo->sdCheckRequest = 0;
  sysInfo->fsckOngoing = 0;
  sysInfo->fileCopyOngoing = 0;
  sysInfo->modemPowered = 0;
  sysInfo->modemPowerAcked = 0;
  sysInfo->rtcValid = 0;
  sysInfo->fuelGaugeValid = 0;
  sysInfo->configLoaded = 0;
}

void start_fast_capture_or_skip() {
  const bool pir_boot = sysInfo->boot_reason == 1 && !sysInfo->tagReflashed;
  if (pir_boot) {
    int error = start_thread(kThreadBodies.capture_top_half, &threadAttr);
    if (error != 0) {
      app_log(MOD_MAIN, LEVEL_ERR, "Capture Thread Top Half create failed : tid : %d,errno: %d", 0,
              error);
      exit(-1);
    }
    app_log(MOD_MAIN, LEVEL_INFO, "Starting fast capture thread");
    SemLock lock(&sysInfoLock);
    sysInfo->captureOngoing = 1;
    return;
  }
  // No fast capture: nothing will clear the wait flag, so start-up must not wait.
  SemLock lock(&sysInfoLock);
  sysInfo->firstCapturePending = 0;
}

void load_configuration() {
  while (!config_partition_mounted()) {
    app_log(MOD_MAIN, LEVEL_INFO, "Waiting for mount config partition");
    os_sleep_us(kConfigMountPollUs);
  }
  app_log(MOD_MAIN, LEVEL_INFO, "config partition is now mounted");

  read_wdm_record();
  read_cap_error_record();

  int loaded;
  {
    SemLock lock(&configLock);
    loaded = config_load(cameraConfig);
  }
  if (loaded != 0) {
    fatal(MOD_MAIN, "Failed to load device configuration");
  }
  app_log(MOD_MAIN, LEVEL_INFO, "Device configuration loaded successfully");

  SemLock lock(&sysInfoLock);
  if (sysInfo->boot_reason == 1) {
    // The fast capture encodes with the quality of the light the previous run ended in.
    sysInfo->fastCaptureJpegQuality = jpeg_quality_for_light(sysInfo->prev_ir_mode != 0);
    sysInfo->fastCaptureResizeMethod = cameraConfig->resizeMethod.load();
  }
  sysInfo->configLoaded = 1;
  sysInfo->multishotCount = cameraConfig->multishot.load();
  sysInfo->pirMode = cameraConfig->capture_mode == 1 ? 1 : 0;
}

void switch_leds_off() {
  app_log(MOD_MAIN, LEVEL_INFO, "Setting signal LEDs OFF");
  app_log(MOD_MAIN, LEVEL_INFO, "Setting battery LEDs OFF");
  app_log(MOD_MAIN, LEVEL_INFO, "Setting SD LED OFF");
  app_log(MOD_MAIN, LEVEL_INFO, "Setting Test LED OFF");
  set_all_led_records_off();
  statusLedGreen = STATUS_LED_OFF;
  statusLedRed = STATUS_LED_OFF;
  statusLedBlue = STATUS_LED_OFF;
}

void choose_first_state() {
  SemLock lock(&sysInfoLock);
  if (sysInfo->boot_reason == 1 && sysInfo->tagReflashed) {
    sysInfo->state = STATE_POWERDOWN;
    sysInfo->prevState = STATE_POWERDOWN;
  } else {
    sysInfo->state = STATE_INIT;
    sysInfo->prevState = STATE_INIT;
    sysInfo->sdReturned = 0;
  }
  sysInfo->enterState = 1;
}

void create_queues() {
  sysQueue = create_sys_queue();
  if (sysQueue < 1) {
    fatal(MOD_MAIN, "Not Able to Create the Queue for sys manager. Aborting!!!");
  }
  mcuQueue = create_mcu_queue();
  if (mcuQueue < 1) {
    perror("create q");
    fatal(MOD_MAIN, "Not Able to Create the Queue for mcu manager. Aborting!!!");
  }
  modemQueue = create_modem_queue();
  if (modemQueue < 1) {
    fatal(MOD_MAIN, "Not Able to Create the Queue for modem manager. Aborting!!!");
  }
}

// The long-lived threads, in their start order, with the line that ends the process when one
// cannot be created (each line takes the pthread_create error for its numbers).
struct LongLivedThread {
  ThreadBody ThreadTable::*body;
  const char* failure_format;
};

constexpr LongLivedThread kLongLivedThreads[] = {
    {&ThreadTable::mcu_link_manager,
     "MCU manager Thread Creation Failed.... Exiting from the Application...errno : %d"},
    {&ThreadTable::modem_link_manager,
     "Modem manager Thread Creation Failed.... Exiting from the Application...errno : %d"},
    {&ThreadTable::capture_photo_video, "Capture Photo/Video Thread create failed : %d,errno : %d"},
    {&ThreadTable::sd_card_monitor, "SD card monitor thread create failed, tid: %d,errno : %d"},
    {&ThreadTable::video_preview, "Thread create failed f2_jpeg : %d"},
    {&ThreadTable::modem_sync_timeout, "Timeout Thread create failed ,errno : %d"},
    {&ThreadTable::instant_request, "Instant Query Thread create failed, errno : %d "},
};

void start_long_lived_threads() {
  for (const LongLivedThread& thread : kLongLivedThreads) {
    int error = start_thread(kThreadBodies.*thread.body, &threadAttr);
    if (error != 0) {
      if (thread.body == &ThreadTable::instant_request) {
        SemLock lock(&sysInfoLock);
        sysInfo->instantStage = 3;
      }
#pragma GCC diagnostic push
#pragma GCC diagnostic ignored "-Wformat-nonliteral"
#pragma GCC diagnostic ignored "-Wformat-extra-args"
      app_log(MOD_MAIN, LEVEL_ERR, thread.failure_format, error, error);
#pragma GCC diagnostic pop
      exit(-1);
    }
  }
}

void start_optional_thread(ThreadBody body, const pthread_attr_t* attributes, int module,
                           const char* failure_format, bool is_fatal) {
  int error = start_thread(body, attributes);
  if (error == 0) {
    return;
  }
#pragma GCC diagnostic push
#pragma GCC diagnostic ignored "-Wformat-nonliteral"
  app_log(module, LEVEL_ERR, failure_format, error);
#pragma GCC diagnostic pop
  if (is_fatal) {
    exit(-1);
  }
}

}  // namespace

void app_startup() {
  // 1-4: start time, cleared flags, locks, records.
  clock_gettime(CLOCK_REALTIME, &appStartTime);
  init_record_locks();
  lastModemRequest = 0;
  lastMcuRequest = 0;
  allocate_shared_records();

  // 5: the log.
  if (app_log_init()) {
    app_log(MOD_MAIN, LEVEL_INFO, "Logging intiated successfully");
  } else {
    printf("Failed to initiate logging\n");
  }

  // 6-7: boot tags, then the start values of the shared record.
  {
    SemLock lock(&sysInfoLock);
    sysInfo->tagReflashed = 0;
  }
  read_boot_tags();
  set_start_values();

  // 8-9: warning LED.
  init_warning_led_locks();
  export_gpio42();
  // The shared attributes are made only in the next step: this thread takes the defaults.
  start_optional_thread(kThreadBodies.warning_led, nullptr, MOD_MAIN,
                        "Warning LED Thread Creation Failed.... Exiting from the "
                        "Application...errno : %d",
                        true);

  // 10: shared thread attributes.
  if (int error = pthread_attr_init(&threadAttr); error != 0) {
    app_log(MOD_MAIN, LEVEL_ERR, "pthread_attr_init failed ,errno : %d", error);
  }
  if (int error = pthread_attr_setstacksize(&threadAttr, kThreadStackSize); error != 0) {
    app_log(MOD_MAIN, LEVEL_ERR, "pthread_attr_setstacksize failed ,errno : %d", error);
  }

  // 11-14: exposure wait, the fast capture of a PIR boot, GPIO 8, wait for its first frame.
  start_optional_thread(kThreadBodies.ev_wait, &threadAttr, MOD_PHOTO_AV,
                        "EV_Wait failed ,errno : %d", false);
  start_fast_capture_or_skip();
  export_gpio8();
  while (sysInfo->firstCapturePending) {
    app_log(MOD_MAIN, LEVEL_INFO, "Wait for first cap!");
    os_sleep_us(kFirstCapturePollUs);
  }

  // 15-17: watchdog keep-alive, sensor release (each subsystem's mutex is ready from the start).
  start_optional_thread(wdm_feed_thread, &threadAttr, MOD_MAIN, "wdm thread creation failed : %d",
                        false);
  start_optional_thread(kThreadBodies.sensor_release, nullptr, MOD_PHOTO_AV,
                        "Failed to create sensor_deinit_thread errno : %d", true);

  // 18-24: configuration, boot records, version, temperature.
  load_configuration();
  read_version_file();
  if (!sysInfo->tagReflashed && read_temperature() == -1) {
    app_log(MOD_MAIN, LEVEL_INFO, "TEMPERATURE READING FAILED");
  }

  // 25-28: LEDs off, LED manager, state table, first state.
  switch_leds_off();
  start_optional_thread(kThreadBodies.led_manager, &threadAttr, MOD_MAIN,
                        "LED manager Thread Creation Failed.... Exiting from the "
                        "Application...errno : %d",
                        true);
  build_state_table();
  choose_first_state();

  // 29-30: queues, then the threads that use them.
  create_queues();
  start_long_lived_threads();
}
