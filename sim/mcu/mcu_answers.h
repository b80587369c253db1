// The MCU's answer to each request member, filled from the board's set-up.
#pragma once

#include <cstdint>

#include <google/protobuf/message.h>

#include "sim/mcu/mcu_peer.h"

namespace sim {

// What an answer depends on besides the request.
struct McuAnswerInputs {
  const McuSetup* setup = nullptr;
  WakeReason wakeReason = WakeReason::kFirstBoot;
  bool rtcValid = false;
  int32_t rtcEpochNow = 0;  // the RTC as it reads at the moment of the answer
};

// Sets in `ret_answer` (a kvt_MCU2ISP) the answer member to kvt_ISP2MCU member `requestTag`
// whose content is `request`. Returns 0, or -1 when the MCU does not answer that member or the
// schema lacks a field of the answer.
int build_mcu_answer(uint32_t requestTag, const google::protobuf::Message& request,
                     const McuAnswerInputs& inputs, google::protobuf::Message& ret_answer);

}  // namespace sim
