// Pieces of the season's report page (written by write_season_report, season_run.h).
#pragma once

#include <string>

namespace sim::season {

// Whether an SVG would run a script once inline in the page: a script element or an event
// attribute (onload=...), in any letter case. The page runs none, so such a plot is refused.
bool svg_carries_script(const std::string& svg);

}  // namespace sim::season
