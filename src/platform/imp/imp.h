// The media library: every module the application uses. Encoder, on-screen display and audio
// input join as headers of their own beside these.
#pragma once

#include "platform/imp/imp_audio.h"
#include "platform/imp/imp_bind.h"
#include "platform/imp/imp_common.h"
#include "platform/imp/imp_encoder.h"
#include "platform/imp/imp_framesource.h"
#include "platform/imp/imp_isp.h"
#include "platform/imp/imp_log.h"
#include "platform/imp/imp_osd.h"
#include "platform/imp/imp_osd_group.h"
#include "platform/imp/imp_system.h"
