// The Modem peer: its line thread (frames in, answers out) and its sync session.
#include "sim/modem/modem_peer.h"

#include <poll.h>
#include <unistd.h>

#include <algorithm>
#include <array>
#include <cerrno>
#include <utility>

#include "sim/peers/peer_framer.h"
#include "sim/peers/serial_line.h"

namespace sim {

using std::chrono::milliseconds;

namespace {

constexpr milliseconds kWriteRoomTimeout{2000};
// While nobody holds the line's slave open (the camera is off), it is looked at this often.
constexpr int kHungUpRetryMs = 10;

// The member a wrapper carries, by its schema name; empty when none is set.
std::string member_of(const google::protobuf::Message& wrapper) {
  const google::protobuf::Descriptor* descriptor = wrapper.GetDescriptor();
  const google::protobuf::OneofDescriptor* oneof = descriptor->FindOneofByName("msg");
  if (oneof == nullptr) {
    return {};
  }
  const google::protobuf::FieldDescriptor* field =
      wrapper.GetReflection()->GetOneofFieldDescriptor(wrapper, oneof);
  return field == nullptr ? std::string() : std::string(field->name());
}

std::string detail_of(const google::protobuf::Message& wrapper) {
  const google::protobuf::Descriptor* descriptor = wrapper.GetDescriptor();
  const google::protobuf::OneofDescriptor* oneof = descriptor->FindOneofByName("msg");
  const google::protobuf::FieldDescriptor* field =
      oneof == nullptr ? nullptr : wrapper.GetReflection()->GetOneofFieldDescriptor(wrapper, oneof);
  if (field == nullptr) {
    return {};
  }
  return wrapper.GetReflection()->GetMessage(wrapper, field).ShortDebugString();
}

}  // namespace

kvt::CameraConfigurationResponse default_server_configuration() {
  kvt::CameraConfigurationResponse config;
  config.set_capturemode(0);
  config.set_detectiondelay(30);
  config.set_timelapsedelay(60);
  config.set_multishot(1);
  config.set_pirsensitivity(2);
  config.set_videolength(10);
  config.mutable_synctime()->set_hour(12);
  config.mutable_synctime()->set_minute(0);
  config.set_syncfrequency(1);
  config.set_dateformat(0);
  config.set_timeformat(0);
  config.add_powersources(1);
  config.add_powersources(0);
  config.set_cellular(true);
  config.set_photoresolution(0);
  config.set_smallpicwidth(640);
  config.set_cap_on_nxt_sync(false);
  config.set_minfreespacesdcard(100);
  config.set_instantmodeactive(0);
  config.set_temperatureunit(0);
  kvt::WarningLedConfig* light = config.mutable_warningledconfig();
  light->set_active(false);
  light->mutable_timing()->set_duration(5);
  light->mutable_timing()->set_maxtimemultiplicator(1);
  light->set_pattern(0);
  light->set_closingmechanism(0);
  config.mutable_pausecameraconfig()->set_epoch(0);
  config.mutable_pausecameraconfig()->set_duration(0);
  config.set_irglowmode(0);
  config.set_wdledstatus(0);
  return config;
}

ModemPeer::ModemPeer(int ptyMasterFd, ModemSetup setup, LineMessageCallback onRecord,
                     PeerClock clock)
    : fd_(ptyMasterFd),
      clock_(std::move(clock)),
      onRecord_(std::move(onRecord)),
      setup_(std::move(setup)) {}

ModemPeer::~ModemPeer() {
  stop();
}

milliseconds ModemPeer::now() const {
  return clock_.now();
}

int ModemPeer::start() {
  std::lock_guard lock(mutex_);
  if (running_) {
    return -1;
  }
  int pipeFds[2];
  if (pipe(pipeFds) != 0) {
    return -1;
  }
  wakeRead_ = pipeFds[0];
  wakeWrite_ = pipeFds[1];
  running_ = true;
  shutDown_ = false;
  syncType_ = 0;
  uploadRequests_ = 0;
  due_.clear();
  received_.clear();
  lastReceived_.clear();
  line_ = std::thread([this] { line_loop(); });
  session_ = std::thread([this] { session(); });
  return 0;
}

void ModemPeer::stop() {
  {
    std::lock_guard lock(mutex_);
    if (!running_) {
      return;
    }
    running_ = false;
  }
  changed_.notify_all();
  const char byte = 0;
  (void)!write(wakeWrite_, &byte, 1);
  line_.join();
  session_.join();
  close(wakeRead_);
  close(wakeWrite_);
  wakeRead_ = wakeWrite_ = -1;
}

bool ModemPeer::running() const {
  std::lock_guard lock(mutex_);
  return running_;
}

void ModemPeer::set_setup(const ModemSetup& setup) {
  std::lock_guard lock(mutex_);
  setup_ = setup;
}

void ModemPeer::set_uploader(ModemUploader uploader) {
  std::lock_guard lock(mutex_);
  uploader_ = std::move(uploader);
}

void ModemPeer::add_fault(const PeerFault& fault) {
  std::lock_guard lock(mutex_);
  faults_.add(fault);
}

void ModemPeer::clear_faults() {
  std::lock_guard lock(mutex_);
  faults_.clear();
}

bool ModemPeer::fault_member_known(std::string_view member) {
  const auto known = [member](const google::protobuf::Descriptor* wrapper) {
    return wrapper->FindFieldByName(std::string(member)) != nullptr;
  };
  return known(kvt::kvt_ISP2Modem::descriptor()) || known(kvt::kvt_Modem2ISP::descriptor());
}

void ModemPeer::note(LineMessage record) {
  // Caller holds mutex_; the callback runs without it in the threads' own code paths.
  history_.push_back(record);
}

int ModemPeer::queue(const kvt::kvt_Modem2ISP& message, std::string_view answered) {
  LineMessage record;
  record.direction = PeerDirection::kPeerToCamera;
  record.member = member_of(message);
  record.detail = detail_of(message);
  std::string payload;
  // Partial: a scenario may send a message with required fields left out on purpose.
  message.SerializePartialToString(&payload);
  {
    std::lock_guard lock(mutex_);
    record.boardTime = now();
    const FaultEffect effect = faults_.take(
        answered.empty() ? std::string_view(record.member) : answered, answered.empty());
    if (!effect.description.empty()) {
      record.detail += " [" + effect.description + "]";
    }
    if (effect.withheld) {
      record.sent = false;
      note(record);
    } else {
      FrameLayout layout;
      layout.checksumError = effect.badChecksum ? 1 : 0;
      std::vector<uint8_t> bytes = garbage_bytes(effect.garbageBytes);
      const std::vector<uint8_t> framed = frame(payload, layout);
      bytes.insert(bytes.end(), framed.begin(), framed.end());
      due_.push_back({record.boardTime + effect.delay, std::move(bytes), record});
    }
  }
  if (onRecord_ && !record.sent) {
    onRecord_(record);
  }
  const char byte = 0;
  (void)!write(wakeWrite_, &byte, 1);
  return 0;
}

int ModemPeer::send(const kvt::kvt_Modem2ISP& message) {
  return queue(message, {});
}

int ModemPeer::send_raw(const std::vector<uint8_t>& bytes) {
  return write_bounded(fd_, bytes, kWriteRoomTimeout);
}

void ModemPeer::write_due() {
  std::vector<Due> ready;
  {
    std::lock_guard lock(mutex_);
    const milliseconds current = now();
    auto split = std::stable_partition(due_.begin(), due_.end(),
                                       [current](const Due& d) { return d.at > current; });
    std::move(split, due_.end(), std::back_inserter(ready));
    due_.erase(split, due_.end());
  }
  for (Due& message : ready) {
    const int written = write_bounded(fd_, message.bytes, kWriteRoomTimeout, wakeRead_);
    LineMessage record = message.record;
    {
      std::lock_guard lock(mutex_);
      record.boardTime = now();
      if (written != 0) {
        record.sent = false;
        record.detail += " [not written: camera not listening]";
      } else {
        ++sent_[record.member];
      }
      note(record);
    }
    changed_.notify_all();
    if (onRecord_) {
      onRecord_(record);
    }
  }
}

void ModemPeer::on_frame(const std::string& payload) {
  kvt::kvt_ISP2Modem request;
  LineMessage record;
  record.direction = PeerDirection::kCameraToPeer;
  const bool decoded = request.ParseFromString(payload);
  record.member = decoded ? member_of(request) : std::string();
  record.detail = decoded ? detail_of(request) : "undecodable message";
  {
    std::lock_guard lock(mutex_);
    record.boardTime = now();
    record.retry =
        received_[record.member] > 0 && record.member.find("_request") != std::string::npos;
    note(record);
  }
  if (onRecord_) {
    onRecord_(record);
  }
  if (decoded) {
    answer_request(request, record.member);
  }
  // Counted once answered, so that whoever waits for the request sees its answer's fate.
  {
    std::lock_guard lock(mutex_);
    ++received_[record.member];
    lastReceived_[record.member] = request;
  }
  changed_.notify_all();
}

void ModemPeer::answer_request(const kvt::kvt_ISP2Modem& request, const std::string& member) {
  kvt::kvt_Modem2ISP answer;
  ModemSetup setup;
  {
    std::lock_guard lock(mutex_);
    setup = setup_;
  }
  switch (request.msg_case()) {
    case kvt::kvt_ISP2Modem::kGetDeviceModelRequest:
      answer.mutable_get_device_model_response()->set_model(setup.deviceModel);
      break;
    case kvt::kvt_ISP2Modem::kSetServerSyncTypeRequest: {
      std::lock_guard lock(mutex_);
      syncType_ = request.set_server_sync_type_request().synctype();
    }
      answer.mutable_set_server_sync_type_response();
      break;
    case kvt::kvt_ISP2Modem::kGetCryptoPasswordRequest:
      answer.mutable_get_crypto_password_response()->set_password(setup.password);
      break;
    case kvt::kvt_ISP2Modem::kGetCameraConfigurationRequest:
      *answer.mutable_get_camera_configuration_response() = setup.configuration;
      break;
    case kvt::kvt_ISP2Modem::kSetServerNextActionRequest: {
      std::lock_guard lock(mutex_);
      if (request.set_server_next_action_request().nextaction() == 0) {
        shutDown_ = true;
      } else {
        ++uploadRequests_;
      }
    }
      answer.mutable_set_server_next_action_response();
      break;
    default:
      return;  // the camera's answers to the Modem's own requests
  }
  queue(answer, member);
}

void ModemPeer::line_loop() {
  Deframer deframer;
  std::array<uint8_t, 512> buffer{};
  // Tells the board's clock when the next answer is due, and wakes the loop then.
  PeerAlarm alarm(clock_, [this] {
    const char byte = 0;
    (void)!write(wakeWrite_, &byte, 1);
  });
  for (;;) {
    int timeout = -1;
    {
      std::lock_guard lock(mutex_);
      if (!running_) {
        return;
      }
      if (!due_.empty()) {
        milliseconds next = due_.front().at;
        for (const Due& message : due_) {
          next = std::min(next, message.at);
        }
        alarm.aim(next);
        timeout = static_cast<int>(std::clamp<milliseconds::rep>((next - now()).count(), 0, 60000));
      } else {
        alarm.clear();
      }
    }
    const bool hungUp = line_hung_up(fd_);
    std::array<pollfd, 2> fds = {{{wakeRead_, POLLIN, 0}, {fd_, POLLIN, 0}}};
    if (::poll(fds.data(), hungUp ? 1 : 2, hungUp ? kHungUpRetryMs : timeout) < 0 &&
        errno != EINTR) {
      return;
    }
    char drain[64];
    if ((fds[0].revents & POLLIN) != 0) {
      while (::read(wakeRead_, drain, sizeof drain) == static_cast<ssize_t>(sizeof drain)) {
      }
    }
    ssize_t count = 0;
    if (!hungUp && (fds[1].revents & POLLIN) != 0) {
      count = read_line(fd_, buffer.data(), buffer.size());
      if (count > 0) {
        deframer.feed(std::span<const uint8_t>(buffer.data(), static_cast<std::size_t>(count)));
      }
      std::string payload;
      while (deframer.pop(&payload)) {
        on_frame(payload);
      }
    }
    write_due();
    line_taken(fd_, count);
  }
}

std::vector<LineMessage> ModemPeer::history() const {
  std::lock_guard lock(mutex_);
  return history_;
}

std::vector<ModemUpload> ModemPeer::uploads() const {
  std::lock_guard lock(mutex_);
  return uploads_;
}

int ModemPeer::received(std::string_view member) const {
  std::lock_guard lock(mutex_);
  auto found = received_.find(member);
  return found == received_.end() ? 0 : found->second;
}

int ModemPeer::sent(std::string_view member) const {
  std::lock_guard lock(mutex_);
  auto found = sent_.find(member);
  return found == sent_.end() ? 0 : found->second;
}

kvt::kvt_ISP2Modem ModemPeer::last_received(std::string_view member) const {
  std::lock_guard lock(mutex_);
  auto found = lastReceived_.find(member);
  return found == lastReceived_.end() ? kvt::kvt_ISP2Modem() : found->second;
}

bool ModemPeer::wait_received(std::string_view member, int count, milliseconds limit) const {
  std::unique_lock lock(mutex_);
  return changed_.wait_for(lock, limit, [&] {
    auto found = received_.find(member);
    return found != received_.end() && found->second >= count;
  });
}

bool ModemPeer::shut_down() const {
  std::lock_guard lock(mutex_);
  return shutDown_;
}

}  // namespace sim
