// Audio input: the microphone as devices with channels that hand out frames of PCM samples,
// timestamped on the same monotonic clock as the video frames.
#pragma once

#include <stdint.h>

#ifdef __cplusplus
extern "C" {
#endif

typedef enum {
  AUDIO_SAMPLE_RATE_8000 = 8000,
  AUDIO_SAMPLE_RATE_16000 = 16000,
  AUDIO_SAMPLE_RATE_32000 = 32000,
  AUDIO_SAMPLE_RATE_48000 = 48000,
} IMPAudioSampleRate;

typedef enum {
  AUDIO_BIT_WIDTH_16 = 16,
} IMPAudioBitWidth;

typedef enum {
  AUDIO_SOUND_MODE_MONO = 1,
  AUDIO_SOUND_MODE_STEREO = 2,
} IMPAudioSoundMode;

typedef enum {
  BLOCK = 0,
  NOBLOCK = 1,
} IMPBlock;

typedef struct {
  IMPAudioSampleRate samplerate;
  IMPAudioBitWidth bitwidth;
  IMPAudioSoundMode soundmode;
  int frmNum;     // frames the device queue holds
  int numPerFrm;  // samples per frame
  int chnCnt;
} IMPAudioIOAttr;

typedef struct {
  int usrFrmDepth;  // frames kept for the reader
  int reserved;
} IMPAudioIChnParam;

typedef struct {
  IMPAudioBitWidth bitwidth;
  IMPAudioSoundMode soundmode;
  uintptr_t virAddr;  // the samples
  uint32_t phyAddr;   // 0 on a host
  int64_t timeStamp;  // microseconds, monotonic clock
  int seq;
  int len;  // bytes
} IMPAudioFrame;

// All return 0 on success and a nonzero value on failure.
int IMP_AI_SetPubAttr(int audioDevId, IMPAudioIOAttr* attr);
int IMP_AI_GetPubAttr(int audioDevId, IMPAudioIOAttr* attr);
int IMP_AI_Enable(int audioDevId);
int IMP_AI_Disable(int audioDevId);
int IMP_AI_EnableChn(int audioDevId, int aiChn);
int IMP_AI_DisableChn(int audioDevId, int aiChn);
int IMP_AI_SetChnParam(int audioDevId, int aiChn, IMPAudioIChnParam* chnParam);
int IMP_AI_GetChnParam(int audioDevId, int aiChn, IMPAudioIChnParam* chnParam);
// Volume -30 .. 120 (60: unchanged); gain 0 .. 31.
int IMP_AI_SetVol(int audioDevId, int aiChn, int aiVol);
int IMP_AI_GetVol(int audioDevId, int aiChn, int* vol);
int IMP_AI_SetGain(int audioDevId, int aiChn, int aiGain);
int IMP_AI_GetGain(int audioDevId, int aiChn, int* aiGain);
// Waits up to `timeoutMs` for a frame.
int IMP_AI_PollingFrame(int audioDevId, int aiChn, unsigned int timeoutMs);
int IMP_AI_GetFrame(int audioDevId, int aiChn, IMPAudioFrame* frm, IMPBlock block);
int IMP_AI_ReleaseFrame(int audioDevId, int aiChn, IMPAudioFrame* frm);

#ifdef __cplusplus
}
#endif
