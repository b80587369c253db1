// The MCU peer's worker: reads the camera's frames, answers them, writes what is due.
#include <poll.h>
#include <unistd.h>

#include <algorithm>
#include <array>
#include <cerrno>
#include <string>
#include <utility>

#include "sim/mcu/mcu_answers.h"
#include "sim/mcu/mcu_message_table.h"
#include "sim/mcu/mcu_peer_state.h"
#include "sim/mcu/proto_fields.h"
#include "sim/peers/peer_framer.h"
#include "sim/peers/proto/mcu_messages.pb.h"
#include "sim/peers/serial_line.h"

namespace sim {

using std::chrono::milliseconds;

namespace {

// While nobody holds the pseudo-terminal's slave open (camera off), the line is looked at
// again this often.
constexpr int kHungUpRetryMs = 20;
// How long one write may wait for room on the line before the message counts as not written.
constexpr int kWriteRoomTimeoutMs = 2000;

// When the next message is due, -1 for none; the caller holds `mutex`.
milliseconds next_due(const McuPeerState& s) {
  milliseconds due{-1};
  for (const McuOutgoing& message : s.outgoing) {
    due = due.count() < 0 ? message.due : std::min(due, message.due);
  }
  return due;
}

// Milliseconds of host time to wait for the next due message (the board's alarm ends the wait
// sooner when board time runs ahead), -1 for none; the caller holds `mutex`.
int poll_timeout_ms(const McuPeerState& s, bool hungUp) {
  int timeout = -1;
  const milliseconds due = next_due(s);
  if (due.count() >= 0) {
    const auto wait = std::max<milliseconds::rep>(0, (due - s.now()).count());
    timeout = static_cast<int>(std::min<milliseconds::rep>(wait, 60000));
  }
  if (hungUp) {
    timeout = timeout < 0 ? kHungUpRetryMs : std::min(timeout, kHungUpRetryMs);
  }
  return timeout;
}

// What a request does to the MCU besides its answer. Caller holds `mutex`. Returns true when
// the Modem's power changed.
bool act_on_request(McuPeerState& s, uint32_t tag, const google::protobuf::Message& request,
                    McuRecord& record) {
  switch (tag) {
    case kReqSetStatusLed:
      s.led.colour = static_cast<uint32_t>(get_number(request, 1));
      s.led.blinking = has_field(request, 2);
      s.led.blinkPeriodMs = s.led.blinking ? static_cast<uint32_t>(get_number(request, 2)) : 0;
      return false;
    case kReqSetModemPower: {
      const bool on = get_number(request, 1) != 0;
      const bool changed = on != s.modemPowered;
      s.modemPowered = on;
      return changed;
    }
    case kReqSetRtc:
      s.rtcValid = get_number(request, 1) != 0;
      s.rtcEpoch = static_cast<int32_t>(get_number(request, 2));
      s.rtcSetAt = s.now();
      return false;
    case kReqWatchdogNotification:
      ++s.watchdogNotifications;
      return false;
    case kReqWdmTriggered:
      ++s.wdmDoneRequests;
      return false;
    default:
      break;
  }
  // An acknowledgement settles the oldest open notification of its kind.
  for (std::size_t kind = 0; kind < kMcuNotificationPairs.size(); ++kind) {
    if (kMcuNotificationPairs[kind].acknowledgement != tag) {
      continue;
    }
    for (McuNotificationRecord& notification : s.notifications) {
      if (static_cast<std::size_t>(notification.kind) == kind && !notification.acknowledged) {
        notification.acknowledged = true;
        notification.acknowledgedAt = s.now();
        record.detail = "acknowledges notification " + std::to_string(notification.id);
        return false;
      }
    }
    record.detail = "acknowledges no open notification";
  }
  return false;
}

// One payload from a good frame. Callbacks run after the lock is released.
void handle_payload(McuPeerState& s, const std::string& payload) {
  kvt::kvt_ISP2MCU request;
  // Parsed without libprotobuf's own complaint so that the record can say what was missing.
  const bool parsed = request.ParsePartialFromString(payload);
  const bool decoded = parsed && request.IsInitialized();
  std::vector<McuRecord> emitted;
  std::vector<std::function<void(bool)>> modemCallbacks;
  bool modemOn = false;
  {
    std::lock_guard lock(s.mutex);
    McuRecord record;
    record.boardTime = s.now();
    record.direction = PeerDirection::kCameraToPeer;
    uint32_t tag = 0;
    const google::protobuf::Message* member = decoded ? oneof_member(request, &tag) : nullptr;
    if (member == nullptr) {
      if (decoded) {
        record.detail = "message without a member";
      } else {
        record.detail = "undecodable message of " + std::to_string(payload.size()) + " bytes";
        if (parsed) {
          record.detail += ", missing " + request.InitializationErrorString();
        }
      }
      s.note(std::move(record), emitted);
    } else {
      record.member = member_name(*kvt::kvt_ISP2MCU::descriptor(), tag);
      record.detail = member->ShortDebugString();
      ++s.receivedCount[record.member];
      const bool answered = mcu_answer_tag(tag) != 0;
      record.retry = answered && s.unanswered.contains(tag);
      if (act_on_request(s, tag, *member, record)) {
        modemCallbacks = s.onModemPower;
        modemOn = s.modemPowered;
      }
      const std::string name = record.member;
      s.note(std::move(record), emitted);
      if (answered) {
        s.unanswered.insert(tag);
        kvt::kvt_MCU2ISP answer;
        const McuAnswerInputs inputs = {&s.setup, s.wakeReason, s.rtcValid, s.rtc_now()};
        if (build_mcu_answer(tag, *member, inputs, answer) == 0) {
          s.queue(answer, name, false, tag);
        }
      }
    }
    s.changed.notify_all();
  }
  s.emit(emitted);
  for (const std::function<void(bool)>& modemCallback : modemCallbacks) {
    modemCallback(modemOn);
  }
}

// The deframer's verdicts taken byte by byte, so that the record keeps the order of the line.
struct LineReader {
  Deframer deframer;
  std::size_t rejectedSeen = 0;
  std::size_t straySeen = 0;
  std::size_t strayRun = 0;  // stray bytes not recorded yet

  void note_stray(McuPeerState& s) {
    if (strayRun == 0) {
      return;
    }
    note_line(s, std::to_string(strayRun) + " stray bytes");
    strayRun = 0;
  }

  static void note_line(McuPeerState& s, std::string detail) {
    std::vector<McuRecord> emitted;
    {
      std::lock_guard lock(s.mutex);
      McuRecord record;
      record.boardTime = s.now();
      record.detail = std::move(detail);
      s.note(std::move(record), emitted);
    }
    s.emit(emitted);
  }

  void take(McuPeerState& s, std::span<const uint8_t> bytes) {
    for (const uint8_t& byte : bytes) {
      deframer.feed(std::span<const uint8_t>(&byte, 1));
      if (deframer.strayBytes() > straySeen) {
        strayRun += deframer.strayBytes() - straySeen;
        straySeen = deframer.strayBytes();
      }
      if (deframer.rejected() > rejectedSeen) {
        rejectedSeen = deframer.rejected();
        note_stray(s);
        note_line(s, "frame rejected: " + deframer.lastError());
      }
      std::string payload;
      while (deframer.pop(&payload)) {
        note_stray(s);
        handle_payload(s, payload);
      }
    }
    note_stray(s);
  }
};

// Writes every message that is due, earliest first.
void write_due(int fd, McuPeerState& s) {
  for (;;) {
    McuOutgoing message;
    {
      std::lock_guard lock(s.mutex);
      const milliseconds now = s.now();
      auto next = s.outgoing.end();
      for (auto it = s.outgoing.begin(); it != s.outgoing.end(); ++it) {
        if (it->due <= now && (next == s.outgoing.end() || it->due < next->due ||
                               (it->due == next->due && it->order < next->order))) {
          next = it;
        }
      }
      if (next == s.outgoing.end()) {
        return;
      }
      message = std::move(*next);
      s.outgoing.erase(next);
    }
    const int written =
        message.withheld
            ? 0
            : write_bounded(fd, message.bytes, milliseconds(kWriteRoomTimeoutMs), s.stopRead);
    std::vector<McuRecord> emitted;
    std::function<void()> cutPower;
    {
      std::lock_guard lock(s.mutex);
      message.record.boardTime = s.now();
      if (message.withheld) {
        // Recorded with the fault that kept it back; nothing was sent.
      } else if (written != 0) {
        message.record.detail += " [not written: camera not listening]";
        message.record.sent = false;
      } else {
        if (!message.record.member.empty()) {
          ++s.sentCount[message.record.member];
        }
        if (message.answeredRequest != 0) {
          s.unanswered.erase(message.answeredRequest);
        }
        if (message.cutsPower) {
          cutPower = s.onReadyToSleep;
        }
      }
      s.note(std::move(message.record), emitted);
      s.changed.notify_all();
    }
    s.emit(emitted);
    if (cutPower) {
      cutPower();
    }
  }
}

}  // namespace

void run_mcu_line(int fd, McuPeerState& s) {
  LineReader reader;
  bool hungUp = false;
  std::array<uint8_t, 512> buffer{};
  // Tells the board's clock when the next message is due, and wakes the worker then.
  PeerAlarm due(s.clock, [&s] { s.wake(); });
  while (s.running) {
    int timeout = 0;
    {
      std::lock_guard lock(s.mutex);
      timeout = poll_timeout_ms(s, hungUp);
      const milliseconds next = next_due(s);
      if (next.count() >= 0) {
        due.aim(next);
      } else {
        due.clear();
      }
    }
    std::array<pollfd, 2> fds = {{{s.wakeRead, POLLIN, 0}, {fd, POLLIN, 0}}};
    const nfds_t count = hungUp ? 1 : 2;
    if (::poll(fds.data(), count, timeout) < 0 && errno != EINTR) {
      break;
    }
    char drain[64];
    while (::read(s.wakeRead, drain, sizeof drain) > 0) {
    }
    {
      std::lock_guard lock(s.mutex);
      if (s.lineReset) {
        reader = LineReader();
        s.lineReset = false;
      }
    }
    hungUp = false;
    ssize_t n = 0;
    if (count == 2 && (fds[1].revents & POLLIN) != 0) {
      n = read_line(fd, buffer.data(), buffer.size());
      if (n > 0) {
        reader.take(s, std::span<const uint8_t>(buffer.data(), static_cast<std::size_t>(n)));
      } else if (n < 0 && errno != EINTR && errno != EAGAIN) {
        hungUp = true;
      }
    } else if (count == 2 && (fds[1].revents & (POLLHUP | POLLERR | POLLNVAL)) != 0) {
      hungUp = true;
    }
    write_due(fd, s);
    line_taken(fd, n);
  }
}

}  // namespace sim
