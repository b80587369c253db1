// Simulated encoder: encoder groups take the frames of the frame-source channel bound to them
// (directly or through an on-screen display group), and each registered channel codes them as
// H.265 with libx265 at its size, GOP and CBR bit rate. The coded NAL units land in the
// channel's circular stream buffer as packs, one stream record per frame.
//
// Frames are made when the reader polls: the poll works out the next frame due on the
// channel's clock, waits for it, draws the scene and codes it. The source's video buffers hold
// the newest frames due; a frame overwritten before the reader came back is dropped, as a
// sensor does not wait for a busy encoder.
//
// libx265 codes two frames at once (frame threads), so a key frame, which costs several
// periods on its own, overlaps the frames after it and the reader stays within the source's
// buffers. A frame therefore comes out two submissions later: a poll submits frames until one
// is out, and a new start discards the frames still in the coder.
#include <errno.h>
#include <string.h>
#include <x265.h>

#include <algorithm>
#include <array>
#include <list>
#include <memory>
#include <mutex>
#include <string>
#include <vector>

#include "platform/imp/host/encoder_host.h"
#include "platform/imp/host/host_media.h"
#include "platform/imp/host/osd_host.h"
#include "platform/imp/host/stream_ring.h"
#include "platform/imp/imp_encoder.h"

namespace imp_host {

namespace {

constexpr int kMaxGroups = 4;
constexpr int kMaxChannels = 4;
constexpr size_t kDefaultStreamBufferBytes = 1 << 20;
// How long a blocking GetStream waits for a frame.
constexpr uint32_t kBlockingWaitMs = 1000;
// Frames libx265 codes at once. Two keep a 1080p stream at 30 fps on a two-core host.
constexpr int kFramesInCoder = 2;

struct CodedFrame {
  std::vector<IMPEncoderPack> packs;
  size_t bytes = 0;
  uint32_t seq = 0;
  bool handedOut = false;
};

struct X265Deleter {
  void operator()(x265_encoder* encoder) const { x265_encoder_close(encoder); }
  void operator()(x265_param* param) const { x265_param_free(param); }
  void operator()(x265_picture* picture) const { x265_picture_free(picture); }
};

struct EncChannel {
  bool created = false;
  uint64_t incarnation = 0;  // which creation of the channel this is; 0 when destroyed
  int group = -1;            // registered to, or -1
  bool receiving = false;
  bool keyFrameNext = true;
  bool awaitingKey = false;  // a coded frame was dropped: frames are dropped up to the next key
  int inCoder = 0;           // frames submitted to libx265 and not come out yet
  IMPEncoderChnAttr attr{};
  std::unique_ptr<x265_param, X265Deleter> param;
  std::unique_ptr<x265_encoder, X265Deleter> encoder;
  std::unique_ptr<x265_picture, X265Deleter> picture;
  std::unique_ptr<StreamRing> ring;
  std::list<CodedFrame> frames;  // coded, not released; a list keeps the packs in place
  int64_t lastFrame = -1;        // index of the last source frame coded
  uint64_t sourceGeneration = 0;
  uint32_t seq = 0;
  uint32_t dropped = 0;
  uint32_t overwritten = 0;  // of them, overwritten in the source's buffers before coding
  uint32_t coded = 0;
  std::vector<uint8_t> nv12, u, v;
};

struct Encoders {
  std::mutex mutex;
  uint64_t creations = 0;
  std::array<bool, kMaxGroups> groups{};
  std::array<EncChannel, kMaxChannels> channels;
  size_t ringBytes = kDefaultStreamBufferBytes;
};

Encoders& encoders() {
  static Encoders* instance = new Encoders();  // lives for the process
  return *instance;
}

EncChannel* channel_at(Encoders& e, int chn) {
  return chn >= 0 && chn < kMaxChannels ? &e.channels[chn] : nullptr;
}

// The frame-source channel feeding encoder group `group`, through at most one display group.
int source_channel(int group) {
  IMPCell cell{DEV_ID_ENC, group, 0};
  for (int hops = 0; hops < 3; ++hops) {
    IMPCell source{};
    if (!bound_source(cell, &source)) {
      return -1;
    }
    if (source.deviceID == DEV_ID_FS) {
      return source.groupID;
    }
    cell = source;
  }
  return -1;
}

std::unique_ptr<x265_param, X265Deleter> make_param(const IMPEncoderChnAttr& attr) {
  std::unique_ptr<x265_param, X265Deleter> p(x265_param_alloc());
  if (!p || x265_param_default_preset(p.get(), "ultrafast", "zerolatency") != 0) {
    return nullptr;
  }
  const uint32_t gop = std::max<uint32_t>(attr.gopAttr.uGopLength, 1);
  p->sourceWidth = attr.encAttr.uWidth;
  p->sourceHeight = attr.encAttr.uHeight;
  p->fpsNum = attr.outFrmRate.frmRateNum;
  p->fpsDenom = attr.outFrmRate.frmRateDen;
  p->internalCsp = X265_CSP_I420;
  p->keyframeMax = static_cast<int>(gop);
  p->keyframeMin = static_cast<int>(gop);
  p->scenecutThreshold = 0;
  p->bOpenGOP = 0;
  p->bframes = 0;
  p->bRepeatHeaders = 1;  // VPS, SPS and PPS before every key frame
  p->bAnnexB = 1;
  p->bEmitInfoSEI = 0;
  p->bEmitHRDSEI = 0;
  p->logLevel = X265_LOG_ERROR;
  p->frameNumThreads = kFramesInCoder;
  if (attr.rcAttr.rcMode == IMP_ENC_RC_MODE_FIXQP) {
    p->rc.rateControlMode = X265_RC_CQP;
    p->rc.qp = attr.rcAttr.iInitialQP >= 0 ? attr.rcAttr.iInitialQP : 32;
  } else {
    const int kbps = static_cast<int>(attr.rcAttr.uTargetBitRate);
    p->rc.rateControlMode = X265_RC_ABR;
    p->rc.bitrate = kbps;
    if (attr.rcAttr.rcMode == IMP_ENC_RC_MODE_CBR) {
      p->rc.vbvMaxBitrate = kbps;
      p->rc.vbvBufferSize = kbps;
    }
  }
  if (x265_param_apply_profile(p.get(), "main") != 0) {
    return nullptr;
  }
  return p;
}

bool valid_attributes(const IMPEncoderChnAttr& attr) {
  return attr.encAttr.eProfile == IMP_ENC_PROFILE_HEVC_MAIN && attr.encAttr.uWidth >= 64 &&
         attr.encAttr.uHeight >= 64 && attr.encAttr.uWidth % 2 == 0 &&
         attr.encAttr.uHeight % 2 == 0 && attr.outFrmRate.frmRateNum > 0 &&
         attr.outFrmRate.frmRateDen > 0 && attr.gopAttr.uGopLength > 0 &&
         (attr.rcAttr.rcMode == IMP_ENC_RC_MODE_FIXQP || attr.rcAttr.uTargetBitRate > 0);
}

uint32_t slice_type(int x265Type) {
  switch (x265Type) {
    case X265_TYPE_IDR:
    case X265_TYPE_I:
      return IMP_ENC_SLICE_I;
    case X265_TYPE_B:
    case X265_TYPE_BREF:
      return IMP_ENC_SLICE_B;
    default:
      return IMP_ENC_SLICE_P;
  }
}

// What a poll found: a frame of the source drawn into the channel's picture, or why not
// (kTaken: another reader of the channel coded the frame meanwhile).
enum class Fetch { kFrame, kTimeout, kStopped, kTaken };

// Sleeps until `dueUs` without the encoder's mutex, `encoderLock`: the encoder is hardware
// beside the sensor, and a call on it does not wait for another call's frame to be due. The
// media mutex is given up first and not taken again (it is inside the encoder's).
void sleep_unlocked(std::unique_lock<std::mutex>& encoderLock, std::unique_lock<std::mutex>& media,
                    int64_t dueUs) {
  media.unlock();
  encoderLock.unlock();
  sleep_until_us(dueUs);
  encoderLock.lock();
}

// Waits for the next frame of frame-source channel `fs` due within `timeoutMs` and draws it
// into `channel.nv12`; `timestampUs` gets its time. Called with the encoder mutex held in
// `encoderLock`, which is given up while it waits and held again when it returns.
Fetch fetch_frame(std::unique_lock<std::mutex>& encoderLock, EncChannel& channel, int fs,
                  uint32_t timeoutMs, int64_t* timestampUs) {
  HostMedia& m = media();
  std::unique_lock lock(m.mutex);
  const int64_t startUs = now_us();
  const int64_t deadlineUs = startUs + int64_t{timeoutMs} * 1000;
  Channel* source = fs >= 0 && fs < IMP_FS_MAX_CHANNELS ? &m.channels[fs] : nullptr;
  if (source == nullptr || !source->enabled || m.inputs.faults().framesStopped ||
      !m.inputs.sensor_powered()) {
    sleep_unlocked(encoderLock, lock, deadlineUs);
    return Fetch::kTimeout;
  }
  if (channel.sourceGeneration != source->generation) {
    channel.sourceGeneration = source->generation;
    channel.lastFrame = -1;
  }
  // The sensor fills the channel's video buffers in turn, so the newest nrVBs frames due are
  // still waiting in one; an older frame nobody coded has been overwritten and is lost. A
  // reader that falls behind (a key frame costs more than a period) catches up on the
  // buffered frames instead of losing them.
  const int64_t newest =
      startUs < source->startUs ? 0 : (startUs - source->startUs) / source->periodUs;
  int64_t index = channel.lastFrame + 1;
  if (channel.lastFrame < 0) {
    index = newest;  // a new reader starts with the newest frame
  } else if (const int64_t oldestKept = newest - source->attr.nrVBs + 1; index < oldestKept) {
    if (channel.receiving) {
      channel.dropped += static_cast<uint32_t>(oldestKept - index);
      channel.overwritten += static_cast<uint32_t>(oldestKept - index);
    }
    index = oldestKept;
  }
  const int64_t dueUs = source->startUs + index * source->periodUs;
  if (dueUs > deadlineUs) {
    sleep_unlocked(encoderLock, lock, deadlineUs);
    return Fetch::kTimeout;
  }
  const uint64_t generation = source->generation;
  if (dueUs > startUs) {
    const uint64_t incarnation = channel.incarnation;
    sleep_unlocked(encoderLock, lock, dueUs);
    // Meanwhile the recording may have stopped, the channel gone, or another reader coded it.
    if (channel.incarnation != incarnation || !channel.receiving) {
      return Fetch::kStopped;
    }
    if (channel.lastFrame >= index) {
      return Fetch::kTaken;
    }
    lock.lock();
    if (source->generation != generation || !source->enabled) {
      return Fetch::kStopped;
    }
  }
  const int width = source->width;
  const int height = source->height;
  if (width != channel.attr.encAttr.uWidth || height != channel.attr.encAttr.uHeight) {
    return Fetch::kStopped;  // the channel codes another size than the source makes
  }
  advance_exposure(m, dueUs);
  const View view = current_view(m);
  const double brightness = m.ae.brightness(target_amount(m, view));
  channel.nv12.resize(static_cast<size_t>(width) * height * 3 / 2);
  const HardwareWork sensor;
  m.generator->generate(view, static_cast<double>(dueUs - source->startUs) / 1e6, brightness, width,
                        height, channel.nv12.data());
  channel.lastFrame = index;
  *timestampUs = dueUs;
  return Fetch::kFrame;
}

// code_frame's result when libx265 kept the frame and gave out none.
constexpr int kStillCoding = 1;

// Submits the frame in `channel.nv12` to libx265 and puts the frame that comes out, if any,
// into the stream buffer: 0 when a frame came out, kStillCoding when none did, -1 on error.
// Called with the encoder mutex held.
int code_frame(EncChannel& channel, int64_t timestampUs) {
  const int width = channel.attr.encAttr.uWidth;
  const int height = channel.attr.encAttr.uHeight;
  const size_t luma = static_cast<size_t>(width) * height;
  channel.u.resize(luma / 4);
  channel.v.resize(luma / 4);
  const uint8_t* chroma = channel.nv12.data() + luma;
  for (size_t i = 0; i < luma / 4; ++i) {
    channel.u[i] = chroma[2 * i];
    channel.v[i] = chroma[2 * i + 1];
  }
  x265_picture* picture = channel.picture.get();
  picture->planes[0] = channel.nv12.data();
  picture->planes[1] = channel.u.data();
  picture->planes[2] = channel.v.data();
  picture->stride[0] = width;
  picture->stride[1] = width / 2;
  picture->stride[2] = width / 2;
  picture->pts = timestampUs;
  picture->sliceType = channel.keyFrameNext ? X265_TYPE_IDR : X265_TYPE_AUTO;
  channel.keyFrameNext = false;

  x265_nal* nals = nullptr;
  uint32_t count = 0;
  x265_picture out;
  x265_picture_init(channel.param.get(), &out);
  if (x265_encoder_encode(channel.encoder.get(), &nals, &count, picture, &out) < 0) {
    return fail(EIO);
  }
  ++channel.inCoder;
  if (count == 0) {
    return kStillCoding;
  }
  --channel.inCoder;
  const bool key = IS_X265_TYPE_I(out.sliceType);
  if (channel.awaitingKey && !key) {
    ++channel.dropped;  // refers to a dropped frame: useless to a decoder until the next key
    return kStillCoding;
  }
  size_t total = 0;
  for (uint32_t i = 0; i < count; ++i) {
    total += nals[i].sizeBytes;
  }
  if (total > channel.ring->free_bytes()) {
    ++channel.dropped;  // the reader has not given back enough of the buffer
    channel.keyFrameNext = true;
    channel.awaitingKey = true;
    return fail(ENOSPC);
  }
  channel.awaitingKey = false;
  CodedFrame frame;
  frame.seq = channel.seq++;
  frame.bytes = total;
  for (uint32_t i = 0; i < count; ++i) {
    IMPEncoderPack pack{};
    pack.offset = static_cast<uint32_t>(channel.ring->append(nals[i].payload, nals[i].sizeBytes));
    pack.length = nals[i].sizeBytes;
    pack.timestamp = out.pts;
    pack.frameEnd = i + 1 == count ? 1 : 0;
    pack.nalType = nals[i].type;
    pack.sliceType = slice_type(out.sliceType);
    frame.packs.push_back(pack);
  }
  channel.frames.push_back(std::move(frame));
  ++channel.coded;
  return 0;
}

bool has_waiting_frame(const EncChannel& channel) {
  for (const CodedFrame& frame : channel.frames) {
    if (!frame.handedOut) {
      return true;
    }
  }
  return false;
}

// Makes sure a coded frame waits for the reader, submitting the source's next frames until
// one comes out of the coder.
int wait_for_frame(std::unique_lock<std::mutex>& encoderLock, EncChannel& channel,
                   uint32_t timeoutMs) {
  const int64_t deadlineUs = now_us() + int64_t{timeoutMs} * 1000;
  while (!has_waiting_frame(channel)) {
    if (!channel.receiving || channel.group < 0) {
      return fail(EINVAL);
    }
    const int64_t leftUs = std::max<int64_t>(deadlineUs - now_us(), 0);
    int64_t timestampUs = 0;
    switch (fetch_frame(encoderLock, channel, source_channel(channel.group),
                        static_cast<uint32_t>(leftUs / 1000), &timestampUs)) {
      case Fetch::kTimeout:
        return fail(ETIMEDOUT);
      case Fetch::kStopped:
        return fail(EAGAIN);
      case Fetch::kTaken:
        continue;
      case Fetch::kFrame:
        break;
    }
    const HardwareWork encoder;
    draw_display_regions(channel.group, channel.nv12.data(), channel.attr.encAttr.uWidth,
                         channel.attr.encAttr.uHeight);
    if (code_frame(channel, timestampUs) < 0) {
      return -1;
    }
  }
  return 0;
}

// Starts libx265 afresh when frames are still in it from the last recording, so the next
// recording does not begin with stale frames.
int empty_coder(EncChannel& channel) {
  if (channel.inCoder == 0) {
    return 0;
  }
  channel.encoder.reset();     // closed first: two 1080p coders at once take twice the memory
  const HardwareWork encoder;  // its frame threads are the encoder's
  channel.encoder.reset(x265_encoder_open(channel.param.get()));
  channel.inCoder = 0;
  return channel.encoder ? 0 : fail(ENOMEM);
}

void destroy(EncChannel& channel) {
  channel = EncChannel{};
}

// The opening of every call on a created channel that does not wait for a frame: a failure the
// board injected into `call`, then the encoder mutex and the channel, which must exist.
// `body(e, channel)` runs with the mutex held and gives the call's result.
template <typename Body>
int on_created_channel(const char* call, int encChn, Body&& body) {
  if (injected(call)) {
    return fail(EIO);
  }
  Encoders& e = encoders();
  std::lock_guard lock(e.mutex);
  EncChannel* channel = channel_at(e, encChn);
  if (channel == nullptr || !channel->created) {
    return fail(EINVAL);
  }
  return body(e, *channel);
}

}  // namespace

void set_stream_buffer_size(size_t bytes) {
  Encoders& e = encoders();
  std::lock_guard lock(e.mutex);
  e.ringBytes = bytes > 0 ? bytes : kDefaultStreamBufferBytes;
}

void reset_encoder() {
  Encoders& e = encoders();
  {
    std::lock_guard lock(e.mutex);
    for (EncChannel& channel : e.channels) {
      destroy(channel);
    }
    e.groups = {};
    e.ringBytes = kDefaultStreamBufferBytes;
  }
  reset_bindings();
}

}  // namespace imp_host

#if defined(__SANITIZE_THREAD__)
// libx265's frame threads hand rows to each other through synchronisation the thread sanitizer
// cannot see in an uninstrumented library; races inside it are not ours to judge. Built into
// every program that codes video, so it holds in the board's sandboxes too, which do not see
// a suppressions file of the build tree.
extern "C" const char* __tsan_default_suppressions() {
  return "race:libx265.so\n";
}
#endif

using imp_host::EncChannel;
using imp_host::Encoders;
using imp_host::encoders;
using imp_host::fail;
using imp_host::HostMedia;
using imp_host::injected;
using imp_host::media;

int IMP_Encoder_CreateGroup(int encGroup) {
  if (injected("IMP_Encoder_CreateGroup")) {
    return fail(EIO);
  }
  Encoders& e = encoders();
  std::lock_guard lock(e.mutex);
  if (encGroup < 0 || encGroup >= imp_host::kMaxGroups) {
    return fail(EINVAL);
  }
  // A group outlives the video form's teardown, which only destroys the channel; the next
  // bring-up finds it there.
  e.groups[encGroup] = true;
  return 0;
}

int IMP_Encoder_DestroyGroup(int encGroup) {
  if (injected("IMP_Encoder_DestroyGroup")) {
    return fail(EIO);
  }
  Encoders& e = encoders();
  std::lock_guard lock(e.mutex);
  if (encGroup < 0 || encGroup >= imp_host::kMaxGroups || !e.groups[encGroup]) {
    return fail(EINVAL);
  }
  for (const EncChannel& channel : e.channels) {
    if (channel.group == encGroup) {
      return fail(EBUSY);
    }
  }
  e.groups[encGroup] = false;
  return 0;
}

int IMP_Encoder_SetDefaultParam(IMPEncoderChnAttr* chnAttr, IMPEncoderProfile profile,
                                IMPEncoderRcMode rcMode, uint16_t uWidth, uint16_t uHeight,
                                uint32_t frmRateNum, uint32_t frmRateDen, uint32_t uGopLength,
                                int uMaxSameSenceCnt, int iInitialQP, uint32_t uTargetBitRate) {
  if (injected("IMP_Encoder_SetDefaultParam")) {
    return fail(EIO);
  }
  if (chnAttr == nullptr) {
    return fail(EINVAL);
  }
  memset(chnAttr, 0, sizeof(*chnAttr));
  chnAttr->encAttr = {profile, uWidth, uHeight};
  chnAttr->outFrmRate = {frmRateNum, frmRateDen};
  chnAttr->rcAttr = {rcMode, uTargetBitRate, iInitialQP};
  chnAttr->gopAttr = {uGopLength, static_cast<uint32_t>(uMaxSameSenceCnt)};
  return imp_host::valid_attributes(*chnAttr) ? 0 : fail(EINVAL);
}

int IMP_Encoder_CreateChn(int encChn, const IMPEncoderChnAttr* attr) {
  if (injected("IMP_Encoder_CreateChn")) {
    return fail(EIO);
  }
  Encoders& e = encoders();
  std::lock_guard lock(e.mutex);
  EncChannel* channel = imp_host::channel_at(e, encChn);
  if (channel == nullptr || attr == nullptr || !imp_host::valid_attributes(*attr)) {
    return fail(EINVAL);
  }
  if (channel->created) {
    return fail(EBUSY);
  }
  EncChannel fresh;
  fresh.attr = *attr;
  fresh.param = imp_host::make_param(*attr);
  if (!fresh.param) {
    return fail(EINVAL);
  }
  {
    const imp_host::HardwareWork encoder;  // its frame threads are the encoder's
    fresh.encoder.reset(x265_encoder_open(fresh.param.get()));
  }
  fresh.picture.reset(x265_picture_alloc());
  if (!fresh.encoder || !fresh.picture) {
    return fail(ENOMEM);
  }
  x265_picture_init(fresh.param.get(), fresh.picture.get());
  fresh.ring = std::make_unique<imp_host::StreamRing>(e.ringBytes);
  fresh.created = true;
  fresh.incarnation = ++e.creations;
  *channel = std::move(fresh);
  return 0;
}

int IMP_Encoder_DestroyChn(int encChn) {
  return imp_host::on_created_channel(__func__, encChn, [&](Encoders&, EncChannel& channel) {
    if (channel.group >= 0) {
      return fail(EBUSY);
    }
    imp_host::destroy(channel);
    return 0;
  });
}

int IMP_Encoder_RegisterChn(int encGroup, int encChn) {
  return imp_host::on_created_channel(__func__, encChn, [&](Encoders& e, EncChannel& channel) {
    if (encGroup < 0 || encGroup >= imp_host::kMaxGroups || !e.groups[encGroup]) {
      return fail(EINVAL);
    }
    if (channel.group >= 0) {
      return fail(EBUSY);
    }
    channel.group = encGroup;
    return 0;
  });
}

int IMP_Encoder_UnRegisterChn(int encChn) {
  return imp_host::on_created_channel(__func__, encChn, [&](Encoders&, EncChannel& channel) {
    if (channel.group < 0) {
      return fail(EINVAL);
    }
    channel.group = -1;
    channel.receiving = false;
    return 0;
  });
}

int IMP_Encoder_Query(int encChn, IMPEncoderChnStat* stat) {
  if (injected("IMP_Encoder_Query")) {
    return fail(EIO);
  }
  Encoders& e = encoders();
  std::lock_guard lock(e.mutex);
  EncChannel* channel = imp_host::channel_at(e, encChn);
  if (channel == nullptr || stat == nullptr) {
    return fail(EINVAL);
  }
  *stat = IMPEncoderChnStat{};
  stat->registered = channel->group >= 0 ? 1 : 0;
  stat->droppedFrames = channel->dropped;
  stat->leftPics = static_cast<uint32_t>(channel->inCoder);
  for (const imp_host::CodedFrame& frame : channel->frames) {
    stat->leftStreamBytes += static_cast<uint32_t>(frame.bytes);
    ++stat->leftStreamFrames;
    if (!frame.handedOut && stat->curPacks == 0) {
      stat->curPacks = static_cast<uint32_t>(frame.packs.size());
    }
  }
  return 0;
}

int IMP_Encoder_StartRecvPic(int encChn) {
  return imp_host::on_created_channel(__func__, encChn, [&](Encoders&, EncChannel& channel) {
    if (channel.group < 0) {
      return fail(EINVAL);
    }
    if (!channel.receiving) {
      if (imp_host::empty_coder(channel) != 0) {
        return -1;
      }
      channel.receiving = true;
      channel.keyFrameNext = true;
      channel.awaitingKey = false;
      channel.lastFrame = -1;  // coding starts with the next frame the source makes
      channel.sourceGeneration = 0;
      channel.dropped = 0;
      channel.overwritten = 0;
      channel.coded = 0;
      HostMedia& m = media();
      std::lock_guard mediaLock(m.mutex);
      note_activity(m, "recording start: encoder channel " + std::to_string(encChn) + ", " +
                           std::to_string(channel.attr.encAttr.uWidth) + "x" +
                           std::to_string(channel.attr.encAttr.uHeight) + " H.265 at " +
                           std::to_string(channel.attr.rcAttr.uTargetBitRate) + " kbit/s");
    }
    return 0;
  });
}

int IMP_Encoder_StopRecvPic(int encChn) {
  return imp_host::on_created_channel(__func__, encChn, [&](Encoders&, EncChannel& channel) {
    if (channel.receiving) {
      HostMedia& m = media();
      std::lock_guard mediaLock(m.mutex);
      note_activity(m, "recording end: encoder channel " + std::to_string(encChn) + ", " +
                           std::to_string(channel.coded) + " frames coded, " +
                           std::to_string(channel.dropped) + " dropped (" +
                           std::to_string(channel.overwritten) +
                           " overwritten in the source's buffers before coding)");
    }
    channel.receiving = false;
    return 0;
  });
}

int IMP_Encoder_PollingStream(int encChn, uint32_t timeoutMsec) {
  if (injected("IMP_Encoder_PollingStream")) {
    imp_host::sleep_until_us(imp_host::now_us() + int64_t{timeoutMsec} * 1000);
    return fail(ETIMEDOUT);
  }
  Encoders& e = encoders();
  std::unique_lock lock(e.mutex);
  EncChannel* channel = imp_host::channel_at(e, encChn);
  if (channel == nullptr || !channel->created) {
    return fail(EINVAL);
  }
  return imp_host::wait_for_frame(lock, *channel, timeoutMsec);
}

int IMP_Encoder_GetStream(int encChn, IMPEncoderStream* stream, int blockFlag) {
  if (injected("IMP_Encoder_GetStream")) {
    return fail(EIO);
  }
  Encoders& e = encoders();
  std::unique_lock lock(e.mutex);
  EncChannel* channel = imp_host::channel_at(e, encChn);
  if (channel == nullptr || stream == nullptr || !channel->created) {
    return fail(EINVAL);
  }
  if (!imp_host::has_waiting_frame(*channel)) {
    if (!blockFlag) {
      return fail(EAGAIN);
    }
    if (imp_host::wait_for_frame(lock, *channel, imp_host::kBlockingWaitMs) != 0) {
      return -1;
    }
  }
  for (imp_host::CodedFrame& frame : channel->frames) {
    if (!frame.handedOut) {
      frame.handedOut = true;
      *stream = IMPEncoderStream{};
      stream->virAddr = reinterpret_cast<uintptr_t>(channel->ring->base());
      stream->streamSize = static_cast<uint32_t>(channel->ring->size());
      stream->pack = frame.packs.data();
      stream->packCount = static_cast<uint32_t>(frame.packs.size());
      stream->seq = frame.seq;
      return 0;
    }
  }
  return fail(EAGAIN);
}

int IMP_Encoder_ReleaseStream(int encChn, IMPEncoderStream* stream) {
  return imp_host::on_created_channel(__func__, encChn, [&](Encoders&, EncChannel& channel) {
    if (stream == nullptr || channel.frames.empty()) {
      return fail(EINVAL);
    }
    // Only the oldest frame handed out can go back: the buffer is given back in order.
    imp_host::CodedFrame& oldest = channel.frames.front();
    if (!oldest.handedOut || oldest.seq != stream->seq) {
      return fail(EINVAL);
    }
    channel.ring->release(oldest.bytes);
    channel.frames.pop_front();
    return 0;
  });
}
