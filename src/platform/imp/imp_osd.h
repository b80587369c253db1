// The on-screen display module. The photo pipeline only sizes its memory pool at bring-up;
// the regions and groups of the video pipeline join this header with it.
#pragma once

#include "platform/imp/imp_common.h"

#ifdef __cplusplus
extern "C" {
#endif

// Bytes of the memory pool the on-screen display takes its regions from. Call before
// IMP_System_Init. 0 on success.
int IMP_OSD_SetPoolSize(int size);

#ifdef __cplusplus
}
#endif
