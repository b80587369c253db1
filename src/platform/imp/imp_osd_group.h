// On-screen display groups: the stage between the frame source and the encoder of the video
// form where regions are drawn into the frames.
#pragma once

#ifdef __cplusplus
extern "C" {
#endif

// 0 on success.
int IMP_OSD_CreateGroup(int grpNum);
int IMP_OSD_DestroyGroup(int grpNum);

#ifdef __cplusplus
}
#endif
