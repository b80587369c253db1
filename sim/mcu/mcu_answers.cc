#include "sim/mcu/mcu_answers.h"

#include <cstddef>

#include "sim/mcu/mcu_message_table.h"
#include "sim/mcu/proto_fields.h"

namespace sim {

using google::protobuf::Message;

namespace {

// Fills an AdcValue when the set-up has the reading and the camera asked for it.
int put_adc(Message& answer, uint32_t tag, const McuAdcValue& value, bool wanted) {
  if (!value.present || !wanted) {
    return 0;
  }
  Message* adc = mutable_sub(answer, tag);
  if (adc == nullptr) {
    return -1;
  }
  return set_number(*adc, 1, value.whole) | set_number(*adc, 2, value.decimal);
}

int fill_adc(const Message& request, const McuSetup& setup, Message& answer) {
  return put_adc(answer, 1, setup.batteryVoltage, get_number(request, 1) != 0) |
         put_adc(answer, 2, setup.externalVoltage, get_number(request, 2) != 0) |
         put_adc(answer, 3, setup.photodiodeRaw, get_number(request, 3) != 0);
}

// Every entry of the set-up goes out, even past the schema's six: a board may want to see the
// camera refuse an oversized answer.
int fill_fuel_gauge(const McuSetup& setup, Message& answer) {
  int result =
      set_number(answer, 1, setup.fuelGaugeValid) | set_number(answer, 2, setup.fuelGaugeIndex);
  for (const McuFuelGaugeEntry& entry : setup.fuelGaugeEntries) {
    Message* element = add_sub(answer, 3);
    if (element == nullptr) {
      return -1;
    }
    result |= set_number(*element, 1, entry.powerSource) |
              set_number(*element, 2, entry.batteryType) |
              set_number(*element, 3, entry.batteryPercent) | set_number(*element, 4, entry.field4);
  }
  return result;
}

uint32_t camera_state_for(const McuSetup& setup, WakeReason reason) {
  const auto index = static_cast<std::size_t>(reason);
  return index < setup.cameraStateFor.size() ? setup.cameraStateFor[index] : 0;
}

}  // namespace

int build_mcu_answer(uint32_t requestTag, const Message& request, const McuAnswerInputs& inputs,
                     Message& ret_answer) {
  const uint32_t answerTag = mcu_answer_tag(requestTag);
  if (answerTag == 0 || inputs.setup == nullptr) {
    return -1;
  }
  Message* answer = set_oneof_member(ret_answer, answerTag);
  if (answer == nullptr) {
    return -1;
  }
  const McuSetup& setup = *inputs.setup;
  switch (requestTag) {
    case kReqGetDeviceInfo:
      return set_text(*answer, 1, setup.version);
    case kReqGetAdcValues:
      return fill_adc(request, setup, *answer);
    case kReqGetCameraState:
      return set_number(*answer, 1, camera_state_for(setup, inputs.wakeReason));
    case kReqGetDayNight:
      return set_number(*answer, 1, setup.dayNightValid) | set_number(*answer, 2, setup.isNight);
    case kReqGetFuelGauge:
      return fill_fuel_gauge(setup, *answer);
    case kReqSetPirConfiguration:
      return set_number(*answer, 1, setup.pirConfigResult);
    case kReqWdmTriggered:
      return set_number(*answer, 1, setup.wdmRebooted) |
             set_number(*answer, 2, setup.wdmEpochValid) | set_number(*answer, 3, setup.wdmEpoch);
    case kReqGetRtc:
      return set_number(*answer, 1, inputs.rtcValid) | set_number(*answer, 2, inputs.rtcEpochNow);
    case kReqGetInstallDate:
      return set_number(*answer, 1, setup.installDateValid) |
             set_number(*answer, 2, setup.installEpoch);
    default:
      // Acknowledgements: the answer member carries no field.
      return 0;
  }
}

}  // namespace sim
