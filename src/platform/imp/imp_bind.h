// Bindings between modules: the frames of a source cell flow into a sink cell without the
// application touching them (frame source -> on-screen display -> encoder).
#pragma once

#include "platform/imp/imp_common.h"

#ifdef __cplusplus
extern "C" {
#endif

// 0 on success; a sink takes one source, a cell is bound once.
int IMP_System_Bind(IMPCell* srcCell, IMPCell* dstCell);
int IMP_System_UnBind(IMPCell* srcCell, IMPCell* dstCell);

#ifdef __cplusplus
}
#endif
