// The Modem's sync session: what a modem does once the camera has fetched the password.
#include <algorithm>

#include "sim/modem/modem_peer.h"

namespace sim {

using std::chrono::milliseconds;

namespace {

constexpr milliseconds kAnswerPatience{10000};
// Handing the card over takes the camera a while (it checks and remounts the card first).
constexpr milliseconds kCardPatience{120000};
constexpr milliseconds kFormatPatience{600000};
constexpr milliseconds kBusyCardPause{2000};
constexpr milliseconds kFirstPause{200};
constexpr milliseconds kRebootSilence{3000};
constexpr milliseconds kSessionPatience{24 * 3600 * 1000};
constexpr int kCardTries = 5;
constexpr uint32_t kSearching = 0;
constexpr uint32_t kInProgress = 1;
constexpr uint32_t kSuccessful = 2;
constexpr uint32_t kError = 3;
constexpr uint32_t kRebootReasonUptime = 2;

}  // namespace

ModemSetup ModemPeer::current_setup() const {
  std::lock_guard lock(mutex_);
  return setup_;
}

bool ModemPeer::powered() const {
  std::lock_guard lock(mutex_);
  return running_;
}

bool ModemPeer::pause(milliseconds span) {
  const milliseconds until = now() + span;
  std::unique_lock lock(mutex_);
  clock_.wait_until(lock, changed_, until, [&] { return !running_; });
  return running_;
}

bool ModemPeer::await(std::string_view member, int count, milliseconds limit) {
  const milliseconds until = now() + limit;
  std::unique_lock lock(mutex_);
  const auto arrived = [&] {
    auto found = received_.find(member);
    return found != received_.end() && found->second >= count;
  };
  clock_.wait_until(lock, changed_, until, [&] { return !running_ || arrived(); });
  return arrived();
}

bool ModemPeer::exchange(const kvt::kvt_Modem2ISP& message, std::string_view answer,
                         milliseconds limit) {
  const int before = received(answer);
  send(message);
  return await(answer, before + 1, limit);
}

bool ModemPeer::report_status(uint32_t status, uint32_t value) {
  kvt::kvt_Modem2ISP message;
  message.mutable_send_server_sync_status_request()->set_syncstatus(status);
  message.mutable_send_server_sync_status_request()->set_value(value);
  return exchange(message, "send_server_sync_status_response", kAnswerPatience);
}

bool ModemPeer::report_reboot(const ModemRebootReport& report) {
  kvt::kvt_Modem2ISP message;
  kvt::ModemRebootDoneRequest* reboot = message.mutable_modem_reboot_done_request();
  reboot->set_rebooted(report.rebooted);
  reboot->set_epoch(report.epoch);
  reboot->set_reason(report.reason);
  return exchange(message, "modem_reboot_done_response", kAnswerPatience);
}

bool ModemPeer::card_round(const ModemSetup& setup) {
  uint32_t result = 1;
  for (int attempt = 0; attempt < kCardTries && result == 1; ++attempt) {
    if (attempt > 0 && !pause(kBusyCardPause)) {
      return false;
    }
    kvt::kvt_Modem2ISP ask;
    ask.mutable_get_camera_sd_card_control_request();
    if (!exchange(ask, "get_camera_sd_card_control_response", kCardPatience)) {
      return false;
    }
    result = last_received("get_camera_sd_card_control_response")
                 .get_camera_sd_card_control_response()
                 .result();
  }
  if (result != 0 && result != 3) {
    return false;  // busy to the end, an error or no card: nothing to upload
  }
  ModemUpload upload;
  upload.boardTime = now();
  ModemUploader uploader;
  {
    std::lock_guard lock(mutex_);
    uploader = uploader_;
  }
  if (setup.sync.uploadFails) {
    upload.error = "upload broken off";
  } else if (uploader) {
    uploader(result == 3 ? GrantedCard::kOnlyPartition : GrantedCard::kPrimaryOfTwo, &upload);
  } else {
    upload.error = "no card reader on this Modem";
  }
  {
    std::lock_guard lock(mutex_);
    uploads_.push_back(upload);
  }
  kvt::kvt_Modem2ISP give_back;
  give_back.mutable_return_camera_sd_card_control_request();
  exchange(give_back, "return_camera_sd_card_control_response", kCardPatience);
  return upload.error.empty();
}

bool ModemPeer::sync_once(const ModemSetup& setup, bool firstRound) {
  const ModemSyncScript& sync = setup.sync;
  if (sync.searchingReports < 0) {
    // No signal, ever: one report, then the Modem keeps searching in silence.
    report_status(kSearching, 0);
    while (pause(kSessionPatience)) {
    }
    return false;
  }
  for (int i = 0; i < sync.searchingReports; ++i) {
    report_status(kSearching, 0);
    if (!pause(sync.searchInterval)) {
      return false;
    }
  }
  report_status(kInProgress, sync.signalStrength);
  if (firstRound && sync.rebootMidSync) {
    if (!pause(kRebootSilence)) {
      return false;
    }
    report_reboot({true, static_cast<uint32_t>(now().count() / 1000), kRebootReasonUptime});
    return sync_once(setup, false);
  }
  if (setup.instantQuery) {
    kvt::kvt_Modem2ISP query;
    query.mutable_set_server_instant_query_request()->set_querytype(*setup.instantQuery);
    exchange(query, "set_server_instant_query_response", kAnswerPatience);
  }
  uint32_t syncType;
  {
    std::lock_guard lock(mutex_);
    syncType = syncType_;
  }
  bool uploaded = true;
  if (sync.askCard && syncType != 0) {
    uploaded = card_round(setup);
  }
  uint32_t final_status = sync.error || !uploaded ? kError : kSuccessful;
  if (sync.finalStatusOverride != 0) {
    final_status = sync.finalStatusOverride;
  }
  report_status(final_status, 0);
  return powered();
}

void ModemPeer::session() {
  if (!await("get_crypto_password_request", 1, kSessionPatience) || !pause(kFirstPause)) {
    return;
  }
  const ModemSetup setup = current_setup();
  if (setup.rebootReport) {
    report_reboot(*setup.rebootReport);
  }
  uint32_t syncType;
  {
    std::lock_guard lock(mutex_);
    syncType = syncType_;
  }
  if (setup.formatRequest && syncType == 0) {
    kvt::kvt_Modem2ISP format;
    kvt::SdCardFormatRequest* request = format.mutable_get_camera_sd_card_format_request();
    request->set_formatrequest(setup.formatRequest->value);
    request->set_validation_active(setup.formatRequest->validation);
    request->set_sdformat_active(setup.formatRequest->format);
    exchange(format, "get_camera_sd_card_format_response", kFormatPatience);
  }
  if (setup.sendClock) {
    kvt::kvt_Modem2ISP clock;
    clock.mutable_set_rtc_date_time_request()->set_isvalid(setup.clockValid);
    clock.mutable_set_rtc_date_time_request()->set_epoch(setup.clockEpoch);
    exchange(clock, "set_rtc_date_time_response", kAnswerPatience);
  }
  const std::pair<bool, void (*)(kvt::kvt_Modem2ISP&)> questions[] = {
      {setup.askVersion, [](kvt::kvt_Modem2ISP& m) { m.mutable_get_device_version_request(); }},
      {setup.askStatus, [](kvt::kvt_Modem2ISP& m) { m.mutable_get_camera_status_request(); }},
      {setup.askFuelGauge,
       [](kvt::kvt_Modem2ISP& m) { m.mutable_get_fuel_gauge_values_request(); }},
  };
  const char* const answers[] = {"get_device_version_response", "get_camera_status_response",
                                 "get_fuel_gauge_values_response"};
  for (std::size_t i = 0; i < std::size(questions); ++i) {
    if (questions[i].first) {
      kvt::kvt_Modem2ISP question;
      questions[i].second(question);
      exchange(question, answers[i], kAnswerPatience);
    }
  }
  if (!sync_once(setup, true)) {
    return;
  }
  // After the final status the camera fetches the configuration and ends with SHUTDOWN, or
  // asks for another upload first.
  int uploadsServed = 0;
  for (;;) {
    {
      std::unique_lock lock(mutex_);
      changed_.wait(lock,
                    [&] { return !running_ || shutDown_ || uploadRequests_ > uploadsServed; });
      if (!running_ || shutDown_) {
        return;
      }
      uploadsServed = uploadRequests_;
    }
    const bool uploaded = card_round(setup);
    report_status(uploaded && !setup.sync.error ? kSuccessful : kError, 0);
  }
}

}  // namespace sim
