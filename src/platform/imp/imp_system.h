// The media library as a whole: initialisation and shut-down. Bindings between modules join
// this header with the video pipeline.
#pragma once

#include "platform/imp/imp_common.h"

#ifdef __cplusplus
extern "C" {
#endif

// Brings the library up after the ISP and its sensor are enabled. 0 on success.
int IMP_System_Init(void);
// Takes the library down. 0 on success.
int IMP_System_Exit(void);

#ifdef __cplusplus
}
#endif
