// Controls of the host encoder for the board and for tests, and what its modules share. The
// application never calls these.
#pragma once

#include <stddef.h>

#include "platform/imp/imp_common.h"

namespace imp_host {

// Bytes of each encoder channel's circular stream buffer, for channels created from now on.
void set_stream_buffer_size(size_t bytes);
// Destroys every encoder channel and group and forgets every binding.
void reset_encoder();

// The cell bound as the source of `sink`; false when nothing is bound to it.
bool bound_source(const IMPCell& sink, IMPCell* source);
void reset_bindings();

}  // namespace imp_host
