// Intake of the configuration the server sends through the Modem.
//
// Every value is checked against fixed limits and replaced by a fixed substitute when out of
// range; nothing is refused. The accepted values are assembled in the server's record and
// saved as the configuration file; schedules, sync time, pause and battery protections go
// straight into the camera's record; a few settings are mirrored into the boot tags for the
// boot loader and the fast capture. Runs on the Modem link thread.
#pragma once

#include "app/links/proto/modem_messages.pb.h"

void apply_server_config(const CameraConfigurationResponse& message);

// Day and night JPEG quality of the server's record into 1..100.
void clamp_jpeg_quality();
// Preview width of the server's record into 640..960, even.
void clamp_small_pic_width();
