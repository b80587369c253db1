// Simulated microphone: audio device 1 with one channel, frames of the configured number of
// samples made at the sample rate on the monotonic clock (the board's clock, so a compressed
// story compresses the sound's pacing too) and timestamped on that clock like the video.
// What it hears: the ambient noise of the scene, and footsteps and rustling while the animal
// crosses. Volume and gain scale the samples.
#include <errno.h>
#include <math.h>
#include <string.h>

#include <mutex>
#include <string>
#include <vector>

#include "platform/imp/host/host_media.h"
#include "platform/imp/imp_audio.h"

namespace imp_host {

namespace {

constexpr int kDevice = 1;
constexpr int kDefaultVolume = 60;

struct Microphone {
  std::mutex mutex;
  bool attrSet = false;
  bool enabled = false;
  bool chnEnabled = false;
  IMPAudioIOAttr attr{};
  IMPAudioIChnParam param{};
  int volume = kDefaultVolume;
  int gain = 0;
  int64_t startUs = 0;  // when the channel was enabled
  int64_t nextFrame = 0;
  int64_t frameUs = 50000;
  uint32_t noise = 12345;
  std::vector<int16_t> samples;
  bool out = false;  // the frame's samples are with the reader
};

Microphone& microphone() {
  static Microphone* instance = new Microphone();  // lives for the process
  return *instance;
}

bool valid_attr(const IMPAudioIOAttr& attr) {
  return (attr.samplerate == AUDIO_SAMPLE_RATE_8000 || attr.samplerate == AUDIO_SAMPLE_RATE_16000 ||
          attr.samplerate == AUDIO_SAMPLE_RATE_32000 ||
          attr.samplerate == AUDIO_SAMPLE_RATE_48000) &&
         attr.bitwidth == AUDIO_BIT_WIDTH_16 && attr.soundmode == AUDIO_SOUND_MODE_MONO &&
         attr.frmNum > 0 && attr.frmNum <= 50 && attr.numPerFrm > 0 && attr.numPerFrm <= 48000 &&
         attr.chnCnt == 1;
}

bool channel_ok(int dev, int chn) {
  return dev == kDevice && chn == 0;
}

// Whether the animal walks across the view at `seconds` and how loud its steps are (0..1).
double crossing_loudness(const SceneSetting& scene, double seconds) {
  if (!scene.crossing || scene.crossingSeconds <= 0) {
    return 0;
  }
  const double phase = fmod(seconds, scene.crossingSeconds) / scene.crossingSeconds;
  return phase > 0.2 && phase < 0.8 ? sin((phase - 0.2) / 0.6 * M_PI) : 0;
}

// Fills `mic.samples` with frame `index` of the sound.
void make_frame(Microphone& mic, int64_t index, const SceneSetting& scene) {
  const int count = mic.attr.numPerFrm;
  const double rate = mic.attr.samplerate;
  const double level = (mic.volume + 30) / 90.0 * (1.0 + mic.gain / 31.0);
  mic.samples.resize(static_cast<size_t>(count));
  for (int i = 0; i < count; ++i) {
    const double t = (static_cast<double>(index) * count + i) / rate;
    mic.noise = mic.noise * 1664525u + 1013904223u;
    const double hiss = (static_cast<int32_t>(mic.noise >> 16) - 32768) / 32768.0 * 0.02;
    const double wind = sin(2 * M_PI * 0.3 * t) * sin(2 * M_PI * 180 * t) * 0.01;
    // Two steps a second: a short decaying thump with rustling above it.
    const double sinceStep = fmod(t, 0.5);
    const double step = exp(-sinceStep * 30) * (sin(2 * M_PI * 90 * sinceStep) * 0.5 + hiss * 8) *
                        crossing_loudness(scene, t);
    const double value = (hiss + wind + step) * level * 32767.0;
    mic.samples[static_cast<size_t>(i)] =
        static_cast<int16_t>(std::max(-32767.0, std::min(32767.0, value)));
  }
}

}  // namespace

}  // namespace imp_host

using imp_host::fail;
using imp_host::HostMedia;
using imp_host::injected;
using imp_host::media;
using imp_host::Microphone;
using imp_host::microphone;

int IMP_AI_SetPubAttr(int audioDevId, IMPAudioIOAttr* attr) {
  if (injected("IMP_AI_SetPubAttr")) {
    return fail(EIO);
  }
  Microphone& mic = microphone();
  std::lock_guard lock(mic.mutex);
  if (audioDevId != imp_host::kDevice || attr == nullptr || !imp_host::valid_attr(*attr) ||
      mic.enabled) {
    return fail(EINVAL);
  }
  mic.attr = *attr;
  mic.attrSet = true;
  mic.frameUs = int64_t{1000000} * attr->numPerFrm / attr->samplerate;
  return 0;
}

int IMP_AI_GetPubAttr(int audioDevId, IMPAudioIOAttr* attr) {
  Microphone& mic = microphone();
  std::lock_guard lock(mic.mutex);
  if (audioDevId != imp_host::kDevice || attr == nullptr || !mic.attrSet) {
    return fail(EINVAL);
  }
  *attr = mic.attr;
  return 0;
}

int IMP_AI_Enable(int audioDevId) {
  if (injected("IMP_AI_Enable")) {
    return fail(EIO);
  }
  Microphone& mic = microphone();
  std::lock_guard lock(mic.mutex);
  if (audioDevId != imp_host::kDevice || !mic.attrSet) {
    return fail(EINVAL);
  }
  mic.enabled = true;
  return 0;
}

int IMP_AI_Disable(int audioDevId) {
  Microphone& mic = microphone();
  std::lock_guard lock(mic.mutex);
  if (audioDevId != imp_host::kDevice || mic.chnEnabled) {
    return fail(EINVAL);
  }
  mic.enabled = false;
  return 0;
}

int IMP_AI_EnableChn(int audioDevId, int aiChn) {
  if (injected("IMP_AI_EnableChn")) {
    return fail(EIO);
  }
  Microphone& mic = microphone();
  std::lock_guard lock(mic.mutex);
  if (!imp_host::channel_ok(audioDevId, aiChn) || !mic.enabled) {
    return fail(EINVAL);
  }
  if (!mic.chnEnabled) {
    mic.chnEnabled = true;
    mic.startUs = imp_host::now_us();
    mic.nextFrame = 0;
    mic.out = false;
  }
  return 0;
}

int IMP_AI_DisableChn(int audioDevId, int aiChn) {
  Microphone& mic = microphone();
  std::lock_guard lock(mic.mutex);
  if (!imp_host::channel_ok(audioDevId, aiChn) || !mic.chnEnabled) {
    return fail(EINVAL);
  }
  mic.chnEnabled = false;
  HostMedia& m = media();
  std::lock_guard mediaLock(m.mutex);
  note_activity(m, "microphone off: " + std::to_string(mic.nextFrame) + " audio frames of " +
                       std::to_string(mic.attr.numPerFrm) + " samples at " +
                       std::to_string(static_cast<int>(mic.attr.samplerate)) + " Hz");
  return 0;
}

int IMP_AI_SetChnParam(int audioDevId, int aiChn, IMPAudioIChnParam* chnParam) {
  Microphone& mic = microphone();
  std::lock_guard lock(mic.mutex);
  if (!imp_host::channel_ok(audioDevId, aiChn) || chnParam == nullptr || !mic.enabled ||
      chnParam->usrFrmDepth < 1 || chnParam->usrFrmDepth > 50) {
    return fail(EINVAL);
  }
  mic.param = *chnParam;
  return 0;
}

int IMP_AI_GetChnParam(int audioDevId, int aiChn, IMPAudioIChnParam* chnParam) {
  Microphone& mic = microphone();
  std::lock_guard lock(mic.mutex);
  if (!imp_host::channel_ok(audioDevId, aiChn) || chnParam == nullptr || !mic.enabled) {
    return fail(EINVAL);
  }
  *chnParam = mic.param;
  return 0;
}

int IMP_AI_SetVol(int audioDevId, int aiChn, int aiVol) {
  Microphone& mic = microphone();
  std::lock_guard lock(mic.mutex);
  if (!imp_host::channel_ok(audioDevId, aiChn) || aiVol < -30 || aiVol > 120) {
    return fail(EINVAL);
  }
  mic.volume = aiVol;
  return 0;
}

int IMP_AI_GetVol(int audioDevId, int aiChn, int* vol) {
  Microphone& mic = microphone();
  std::lock_guard lock(mic.mutex);
  if (!imp_host::channel_ok(audioDevId, aiChn) || vol == nullptr) {
    return fail(EINVAL);
  }
  *vol = mic.volume;
  return 0;
}

int IMP_AI_SetGain(int audioDevId, int aiChn, int aiGain) {
  Microphone& mic = microphone();
  std::lock_guard lock(mic.mutex);
  if (!imp_host::channel_ok(audioDevId, aiChn) || aiGain < 0 || aiGain > 31) {
    return fail(EINVAL);
  }
  mic.gain = aiGain;
  return 0;
}

int IMP_AI_GetGain(int audioDevId, int aiChn, int* aiGain) {
  Microphone& mic = microphone();
  std::lock_guard lock(mic.mutex);
  if (!imp_host::channel_ok(audioDevId, aiChn) || aiGain == nullptr) {
    return fail(EINVAL);
  }
  *aiGain = mic.gain;
  return 0;
}

int IMP_AI_PollingFrame(int audioDevId, int aiChn, unsigned int timeoutMs) {
  const int64_t deadline = imp_host::now_us() + int64_t{timeoutMs} * 1000;
  if (injected("IMP_AI_PollingFrame")) {
    imp_host::sleep_until_us(deadline);
    return fail(ETIMEDOUT);
  }
  int64_t due = 0;
  {
    Microphone& mic = microphone();
    std::lock_guard lock(mic.mutex);
    if (!imp_host::channel_ok(audioDevId, aiChn) || !mic.chnEnabled) {
      return fail(EINVAL);
    }
    // Frame n is complete when its last sample has been heard.
    due = mic.startUs + (mic.nextFrame + 1) * mic.frameUs;
  }
  if (due > deadline) {
    imp_host::sleep_until_us(deadline);
    return fail(ETIMEDOUT);
  }
  imp_host::sleep_until_us(due);
  return 0;
}

int IMP_AI_GetFrame(int audioDevId, int aiChn, IMPAudioFrame* frm, IMPBlock block) {
  if (injected("IMP_AI_GetFrame")) {
    return fail(EIO);
  }
  imp_host::SceneSetting scene;
  {
    imp_host::HostMedia& m = imp_host::media();
    std::lock_guard lock(m.mutex);
    scene = m.inputs.scene();
  }
  Microphone& mic = microphone();
  std::unique_lock lock(mic.mutex);
  if (!imp_host::channel_ok(audioDevId, aiChn) || frm == nullptr || !mic.chnEnabled || mic.out) {
    return fail(EINVAL);
  }
  const int64_t now = imp_host::now_us();
  // Frames older than the device queue were overwritten before anybody read them.
  const int64_t heard = (now - mic.startUs) / mic.frameUs;
  if (heard - mic.nextFrame > mic.attr.frmNum) {
    mic.nextFrame = heard - mic.attr.frmNum;
  }
  const int64_t due = mic.startUs + (mic.nextFrame + 1) * mic.frameUs;
  if (due > now) {
    if (block != BLOCK) {
      return fail(EAGAIN);
    }
    lock.unlock();
    imp_host::sleep_until_us(due);
    lock.lock();
    if (!mic.chnEnabled) {
      return fail(EAGAIN);
    }
  }
  imp_host::make_frame(mic, mic.nextFrame, scene);
  *frm = IMPAudioFrame{};
  frm->bitwidth = AUDIO_BIT_WIDTH_16;
  frm->soundmode = AUDIO_SOUND_MODE_MONO;
  frm->virAddr = reinterpret_cast<uintptr_t>(mic.samples.data());
  frm->timeStamp = mic.startUs + mic.nextFrame * mic.frameUs;
  frm->seq = static_cast<int>(mic.nextFrame);
  frm->len = static_cast<int>(mic.samples.size() * sizeof(int16_t));
  ++mic.nextFrame;
  mic.out = true;
  return 0;
}

int IMP_AI_ReleaseFrame(int audioDevId, int aiChn, IMPAudioFrame* frm) {
  Microphone& mic = microphone();
  std::lock_guard lock(mic.mutex);
  if (!imp_host::channel_ok(audioDevId, aiChn) || frm == nullptr || !mic.out ||
      frm->virAddr != reinterpret_cast<uintptr_t>(mic.samples.data())) {
    return fail(EINVAL);
  }
  mic.out = false;
  return 0;
}
