// Simulated frame-source channels: NV12 frames of the channel's size, due at its frame rate
// from the moment it is enabled, handed to one reader through the channel's video buffers.
//
// Frames are made when the reader asks: GetFrame works out which frame is due, waits for it
// on the monotonic clock (so the board's time compression paces it) and draws the scene into
// a free buffer. With a frame depth of 1 the channel keeps its newest frame for the reader, so
// a reader that comes late gets that one at once; with depth 0 nothing is kept for a reader.
#include <errno.h>
#include <string.h>

#include "platform/imp/host/host_media.h"
#include "platform/imp/imp_framesource.h"

namespace imp_host {

namespace {

// Largest picture of the os02g10 sensor, and its fastest rate.
constexpr int kMaxWidth = 1920;
constexpr int kMaxHeight = 1080;
constexpr int kMaxFramesPerSecond = 30;
constexpr int kMaxBuffers = 8;
// How long a reader waits for a frame that never comes before the call fails.
constexpr int64_t kFrameTimeoutUs = 1000000;

Channel* channel_at(HostMedia& m, int chn) {
  return chn >= 0 && chn < IMP_FS_MAX_CHANNELS ? &m.channels[chn] : nullptr;
}

bool valid_attributes(const IMPFSChnAttr& attr) {
  const bool scaled = attr.scaler.enable != 0;
  const int width = scaled ? attr.scaler.outwidth : attr.picWidth;
  const int height = scaled ? attr.scaler.outheight : attr.picHeight;
  return attr.picWidth > 0 && attr.picWidth <= kMaxWidth && attr.picHeight > 0 &&
         attr.picHeight <= kMaxHeight && width > 0 && width <= kMaxWidth && height > 0 &&
         height <= kMaxHeight && width % 2 == 0 && height % 2 == 0 && attr.pixFmt == PIX_FMT_NV12 &&
         attr.outFrmRateNum > 0 && attr.outFrmRateDen > 0 &&
         attr.outFrmRateNum <= kMaxFramesPerSecond * attr.outFrmRateDen && attr.nrVBs > 0 &&
         attr.nrVBs <= kMaxBuffers;
}

void apply_attributes(Channel& channel, const IMPFSChnAttr& attr) {
  channel.attr = attr;
  channel.attrSet = true;
  channel.width = attr.scaler.enable ? attr.scaler.outwidth : attr.picWidth;
  channel.height = attr.scaler.enable ? attr.scaler.outheight : attr.picHeight;
  channel.periodUs = int64_t{1000000} * attr.outFrmRateDen / attr.outFrmRateNum;
}

}  // namespace

}  // namespace imp_host

using imp_host::apply_attributes;
using imp_host::Channel;
using imp_host::channel_at;
using imp_host::fail;
using imp_host::HostMedia;
using imp_host::media;
using imp_host::valid_attributes;

int IMP_FrameSource_CreateChn(int chn, IMPFSChnAttr* attr) {
  HostMedia& m = media();
  std::lock_guard lock(m.mutex);
  if (injected_failure(m, "IMP_FrameSource_CreateChn")) {
    return fail(EIO);
  }
  Channel* channel = channel_at(m, chn);
  if (channel == nullptr || attr == nullptr || !m.systemUp) {
    return fail(EINVAL);
  }
  if (channel->created) {
    return fail(EBUSY);
  }
  if (!valid_attributes(*attr)) {
    return fail(EINVAL);
  }
  *channel = Channel{};
  channel->created = true;
  apply_attributes(*channel, *attr);
  return 0;
}

int IMP_FrameSource_DestroyChn(int chn) {
  HostMedia& m = media();
  std::lock_guard lock(m.mutex);
  if (injected_failure(m, "IMP_FrameSource_DestroyChn")) {
    return fail(EIO);
  }
  Channel* channel = channel_at(m, chn);
  if (channel == nullptr || !channel->created) {
    return fail(EINVAL);
  }
  if (channel->enabled) {
    return fail(EBUSY);
  }
  *channel = Channel{};
  return 0;
}

int IMP_FrameSource_SetChnAttr(int chn, const IMPFSChnAttr* attr) {
  HostMedia& m = media();
  std::lock_guard lock(m.mutex);
  if (injected_failure(m, "IMP_FrameSource_SetChnAttr")) {
    return fail(EIO);
  }
  Channel* channel = channel_at(m, chn);
  if (channel == nullptr || attr == nullptr || !channel->created || !valid_attributes(*attr)) {
    return fail(EINVAL);
  }
  if (channel->enabled) {
    return fail(EBUSY);
  }
  apply_attributes(*channel, *attr);
  return 0;
}

int IMP_FrameSource_GetChnAttr(int chn, IMPFSChnAttr* attr) {
  HostMedia& m = media();
  std::lock_guard lock(m.mutex);
  if (injected_failure(m, "IMP_FrameSource_GetChnAttr")) {
    return fail(EIO);
  }
  Channel* channel = channel_at(m, chn);
  if (channel == nullptr || attr == nullptr || !channel->attrSet) {
    return fail(EINVAL);
  }
  *attr = channel->attr;
  return 0;
}

int IMP_FrameSource_EnableChn(int chn) {
  HostMedia& m = media();
  std::lock_guard lock(m.mutex);
  if (injected_failure(m, "IMP_FrameSource_EnableChn")) {
    return fail(EIO);
  }
  Channel* channel = channel_at(m, chn);
  if (channel == nullptr || !channel->created || !m.sensorEnabled) {
    return fail(EINVAL);
  }
  if (channel->enabled) {
    return 0;
  }
  const size_t bytes = static_cast<size_t>(channel->width) * channel->height * 3 / 2;
  channel->slots.assign(static_cast<size_t>(channel->attr.nrVBs), imp_host::FrameSlot{});
  for (size_t i = 0; i < channel->slots.size(); ++i) {
    imp_host::FrameSlot& slot = channel->slots[i];
    slot.data.assign(bytes, 0);
    slot.info.index = static_cast<int>(i);
    slot.info.pool_idx = chn;
    slot.info.width = static_cast<uint32_t>(channel->width);
    slot.info.height = static_cast<uint32_t>(channel->height);
    slot.info.pixfmt = PIX_FMT_NV12;
    slot.info.size = static_cast<uint32_t>(bytes);
    slot.info.virAddr = reinterpret_cast<uintptr_t>(slot.data.data());
  }
  channel->enabled = true;
  ++channel->generation;
  // The sensor delivers its first frame one period after streaming starts.
  channel->startUs = imp_host::now_us() + channel->periodUs;
  channel->lastHanded = -1;
  m.aeChannel = -1;
  note_activity(m, "stream on: channel " + std::to_string(chn) + ", " +
                       std::to_string(channel->width) + "x" + std::to_string(channel->height) +
                       " at " + std::to_string(1000000 / channel->periodUs) + " fps");
  return 0;
}

int IMP_FrameSource_DisableChn(int chn) {
  HostMedia& m = media();
  std::lock_guard lock(m.mutex);
  if (injected_failure(m, "IMP_FrameSource_DisableChn")) {
    return fail(EIO);
  }
  Channel* channel = channel_at(m, chn);
  if (channel == nullptr || !channel->created) {
    return fail(EINVAL);
  }
  if (channel->enabled) {
    note_activity(m, "stream off: channel " + std::to_string(chn));
  }
  channel->enabled = false;
  ++channel->generation;
  // Frames still out die with the stream; their buffers stay valid until the next enable.
  for (imp_host::FrameSlot& slot : channel->slots) {
    slot.out = false;
  }
  return 0;
}

int IMP_FrameSource_SetFrameDepth(int chn, int depth) {
  HostMedia& m = media();
  std::lock_guard lock(m.mutex);
  if (injected_failure(m, "IMP_FrameSource_SetFrameDepth")) {
    return fail(EIO);
  }
  Channel* channel = channel_at(m, chn);
  if (channel == nullptr || !channel->created || depth < 0 || depth > channel->attr.nrVBs) {
    return fail(EINVAL);
  }
  channel->depth = depth;
  return 0;
}

int IMP_FrameSource_GetFrameDepth(int chn, int* ret_depth) {
  HostMedia& m = media();
  std::lock_guard lock(m.mutex);
  Channel* channel = channel_at(m, chn);
  if (channel == nullptr || ret_depth == nullptr || !channel->created) {
    return fail(EINVAL);
  }
  *ret_depth = channel->depth;
  return 0;
}

int IMP_FrameSource_GetFrame(int chn, IMPFrameInfo** ret_frame) {
  HostMedia& m = media();
  std::unique_lock lock(m.mutex);
  if (injected_failure(m, "IMP_FrameSource_GetFrame")) {
    return fail(EIO);
  }
  Channel* channel = channel_at(m, chn);
  if (channel == nullptr || ret_frame == nullptr || !channel->enabled || channel->depth == 0) {
    return fail(EINVAL);
  }
  imp_host::FrameSlot* slot = nullptr;
  for (imp_host::FrameSlot& candidate : channel->slots) {
    if (!candidate.out) {
      slot = &candidate;
      break;
    }
  }
  // Every buffer is with the reader: the channel has nothing to fill.
  if (slot == nullptr) {
    return fail(ENOBUFS);
  }
  const uint64_t generation = channel->generation;
  const int64_t startUs = imp_host::now_us();
  // The newest frame made so far is kept for the reader if it has not had it; otherwise the
  // next one is waited for.
  int64_t index = (startUs - channel->startUs) / channel->periodUs;
  if (startUs < channel->startUs || index <= channel->lastHanded) {
    index = channel->lastHanded + 1;
  }
  int64_t dueUs = channel->startUs + index * channel->periodUs;
  const bool stopped = m.inputs.faults().framesStopped || !m.inputs.sensor_powered();
  if (stopped) {
    dueUs = startUs + imp_host::kFrameTimeoutUs;
  }
  if (dueUs > startUs) {
    lock.unlock();
    imp_host::sleep_until_us(dueUs);
    lock.lock();
    if (channel->generation != generation || slot->out) {
      return fail(EAGAIN);  // the stream stopped, or another reader took the buffer
    }
  }
  if (stopped) {
    return fail(ETIMEDOUT);
  }
  advance_exposure(m, dueUs);
  const imp_host::View view = current_view(m);
  const double brightness = m.ae.brightness(target_amount(m, view));
  const double seconds = static_cast<double>(dueUs - channel->startUs) / 1e6;
  const imp_host::HardwareWork sensor;
  m.generator->generate(view, seconds, brightness, channel->width, channel->height,
                        slot->data.data());
  slot->info.timeStamp = dueUs;
  slot->out = true;
  channel->lastHanded = index;
  *ret_frame = &slot->info;
  return 0;
}

int IMP_FrameSource_ReleaseFrame(int chn, IMPFrameInfo* frame) {
  HostMedia& m = media();
  std::lock_guard lock(m.mutex);
  if (injected_failure(m, "IMP_FrameSource_ReleaseFrame")) {
    return fail(EIO);
  }
  Channel* channel = channel_at(m, chn);
  if (channel == nullptr || frame == nullptr || !channel->enabled) {
    return fail(EINVAL);
  }
  for (imp_host::FrameSlot& slot : channel->slots) {
    if (&slot.info == frame) {
      if (!slot.out) {
        return fail(EINVAL);
      }
      slot.out = false;
      return 0;
    }
  }
  return fail(EINVAL);
}
