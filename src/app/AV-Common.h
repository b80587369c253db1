// The media platform session: brings the sensor, the ISP and the frame-source channel up in
// the photo form ("YUV") and takes them down again, owns the sensor's power line (GPIO 17),
// picks the ISP's day or night mode at each bring-up, and runs the sensor-release thread that
// decides after each capture whether the pipeline goes down or stays up for the next one.
//
// The video form ("H265") goes through the same flags and adds the encoder's steps.
#pragma once

#include <cstdint>

#include "platform/imp/imp.h"

// The one frame-source channel (and, for video, encoder group and channel) of the camera.
struct ChannelDefinition {
  uint32_t index = 0;
  uint32_t enable = 1;                // 0: the channel steps are skipped and count as success
  uint32_t payloadType = 0x01000001;  // H.265 main profile
  IMPFSChnAttr fsChnAttr;
  IMPCell framesourceCell = {DEV_ID_FS, 0, 0};
  IMPCell encoderCell = {DEV_ID_ENC, 0, 0};
};

// The channel as the process starts: 1920x1080 NV12 at 30/1, two video buffers.
ChannelDefinition default_channel_definition();

// The static definition and the two pointers through which the code reaches it.
extern ChannelDefinition channelDefinition;
extern ChannelDefinition* chn_defAV;  // photo and video capture code
extern ChannelDefinition* chn_defVE;  // frame-source and encoder steps (set at bring-up)

// 0 photo form, 1 video form.
extern int pipelineMode;
// 1 while the photo form is not up (read by the capture-error path).
extern uint8_t yuvDown;

int T31_system_init(ChannelDefinition* chn);
int T31_system_exit();
int switch_day_night();
int set_resolution(int width);
int framesource_init();
int framesource_exit();
int stream_on();
int stream_off();

int yuv_enc_init();
int yuv_enc_deinit(int powerDown);
int h265_enc_init();
int h265_enc_deinit(int powerDown);
int ttff_frame_skip_1080p();

// The boot-time photo bring-up of the fast capture; lets the photo thread take the burst.
void libimp_init();

// GPIO 17: the sensor's supply. `tag` is "P" (photo) or "V" (video) in the log line.
void sensor_power_off(const char* tag);
void sensor_power_up();

// Thread body: every 10 ms acts on the teardown requests; never returns.
void* sensor_deinit_thread(void* unused);

// One pass of that thread (tests drive it directly).
void sensor_deinit_pass();

// Back to the state of a new process (tests).
void reset_media_session();
