// The decision after a capture, shared by the three capture states and the IR control.
#pragma once

#include <cstdint>

// Asks the MCU to power the Modem when a sync is due (the state then changes to STATE_SYNC on
// the MCU's answer or at the end of the capture), else changes to STATE_POWERDOWN.
void after_capture_decision();

// 1 when the current time lies at most 15 minutes after the installation date, else 0.
int minutes_since_install_within_15();

// The JPEG quality of the light the MCU reported (night or day setting) and the configured
// resize method, for the captures that the time-lapse, test, sync and instant states arm.
void take_photo_settings_for_light();
// The JPEG quality for the light: the night quality at night, the day quality by day.
int32_t jpeg_quality_for_light(bool night);
// What every capture the states arm needs once the MCU has reported the light: the photo
// settings for it and, on the first capture of the power-up, the IR-cut filter set.
void prepare_capture_for_light();

// Where a capture's files go: the primary partition, or the secondary while the card is lent.
constexpr int32_t kPrimaryPartition = 0;
constexpr int32_t kSecondaryPartition = 1;
// Hands a capture of `captureType` to the capture thread, its files for `partition`; the
// capture counts as ongoing from now. The caller holds sysInfoLock.
void hand_capture_to_thread(int32_t captureType, int32_t partition);

// The fuel gauge answered valid: the battery level is known (for the LEDs and the ready status),
// and a good card's warning-light permission is decided again with it.
void note_battery_level_known();
