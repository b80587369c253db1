// The simulated encoder as the recording reads it: frames from the bound frame source coded
// as H.265, handed out as packs in a circular buffer, released in order, with the faults the
// board can inject.
#include <fcntl.h>
#include <stdio.h>
#include <stdlib.h>
#include <string.h>
#include <sys/syscall.h>
#include <unistd.h>

#include <atomic>
#include <cmath>
#include <fstream>
#include <string>
#include <thread>
#include <vector>

#include <gtest/gtest.h>

#include "app/capture/video_capture.h"
#include "platform/imp/host/encoder_host.h"
#include "platform/imp/host/host_media.h"
#include "platform/imp/host/imp_host.h"
#include "platform/imp/imp.h"

#include "tests/support/file_lines.h"
#include "tests/support/imp_pipeline.h"

namespace {

constexpr int kWidth = 640;
constexpr int kHeight = 360;
constexpr int64_t kPeriodUs = 33333;

// One coded frame as the reader saw it.
struct Seen {
  std::vector<uint32_t> nalTypes;
  int64_t timestamp = 0;
  bool wrapped = false;  // one of its packs runs past the buffer's end
};

class Encoder : public imp_pipeline::HostTest {
 protected:
  // The video pipeline as the camera builds it; the index of the failing step, or -1 (100 for a
  // failing bind or start).
  int bring_up() {
    const int step = imp_pipeline::build_video(kWidth, kHeight, 1000);
    return step >= 0 ? step : imp_pipeline::connect_video() == 0 ? -1 : 100;
  }

  // Records `frames` frames to `path` as the recording does, pack by pack.
  std::vector<Seen> record(const std::string& path, int frames) {
    std::vector<Seen> seen;
    const int out = open(path.c_str(), O_WRONLY | O_CREAT | O_TRUNC, 0644);
    for (int i = 0; i < frames; ++i) {
      IMPEncoderStream stream{};
      if (IMP_Encoder_PollingStream(0, 1000) != 0 || IMP_Encoder_GetStream(0, &stream, 1) != 0) {
        ADD_FAILURE() << "no frame " << i;
        break;
      }
      Seen frame;
      frame.timestamp = stream.pack[0].timestamp;
      for (uint32_t p = 0; p < stream.packCount; ++p) {
        EXPECT_EQ(stream.pack[p].timestamp, frame.timestamp);
        EXPECT_EQ(stream.pack[p].frameEnd, p + 1 == stream.packCount ? 1u : 0u);
        frame.nalTypes.push_back(stream.pack[p].nalType);
      }
      for (uint32_t p = 0; p < stream.packCount; ++p) {
        frame.wrapped =
            frame.wrapped || stream.pack[p].offset + stream.pack[p].length > stream.streamSize;
      }
      // Written by the recording's own writer, a pack across the ring's end in two parts.
      EXPECT_EQ(write_stream(out, &stream), 0);
      seen.push_back(frame);
      EXPECT_EQ(IMP_Encoder_ReleaseStream(0, &stream), 0);
    }
    close(out);
    return seen;
  }
};

TEST_F(Encoder, PacksReassembleIntoAStreamFfmpegDecodes) {
  imp_host::set_stream_buffer_size(96 * 1024);  // a few frames, so packs wrap around
  ASSERT_EQ(bring_up(), -1);
  const std::string path = dir_.path() + "/stream.h265";
  constexpr int kFrames = 75;
  const std::vector<Seen> seen = record(path, kFrames);
  ASSERT_EQ(seen.size(), static_cast<size_t>(kFrames));

  bool wrapped = false;
  for (size_t i = 0; i < seen.size(); ++i) {
    SCOPED_TRACE("frame " + std::to_string(i));
    // A VPS opens every key frame, one per GOP of 30, and only those.
    const bool key = i % 30 == 0;
    EXPECT_EQ(seen[i].nalTypes.front() == IMP_H265_NAL_VPS, key);
    bool idr = false;
    for (uint32_t type : seen[i].nalTypes) {
      idr = idr || type == IMP_H265_NAL_SLICE_IDR_W_RADL || type == IMP_H265_NAL_SLICE_IDR_N_LP;
    }
    EXPECT_EQ(idr, key);
    // Frame times rise in whole frame periods of the source's clock.
    if (i > 0) {
      EXPECT_GT(seen[i].timestamp, seen[i - 1].timestamp);
      EXPECT_EQ((seen[i].timestamp - seen[i - 1].timestamp) % kPeriodUs, 0);
    }
    wrapped = wrapped || seen[i].wrapped;
  }
  EXPECT_TRUE(wrapped);

  EXPECT_EQ(test_support::command_output("ffmpeg -v error -i '" + path + "' -f null - 2>&1"), "");
  EXPECT_EQ(test_support::command_output(
                "ffprobe -v error -count_frames -select_streams v:0 -show_entries "
                "stream=codec_name,width,height,nb_read_frames -of csv=p=0 '" +
                path + "'"),
            "hevc,640,360,75\n");
}

TEST_F(Encoder, StreamsGoBackInOrderAndInjectedFaultsFailTheirStep) {
  ASSERT_EQ(bring_up(), -1);
  IMPEncoderStream first{};
  IMPEncoderStream second{};
  ASSERT_EQ(IMP_Encoder_GetStream(0, &first, 1), 0);
  ASSERT_EQ(IMP_Encoder_GetStream(0, &second, 1), 0);
  EXPECT_EQ(second.seq, first.seq + 1);
  EXPECT_EQ(IMP_Encoder_ReleaseStream(0, &second), -1);
  EXPECT_EQ(IMP_Encoder_ReleaseStream(0, &first), 0);
  EXPECT_EQ(IMP_Encoder_ReleaseStream(0, &second), 0);
  EXPECT_EQ(IMP_Encoder_GetStream(0, &first, 0), -1);  // nothing coded waits

  // An unbound encoder has nothing to code: its poll times out.
  IMPCell osd{DEV_ID_OSD, 0, 0};
  IMPCell encoder{DEV_ID_ENC, 0, 0};
  ASSERT_EQ(IMP_System_UnBind(&osd, &encoder), 0);
  EXPECT_EQ(IMP_Encoder_PollingStream(0, 50), -1);

  struct Case {
    const char* operation;
    int step;  // of bring_up
  };
  int id = 0;
  for (const Case& c : {Case{"IMP_Encoder_CreateChn", 8}, Case{"IMP_Encoder_RegisterChn", 9},
                        Case{"IMP_Encoder_PollingStream", -1}}) {
    SCOPED_TRACE(c.operation);
    imp_host::reset_encoder();
    imp_host::reset();
    faults("fail " + std::to_string(++id) + " " + c.operation + " once\n");
    EXPECT_EQ(bring_up(), c.step);
    if (c.step < 0) {
      EXPECT_EQ(IMP_Encoder_PollingStream(0, 100), -1);
      EXPECT_EQ(IMP_Encoder_PollingStream(0, 1000), 0);  // once only
    }
  }
  IMPEncoderChnStat stat{};
  ASSERT_EQ(IMP_Encoder_Query(0, &stat), 0);
  EXPECT_EQ(stat.registered, 1);
  EXPECT_EQ(stat.leftStreamFrames, 1u);
}

// The system call thread `tid` of this process is blocked in, as the kernel shows it; -1 when
// it runs or has ended.
long blocked_in(pid_t tid) {
  std::ifstream in("/proc/self/task/" + std::to_string(tid) + "/syscall");
  long number = -1;
  return in >> number ? number : -1;
}

// The encoder is hardware beside the sensor: a poll waiting for a frame does not keep the
// other calls out. The poll's thread is seen asleep in its wait by the kernel both before and
// after another call went through; had the poll held the encoder through its wait, the other
// call could only have returned once the wait was over.
TEST_F(Encoder, APollWaitingForAFrameLeavesTheEncoderToOtherCalls) {
  ASSERT_EQ(bring_up(), -1);
  IMPCell osd{DEV_ID_OSD, 0, 0};
  IMPCell encoder{DEV_ID_ENC, 0, 0};
  ASSERT_EQ(IMP_System_UnBind(&osd, &encoder), 0);  // nothing to code: polls wait out their time
  bool seenAsleep = false;
  bool asleepAfter = false;
  // A poll can end before this thread saw it asleep (a busy host): then it polls again.
  for (int attempt = 0; attempt < 5 && !seenAsleep; ++attempt) {
    std::atomic<pid_t> poller{0};
    std::atomic<bool> done{false};
    std::thread polling([&] {
      poller = static_cast<pid_t>(syscall(SYS_gettid));
      EXPECT_EQ(IMP_Encoder_PollingStream(0, 3000), -1);
      done = true;
    });
    while (!done && (poller == 0 || blocked_in(poller) != SYS_clock_nanosleep)) {
      std::this_thread::yield();
    }
    seenAsleep = !done;
    if (seenAsleep) {
      IMPEncoderChnStat stat{};
      EXPECT_EQ(IMP_Encoder_Query(0, &stat), 0);
      EXPECT_EQ(stat.registered, 1);
      asleepAfter = !done && blocked_in(poller) == SYS_clock_nanosleep;
    }
    polling.join();
  }
  ASSERT_TRUE(seenAsleep) << "the poll was never seen waiting";
  EXPECT_TRUE(asleepAfter) << "another call had to wait for the poll's wait to end";
}

// A reader that comes back late first gets the frames still in the coder, without a gap, then
// the older of the source's two buffered frames; only frames overwritten in the buffers count
// as dropped.
TEST_F(Encoder, ALateReaderCodesTheBufferedFramesAndCountsTheOverwrittenOnes) {
  ASSERT_EQ(bring_up(), -1);
  int64_t last = record(dir_.path() + "/before.h265", 1).at(0).timestamp;
  uint32_t dropped = 0;
  // Reads one frame; how many frames were missing before it.
  auto next = [&](int64_t* time) {
    IMPEncoderStream stream{};
    EXPECT_EQ(IMP_Encoder_GetStream(0, &stream, 1), 0);
    *time = stream.packCount > 0 ? stream.pack[0].timestamp : last + kPeriodUs;
    EXPECT_GT(*time, last);
    const auto missing = static_cast<uint32_t>((*time - last) / kPeriodUs - 1);
    dropped += missing;
    last = *time;
    EXPECT_EQ(IMP_Encoder_ReleaseStream(0, &stream), 0);
    return missing;
  };
  for (int round = 0; round < 3; ++round) {  // where a period boundary falls varies per round
    SCOPED_TRACE("round " + std::to_string(round));
    usleep(6 * kPeriodUs);
    // The first call fetches the buffered frame while a newer one is already due.
    int64_t time = 0;
    bool gap = next(&time) > 0;
    const int64_t firstReturnedUs = imp_host::now_us();
    for (int i = 0; i < 3 && !gap; ++i) {
      gap = next(&time) > 0;
    }
    ASSERT_TRUE(gap);
    EXPECT_LE(time + kPeriodUs, firstReturnedUs) << "a newer frame was waiting behind it";
  }
  // Every gap in the timestamps is counted. The count at any moment covers the frames read and
  // the frames the coder still holds, which come out next and in order: once those are read,
  // the gaps seen match it, however slowly the host coded (new frames lost meanwhile belong
  // to frames that come out later).
  IMPEncoderChnStat stat{};
  ASSERT_EQ(IMP_Encoder_Query(0, &stat), 0);
  for (uint32_t held = 0; held < stat.leftPics; ++held) {
    int64_t time = 0;
    next(&time);
  }
  EXPECT_EQ(dropped, stat.droppedFrames);

  // A new start opens with a key frame of its own, not with a frame the coder still held.
  ASSERT_EQ(IMP_Encoder_StopRecvPic(0) | IMP_Encoder_StartRecvPic(0), 0);
  const std::vector<Seen> again = record(dir_.path() + "/again.h265", 2);
  ASSERT_EQ(again.size(), 2u);
  EXPECT_EQ(again[0].nalTypes.front(), IMP_H265_NAL_VPS);
  EXPECT_NE(again[1].nalTypes.front(), IMP_H265_NAL_VPS);
}

// Root mean square of one audio frame's samples.
double loudness(const IMPAudioFrame& frame) {
  const auto* samples = reinterpret_cast<const int16_t*>(frame.virAddr);
  double sum = 0;
  const int count = frame.len / 2;
  for (int i = 0; i < count; ++i) {
    sum += static_cast<double>(samples[i]) * samples[i];
  }
  return count > 0 ? std::sqrt(sum / count) : 0;
}

TEST_F(Encoder, AudioFramesShareTheVideoClockAndFollowVolumeAndGain) {
  ASSERT_EQ(bring_up(), -1);
  IMPAudioIOAttr attr{
      AUDIO_SAMPLE_RATE_32000, AUDIO_BIT_WIDTH_16, AUDIO_SOUND_MODE_MONO, 20, 1600, 1};
  IMPAudioIChnParam param{20, 0};
  ASSERT_EQ(IMP_AI_SetPubAttr(1, &attr), 0);
  ASSERT_EQ(IMP_AI_Enable(1), 0);
  ASSERT_EQ(IMP_AI_SetChnParam(1, 0, &param), 0);
  ASSERT_EQ(IMP_AI_EnableChn(1, 0), 0);
  // Quiet, then loud: the same ambient sound scaled by volume and gain.
  struct Setting {
    int volume, gain;
  };
  std::vector<double> levels;
  std::vector<int64_t> audioTimes;
  for (const Setting& setting : {Setting{0, 0}, Setting{60, 31}}) {
    ASSERT_EQ(IMP_AI_SetVol(1, 0, setting.volume), 0);
    ASSERT_EQ(IMP_AI_SetGain(1, 0, setting.gain), 0);
    IMPAudioFrame frame{};
    ASSERT_EQ(IMP_AI_PollingFrame(1, 0, 1000), 0);
    ASSERT_EQ(IMP_AI_GetFrame(1, 0, &frame, BLOCK), 0);
    EXPECT_EQ(frame.len, 3200);
    levels.push_back(loudness(frame));
    audioTimes.push_back(frame.timeStamp);
    ASSERT_EQ(IMP_AI_ReleaseFrame(1, 0, &frame), 0);
  }
  EXPECT_GT(levels[1], levels[0] * 3);
  EXPECT_EQ(audioTimes[1] - audioTimes[0], 50000);  // 1600 samples at 32 kHz
  // The video frames coded next are stamped on the same clock: later than the sound, and not
  // by more than the few frames' worth a loaded machine may take.
  const std::vector<Seen> seen = record(dir_.path() + "/stream.h265", 3);
  ASSERT_EQ(seen.size(), 3u);
  EXPECT_GT(seen.front().timestamp, audioTimes[1]);
  EXPECT_LT(seen.back().timestamp - audioTimes[1], 1000000);
  IMP_AI_DisableChn(1, 0);
  IMP_AI_Disable(1);
}

}  // namespace
