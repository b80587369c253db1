// On-screen display groups: the stage between the frame source and the encoder of the video
// form where the registered, shown regions are drawn into the frames.
#pragma once

#include "platform/imp/imp_osd.h"

#ifdef __cplusplus
extern "C" {
#endif

// 0 on success.
int IMP_OSD_CreateGroup(int grpNum);
// Unregisters what is left in the group; refused while the group is bound.
int IMP_OSD_DestroyGroup(int grpNum);
// Registers a region in a group (hidden; `pgrAttr` may be null for the defaults).
int IMP_OSD_RegisterRgn(IMPRgnHandle handle, int grpNum, IMPOSDGrpRgnAttr* pgrAttr);
int IMP_OSD_UnRegisterRgn(IMPRgnHandle handle, int grpNum);
int IMP_OSD_GetGrpRgnAttr(IMPRgnHandle handle, int grpNum, IMPOSDGrpRgnAttr* pgrAttr);
int IMP_OSD_SetGrpRgnAttr(IMPRgnHandle handle, int grpNum, IMPOSDGrpRgnAttr* pgrAttr);
// Shows (1) or hides (0) a registered region.
int IMP_OSD_ShowRgn(IMPRgnHandle handle, int grpNum, int showFlag);
// The group draws its regions into the frames passing it from now on.
int IMP_OSD_Start(int grpNum);
int IMP_OSD_Stop(int grpNum);

#ifdef __cplusplus
}
#endif
