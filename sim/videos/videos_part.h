// The card's videos at the end of a scenario: for every VIDnnnn.MP4 the run copied out, a short
// ffprobe report (duration, codecs, frame count, audio sample rate) in the run folder's
// videos/, and one line each in camsim's report.
#pragma once

#include <memory>
#include <span>

#include "sim/board/board_part.h"

namespace sim::videos {

std::unique_ptr<board::BoardPart> make_videos_part();
extern const std::span<const board::DirectiveSyntax> kVideosDirectives;

}  // namespace sim::videos
