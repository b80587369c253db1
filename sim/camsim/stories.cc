#include "sim/camsim/stories.h"

#include <array>

namespace sim::camsim {

namespace {

constexpr std::string_view kDefault =
    R"(title A time-lapse wake-up and a PIR wake-up on a fresh board
date 2024-06-01 12:00:00

# The MCU's time-lapse timer wakes the camera.
wake timelapse for 30s
asleep 10m
# Then the PIR sensor sees something: a capture boot.
wake pir for 30s
)";

constexpr std::string_view kPirWhileAwake =
    R"(title PIR and test-button notifications while the camera is awake
date 2024-06-01 21:30:00
mcu night

wake timelapse for 30s
at 5s pir
at 12s test-button
at 20s timelapse
)";

constexpr std::string_view kTagCorrupt =
    R"(title A PIR wake-up with a damaged tag store: the camera re-flashes it
date 2024-06-01 12:00:00
tag-store damaged

wake pir for 20s
asleep 1m
wake timelapse for 20s
)";

constexpr std::string_view kMcuFaults = R"(title A silent, then a garbling MCU
date 2024-06-01 12:00:00
fault mcu no-answer count 2

wake timelapse for 30s
at 10s fault mcu garbage bytes 6
at 20s fault mcu bad-checksum count 1
)";

constexpr std::string_view kCardAndButton =
    R"(title Card pulled and format button pressed during a first boot
date 2024-06-01 12:00:00
gpio card-detect 1

wake first-boot for 400s
at 5s gpio format-button 1
at 7s gpio format-button 0
at 15s gpio card-detect 0
at 16s note the card was pulled
)";

constexpr std::string_view kInit =
    R"(title The camera learns why it woke: an invalid MCU clock and a watchdog record
date 2024-06-01 12:00:00
mcu rtc invalid
# The watchdog restarted the camera last time: the record is logged once, then cleared.
tag dovu wdm_reboot 1
tag dovu wdm_rebootEpoch 1717200000

# The MCU's clock is not valid yet: the camera asks again until it is.
wake timelapse for 90s
at 2s rtc valid
asleep 10m
# The next wake-up starts clean.
wake timelapse for 90s
)";

constexpr std::string_view kStateMismatch =
    R"(title The MCU reports a detection after a time-lapse wake-up: straight to power-down
date 2024-06-01 12:00:00
mcu camera-state timelapse 4

wake timelapse for 15s
)";

constexpr std::string_view kNotifications =
    R"(title Capture notifications outside a capture: forwarded in a sync, left alone in a detection run
date 2024-06-01 12:00:00

# In a sync the notifications go to the state machine; the link does not answer them.
wake sync for 400s
at 5s pir
at 8s test-button
asleep 10m
# In a detection run no capture is running yet: the PIR notification is ignored entirely.
wake pir for 90s
at 5s pir
)";

constexpr std::string_view kPirDay =
    R"(title A deer crosses by day: a PIR wake-up takes its snapshot
date 2024-06-01 14:00:00
scene day
scene crossing deer 8
mcu day
temperature 21
card formatted 8G

wake pir for 40s
)";

constexpr std::string_view kPirNightBurst =
    R"(title A night time-lapse sets the IR-cut filter, then a PIR burst of 3 under the IR LEDs
date 2024-06-01 23:30:00
scene night
mcu night
temperature 4
# The camera writes the burst's boot tag from its configuration: both say three, and the three
# snapshots of the capture boot become three pictures.
config multishot 3
tag dovu multishot 3
card formatted 8G

# The time-lapse wake-up pulls the filter out and remembers a night capture.
wake timelapse for 40s
asleep 10m
# The PIR capture boot leaves the filter alone, lights the LEDs and takes three snapshots,
# the sensor starting from the exposure of the night before.
wake pir exp-reuse 1 for 40s
)";

constexpr std::string_view kTimelapseNight =
    R"(title A time-lapse picture at night: the filter pulled out, grey under the IR LEDs
date 2024-06-01 23:00:00
scene night
mcu night
temperature -5
card formatted 8G

wake timelapse for 40s
)";

constexpr std::string_view kFirstBoot =
    R"(title First boot: a blank card formatted at the Modem's request, the server's configuration
date 2024-06-01 12:00:00
card blank 8G
# The Modem asks the camera to format the card (request 4, validation and format active).
modem format 4 1 1
server config pirSensitivity 3
server config detectionDelay 5

wake first-boot for 300s
)";

constexpr std::string_view kPirThenSync =
    R"(title A PIR photo, then a sync that uploads it to the server inbox
date 2024-06-01 12:00:00
card formatted 8G 2

wake pir for 60s
asleep 10m
# The Modem asks for the card, copies TRANSMIT into the server inbox and gives it back.
wake sync for 180s
)";

constexpr std::string_view kLendingCaptures =
    R"(title Photos while the Modem holds the card: in three syncs it keeps the card a minute and the PIR fires meanwhile
date 2024-06-01 12:00:00
card formatted 8G 2
# The Modem gives the card back a minute after it asked for it, in every sync.
modem fault late-answer return_camera_sd_card_control_request delay 60s
# The photos of a lending go to the secondary with numbers after the card's last, and join the
# others on the primary once the card is back; no earlier picture is touched. A PIR while the
# photo before it is still being made is refused ("Rejected PIR Cap as another cap ongoing").
# The move at a capture's end finds the primary lent ("MOVE FILES FROM SEC TO PRI NOT DONE").

wake pir for 60s
asleep 1h
wake pir for 60s
asleep 6h
wake sync for 300s
at 40s pir
at 90s pir
asleep 8h
wake pir for 60s
asleep 10h
wake sync for 300s
at 40s pir
asleep 24h
wake daily-sync for 300s
at 40s pir
at 90s pir
)";

constexpr std::string_view kSyncNoSignal =
    R"(title A sync in which the Modem never finds a signal: the camera gives up after 300 s
date 2024-06-01 12:00:00
card formatted 8G 2
modem searching forever

wake sync for 420s
)";

constexpr std::string_view kSyncError =
    R"(title A sync that ends in ERROR: the configuration is still fetched and passed on
date 2024-06-01 12:00:00
card formatted 8G 2
modem sync error
server config pirSensitivity 9

wake sync for 180s
)";

constexpr std::string_view kCardTrouble =
    R"(title The SD card in trouble: a dirty secondary, a full primary, a card pulled and put back
date 2024-06-01 12:00:00
card formatted 8G
card dirty 2
card full 1

# The kernel warns about the secondary at its first mount.
wake timelapse for 40s
asleep 10m
# A PIR capture on a full card; the card leaves the slot while the camera is awake.
wake pir for 40s
at 8s card pull
at 20s card insert
# The camera sleeps before the card is back; it goes back in as the camera wakes for a sync,
# which mounts it again and leaves it clean for fsck.fat -n at power-down.
asleep 10m
wake sync for 60s
at 100ms card insert
)";

constexpr std::string_view kCardPowerDown =
    R"(title Power-down on a formatted card: the logs archived under the next number each wake-up, the card unmounted before ready-to-sleep
date 2024-06-01 12:00:00
card formatted 8G 2
mcu camera-state timelapse 4

wake timelapse for 30s
asleep 10m
wake timelapse for 30s
)";

constexpr std::string_view kFormatButton =
    R"(title First boot: the format button held for 5 s formats the card; the SD LEDs say so
date 2024-06-01 12:00:00
card formatted 8G 2
# The Modem searches for 10 s, while the button is held; success stops the button's watch.
modem searching 5 every 2s

wake first-boot for 300s
at 2s format-button hold 6s
)";

constexpr std::string_view kWarningLight =
    R"(title Model 6: the warning light after PIRs in two syncs, held until it ends, then extended
date 2024-06-01 12:00:00
card formatted 8G 2
tag dovu orve_model 6
# A sync writes the configuration's model back to the tags: the configuration says 6 as well.
config orve_model 6
tag warn_led warn_active 1
tag warn_led warn_duration 5
tag warn_led warn_mtm 2
tag warn_led warn_pattern 1
tag warn_led warn_closemech 0
# The light is allowed by the configuration's setting (and the battery's charge, 80 %).
config warning_light_stat 1
# The configuration the server sends in the first sync sets the light of the next wake-up; a
# duration other than 0 or 1 is stored as 15 s.
server config warningLEDConfig.active true
server config warningLEDConfig.timing.duration 5
server config warningLEDConfig.timing.maxTimeMultiplicator 2
server config warningLEDConfig.pattern 0
server config warningLEDConfig.closingMechanism 2
# Each sync searches for 10 s first: the second wake-up stays in its sync past its first capture.
modem searching 5 every 2s
# A photo taken in a sync goes to the secondary partition and is moved when it is done; a later
# sync status moves the secondary again, and its "rm" and "mv" may find nothing (ERR lines).

# Closing mechanism 0: 5 s of blinking; the ready-to-sleep request waits until they are over.
wake sync for 180s
at 6s pir
asleep 10m

# Closing mechanism 2: the PIR at 6 s lights it for 15 s; the one at 19 s (its capture has ended,
# the Modem still searches) starts the 15 s again while the light is on, up to the 30 s that
# 15 s x 2 allows in all.
wake sync for 180s
at 6s pir
at 19s pir
)";

constexpr std::string_view kWarningLightCut =
    R"(title Model 6: a long warning light (closing mechanism 1) ends when the camera asks the MCU to sleep
date 2024-06-01 12:00:00
card formatted 8G 2
tag dovu orve_model 6
config orve_model 6
tag warn_led warn_active 1
tag warn_led warn_duration 600
tag warn_led warn_mtm 1
tag warn_led warn_pattern 0
tag warn_led warn_closemech 1
config warning_light_stat 1

wake sync for 180s
at 6s pir
)";

constexpr std::string_view kInstantCapture =
    R"(title During a sync the server asks for a capture now (instant query 0)
date 2024-06-01 12:00:00
card formatted 8G 2
modem query 0
# The photo goes to the secondary partition. Its end moves it to the primary; the sync's next
# SUCCESSFUL status moves the secondary again, and its "rm" and "mv" find nothing (two ERR lines).

wake sync for 180s
)";

constexpr std::string_view kInstantCapturePir =
    R"(title During a sync the server asks for a capture now, as a PIR detection would (instant query 1)
date 2024-06-01 12:00:00
card formatted 8G 2
modem query 1

wake sync for 180s
)";

constexpr std::string_view kInstantFormat =
    R"(title During a sync the server asks for a card to be formatted (instant query 2)
date 2024-06-01 12:00:00
# The format is real work of the camera (fdisk, mkfs.fat on a 4 GB card); the query is answered
# while the Modem still asks for the card, and the sync ends well.
card formatted 4G 2
modem query 2

wake sync for 180s
)";

constexpr std::string_view kInstantFactoryReset =
    R"(title During a sync the server asks for a factory reset: the default configuration returns (instant query 3)
date 2024-06-01 12:00:00
card formatted 8G 2
modem query 3

wake sync for 180s
)";

constexpr std::string_view kInstantSync =
    R"(title During a sync the server asks for a sync (instant query 4)
date 2024-06-01 12:00:00
card formatted 8G 2
modem query 4

wake sync for 180s
)";

constexpr std::string_view kInstantIgnore =
    R"(title During a sync the server asks for a query to be ignored (instant query 5)
date 2024-06-01 12:00:00
card formatted 8G 2
modem query 5

wake sync for 180s
)";

constexpr std::string_view kInstantPause =
    R"(title During a sync the server asks for a pause of the camera: the pause goes on to the MCU (instant query 6)
date 2024-06-01 12:00:00
card formatted 8G 2
modem query 6
# The configuration the server then sends carries the pause: from 2024-06-02 00:00 for an hour.
server config pauseCameraConfig.epoch 1717286400
server config pauseCameraConfig.duration 3600

wake sync for 180s
)";

constexpr std::string_view kInstantUnknown =
    R"(title During a sync the server asks for a query of an unknown kind (instant query 7)
date 2024-06-01 12:00:00
card formatted 8G 2
modem query 7

wake sync for 180s
)";

constexpr std::string_view kPirVideo =
    R"(title A deer crosses by day: a PIR wake-up records a 10 s video with sound
date 2024-06-01 14:00:00
scene day
scene crossing deer 8
mcu day
temperature 21
card formatted 8G
config capture_mode 1
config video_length 10
tag dovu cap_mode 1
# Before recording the camera runs a bare "ffmpeg -loglevel 1" to have the multiplexer in memory
# when the recording ends; ffmpeg exits 1 without a file to work on, which the log shows as ERR.

wake pir for 90s
)";

constexpr std::array kStories = {
    Story{"default", kDefault},
    Story{"pir-while-awake", kPirWhileAwake},
    Story{"tag-corrupt", kTagCorrupt},
    Story{"mcu-faults", kMcuFaults},
    Story{"card-and-button", kCardAndButton},
    Story{"init", kInit},
    Story{"state-mismatch", kStateMismatch},
    Story{"notifications", kNotifications},
    Story{"pir-day", kPirDay},
    Story{"pir-night-burst", kPirNightBurst},
    Story{"timelapse-night", kTimelapseNight},
    Story{"first-boot", kFirstBoot},
    Story{"pir-then-sync", kPirThenSync},
    Story{"lending-captures", kLendingCaptures},
    Story{"sync-no-signal", kSyncNoSignal},
    Story{"sync-error", kSyncError},
    Story{"card-trouble", kCardTrouble},
    Story{"card-power-down", kCardPowerDown},
    Story{"format-button", kFormatButton},
    Story{"warning-light", kWarningLight},
    Story{"warning-light-cut", kWarningLightCut},
    Story{"instant-capture", kInstantCapture},
    Story{"instant-capture-pir", kInstantCapturePir},
    Story{"instant-format", kInstantFormat},
    Story{"instant-factory-reset", kInstantFactoryReset},
    Story{"instant-sync", kInstantSync},
    Story{"instant-ignore", kInstantIgnore},
    Story{"instant-pause", kInstantPause},
    Story{"instant-unknown", kInstantUnknown},
    Story{"pir-video", kPirVideo},
};

}  // namespace

std::span<const Story> built_in_stories() {
  return kStories;
}

const Story* find_story(std::string_view name) {
  for (const Story& story : kStories) {
    if (story.name == name) {
      return &story;
    }
  }
  return nullptr;
}

}  // namespace sim::camsim
