// The message sets of both links as nanopb records, and the names the logs give their members.
//
// A wrapper's which_msg holds the tag of the member it carries (0: none); the tag constants
// are kvt_ISP2MCU_<member>_tag and so on.
#pragma once

#include <pb.h>

#include "app/links/proto/mcu_messages.pb.h"
#include "app/links/proto/modem_messages.pb.h"

// The nanopb tag constant's name of a wrapper member, as the logs print it
// ("kvt_ISP2MCU_get_camera_state_request_tag"); "UNKNOWN" for a tag the wrapper does not have.
const char* isp2mcu_tag_name(pb_size_t tag);
const char* mcu2isp_tag_name(pb_size_t tag);
const char* isp2modem_tag_name(pb_size_t tag);
const char* modem2isp_tag_name(pb_size_t tag);
