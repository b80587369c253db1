#include "sim/mcu/mcu_peer.h"

#include <fcntl.h>
#include <stdlib.h>
#include <termios.h>
#include <unistd.h>

#include <utility>

#include "sim/mcu/mcu_message_table.h"
#include "sim/mcu/mcu_peer_state.h"
#include "sim/mcu/proto_fields.h"
#include "sim/peers/peer_framer.h"
#include "sim/peers/proto/mcu_messages.pb.h"

namespace sim {

using std::chrono::milliseconds;

namespace {

std::string with_fault(std::string detail, const std::string& fault) {
  if (fault.empty()) {
    return detail;
  }
  if (!detail.empty()) {
    detail += ' ';
  }
  return detail + "[" + fault + "]";
}

}  // namespace

int32_t McuPeerState::rtc_now() const {
  const auto elapsed = std::chrono::duration_cast<std::chrono::seconds>(now() - rtcSetAt);
  return rtcEpoch + static_cast<int32_t>(elapsed.count());
}

void McuPeerState::wake() const {
  const char byte = 1;
  [[maybe_unused]] const ssize_t n = ::write(wakeWrite, &byte, 1);
}

void McuPeerState::note(McuRecord record, std::vector<McuRecord>& emitted) {
  recording.write(record);
  history.push_back(record);
  emitted.push_back(std::move(record));
}

void McuPeerState::emit(const std::vector<McuRecord>& emitted) const {
  if (!onRecord) {
    return;
  }
  for (const McuRecord& record : emitted) {
    onRecord(record);
  }
}

void McuPeerState::queue(const google::protobuf::Message& wrapper, const std::string& faultMember,
                         bool isNotification, uint32_t answeredRequest) {
  uint32_t tag = 0;
  const google::protobuf::Message* member = oneof_member(wrapper, &tag);
  McuOutgoing message;
  message.order = nextOrder++;
  message.record.direction = PeerDirection::kPeerToCamera;
  message.record.member = member_name(*kvt::kvt_MCU2ISP::descriptor(), tag);
  message.record.detail = member != nullptr ? member->ShortDebugString() : std::string();

  const FaultEffect effect = faults.take(faultMember, isNotification);
  message.record.detail = with_fault(message.record.detail, effect.description);
  message.due = now() + effect.delay;
  std::string payload;
  if (effect.withheld) {
    message.withheld = true;
    message.record.sent = false;
  } else if (!wrapper.SerializeToString(&payload)) {
    message.withheld = true;
    message.record.sent = false;
    message.record.detail = with_fault(message.record.detail, "cannot be encoded");
  } else {
    message.bytes = garbage_bytes(effect.garbageBytes);
    FrameLayout layout;
    layout.checksumError = effect.badChecksum ? 1 : 0;
    const std::vector<uint8_t> framed = frame(payload, layout);
    message.bytes.insert(message.bytes.end(), framed.begin(), framed.end());
    message.answeredRequest = effect.badChecksum ? 0 : answeredRequest;
    message.cutsPower = answeredRequest == kReqReadyToSleep;
  }
  outgoing.push_back(std::move(message));
}

McuPeer::McuPeer(int ptyMasterFd, McuSetup setup, McuRecordCallback onRecord, PeerClock clock)
    : fd_(ptyMasterFd), state_(std::make_unique<McuPeerState>()) {
  McuPeerState& s = *state_;
  s.clock = std::move(clock);
  s.onRecord = std::move(onRecord);
  s.setup = std::move(setup);
  s.rtcValid = s.setup.rtcValid;
  s.rtcEpoch = s.setup.rtcEpoch;
  s.rtcSetAt = s.now();
  int fds[2] = {-1, -1};
  if (::pipe2(fds, O_CLOEXEC | O_NONBLOCK) == 0) {
    s.wakeRead = fds[0];
    s.wakeWrite = fds[1];
  }
  if (::pipe2(fds, O_CLOEXEC | O_NONBLOCK) == 0) {
    s.stopRead = fds[0];
    s.stopWrite = fds[1];
  }
}

McuPeer::~McuPeer() {
  stop();
  for (int fd : {state_->wakeRead, state_->wakeWrite, state_->stopRead, state_->stopWrite}) {
    if (fd >= 0) {
      ::close(fd);
    }
  }
}

int McuPeer::start() {
  McuPeerState& s = *state_;
  if (s.wakeRead < 0 || s.stopRead < 0 || s.running.exchange(true)) {
    return -1;
  }
  char drain[16];
  while (::read(s.stopRead, drain, sizeof drain) > 0) {
  }
  // Termios calls on a pseudo-terminal master act on its slave: raw mode there keeps the line
  // from echoing the MCU's own frames back before the camera applies its port settings.
  termios line{};
  if (::tcgetattr(fd_, &line) == 0) {
    ::cfmakeraw(&line);
    ::tcsetattr(fd_, TCSANOW, &line);
  }
  worker_ = std::thread([this] { run(); });
  return 0;
}

void McuPeer::stop() {
  McuPeerState& s = *state_;
  if (!s.running.exchange(false)) {
    return;
  }
  const char byte = 1;
  [[maybe_unused]] const ssize_t n = ::write(s.stopWrite, &byte, 1);
  s.wake();
  worker_.join();
}

void McuPeer::run() {
  run_mcu_line(fd_, *state_);
}

void McuPeer::set_wake_reason(WakeReason reason) {
  McuPeerState& s = *state_;
  // Bytes written before the power cut still wait in the slave's input queue, where a real
  // UART would have lost them with the power: the new power-up must not read them.
  char slaveName[128];
  if (::ptsname_r(fd_, slaveName, sizeof slaveName) == 0) {
    const int slave = ::open(slaveName, O_RDWR | O_NOCTTY | O_NONBLOCK | O_CLOEXEC);
    if (slave >= 0) {
      ::tcflush(slave, TCIFLUSH);
      ::close(slave);
    }
  }
  std::lock_guard lock(s.mutex);
  s.wakeReason = reason;
  // A new power-up: what was half received, or still due for the old one, is gone.
  s.unanswered.clear();
  s.outgoing.clear();
  s.lineReset = true;
}

void McuPeer::set_setup(const McuSetup& setup) {
  McuPeerState& s = *state_;
  std::lock_guard lock(s.mutex);
  s.setup = setup;
  s.rtcValid = setup.rtcValid;
  s.rtcEpoch = setup.rtcEpoch;
  s.rtcSetAt = s.now();
}

McuSetup McuPeer::setup() const {
  std::lock_guard lock(state_->mutex);
  return state_->setup;
}

void McuPeer::set_rtc(bool valid, int32_t epoch) {
  McuPeerState& s = *state_;
  std::lock_guard lock(s.mutex);
  s.rtcValid = valid;
  s.rtcEpoch = epoch;
  s.rtcSetAt = s.now();
}

bool McuPeer::rtc_valid() const {
  std::lock_guard lock(state_->mutex);
  return state_->rtcValid;
}

int32_t McuPeer::rtc_epoch() const {
  std::lock_guard lock(state_->mutex);
  return state_->rtc_now();
}

int McuPeer::notify_pir() {
  return notify(McuNotification::kPir);
}
int McuPeer::notify_timelapse() {
  return notify(McuNotification::kTimelapse);
}
int McuPeer::notify_test_button() {
  return notify(McuNotification::kTestButton);
}

int McuPeer::notify(McuNotification kind) {
  McuPeerState& s = *state_;
  if (!s.running) {
    return -1;
  }
  const uint32_t tag = kMcuNotificationPairs[static_cast<std::size_t>(kind)].notification;
  kvt::kvt_MCU2ISP wrapper;
  set_oneof_member(wrapper, tag);
  McuNotificationRecord notification;
  notification.kind = kind;
  {
    std::lock_guard lock(s.mutex);
    notification.id = static_cast<int>(s.notifications.size()) + 1;
    notification.sentAt = s.now();
    s.notifications.push_back(notification);
    s.queue(wrapper, member_name(*kvt::kvt_MCU2ISP::descriptor(), tag), true, 0);
  }
  s.wake();
  return notification.id;
}

bool McuPeer::acknowledged(int notificationId) const {
  std::lock_guard lock(state_->mutex);
  for (const McuNotificationRecord& notification : state_->notifications) {
    if (notification.id == notificationId) {
      return notification.acknowledged;
    }
  }
  return false;
}

std::vector<McuNotificationRecord> McuPeer::notifications() const {
  std::lock_guard lock(state_->mutex);
  return state_->notifications;
}

void McuPeer::set_on_ready_to_sleep(std::function<void()> callback) {
  std::lock_guard lock(state_->mutex);
  state_->onReadyToSleep = std::move(callback);
}

void McuPeer::add_on_modem_power(std::function<void(bool on)> callback) {
  std::lock_guard lock(state_->mutex);
  state_->onModemPower.push_back(std::move(callback));
}

McuStatusLed McuPeer::status_led() const {
  std::lock_guard lock(state_->mutex);
  return state_->led;
}

bool McuPeer::modem_powered() const {
  std::lock_guard lock(state_->mutex);
  return state_->modemPowered;
}

int McuPeer::watchdog_notifications() const {
  std::lock_guard lock(state_->mutex);
  return state_->watchdogNotifications;
}

int McuPeer::wdm_done_requests() const {
  std::lock_guard lock(state_->mutex);
  return state_->wdmDoneRequests;
}

bool McuPeer::fault_member_known(std::string_view member) {
  const std::string name(member);
  // A request the MCU answers, or a notification it sends of its own.
  const google::protobuf::FieldDescriptor* request =
      kvt::kvt_ISP2MCU::descriptor()->FindFieldByName(name);
  if (request != nullptr && mcu_answer_tag(static_cast<uint32_t>(request->number())) != 0) {
    return true;
  }
  const google::protobuf::FieldDescriptor* own =
      kvt::kvt_MCU2ISP::descriptor()->FindFieldByName(name);
  for (const McuNotificationPair& pair : kMcuNotificationPairs) {
    if (own != nullptr && static_cast<uint32_t>(own->number()) == pair.notification) {
      return true;
    }
  }
  return false;
}

int McuPeer::record_line_to(const std::string& path) {
  return state_->recording.open(path, "ttyS1", "mcu");
}

void McuPeer::add_fault(const McuFault& fault) {
  std::lock_guard lock(state_->mutex);
  state_->faults.add(fault);
}

void McuPeer::clear_faults() {
  std::lock_guard lock(state_->mutex);
  state_->faults.clear();
}

int McuPeer::send_raw(const std::vector<uint8_t>& bytes) {
  McuPeerState& s = *state_;
  if (!s.running) {
    return -1;
  }
  {
    std::lock_guard lock(s.mutex);
    McuOutgoing message;
    message.due = s.now();
    message.order = s.nextOrder++;
    message.bytes = bytes;
    message.record.direction = PeerDirection::kPeerToCamera;
    message.record.detail = "raw bytes: " + std::to_string(bytes.size());
    s.outgoing.push_back(std::move(message));
  }
  s.wake();
  return 0;
}

std::vector<McuRecord> McuPeer::history() const {
  std::lock_guard lock(state_->mutex);
  return state_->history;
}

int McuPeer::received(std::string_view member) const {
  std::lock_guard lock(state_->mutex);
  const auto it = state_->receivedCount.find(member);
  return it == state_->receivedCount.end() ? 0 : it->second;
}

int McuPeer::sent(std::string_view member) const {
  std::lock_guard lock(state_->mutex);
  const auto it = state_->sentCount.find(member);
  return it == state_->sentCount.end() ? 0 : it->second;
}

bool McuPeer::wait_received(std::string_view member, int count, milliseconds timeout) const {
  McuPeerState& s = *state_;
  std::unique_lock lock(s.mutex);
  return s.changed.wait_for(lock, timeout, [&] {
    const auto it = s.receivedCount.find(member);
    return it != s.receivedCount.end() && it->second >= count;
  });
}

bool McuPeer::wait_sent(std::string_view member, int count, milliseconds timeout) const {
  McuPeerState& s = *state_;
  std::unique_lock lock(s.mutex);
  return s.changed.wait_for(lock, timeout, [&] {
    const auto it = s.sentCount.find(member);
    return it != s.sentCount.end() && it->second >= count;
  });
}

}  // namespace sim
