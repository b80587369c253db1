#include "sim/board/directive_words.h"

#include <time.h>

#include <algorithm>
#include <array>
#include <cmath>
#include <cstdio>
#include <string>

namespace sim::board {

bool parse_duration(std::string_view text, std::chrono::milliseconds* ret_duration) {
  struct Unit {
    std::string_view suffix;
    double ms;
  };
  constexpr std::array kUnits = {Unit{"ms", 1}, Unit{"s", 1000}, Unit{"m", 60000},
                                 Unit{"h", 3600000}};
  for (const Unit& unit : kUnits) {
    if (text.size() <= unit.suffix.size() ||
        text.substr(text.size() - unit.suffix.size()) != unit.suffix) {
      continue;
    }
    const std::string_view digits = text.substr(0, text.size() - unit.suffix.size());
    if (digits.find_first_not_of("0123456789.") != std::string_view::npos ||
        std::count(digits.begin(), digits.end(), '.') > 1 || digits == "." || digits.size() > 24) {
      return false;
    }
    const double ms = std::strtod(std::string(digits).c_str(), nullptr) * unit.ms;
    if (!std::isfinite(ms) || ms > static_cast<double>(kLastBoardEpochMs)) {
      return false;
    }
    *ret_duration = std::chrono::milliseconds(static_cast<int64_t>(std::llround(ms)));
    return true;
  }
  return false;
}

bool parse_date_time(std::string_view text, int64_t* ret_epochMs) {
  int year, month, day, hour, minute, second;
  char separator;
  char tail;
  const std::string copy(text);
  if (sscanf(copy.c_str(), "%4d-%2d-%2d%c%2d:%2d:%2d%c", &year, &month, &day, &separator, &hour,
             &minute, &second, &tail) != 7 ||
      (separator != ' ' && separator != 'T')) {
    return false;
  }
  if (year < 1970 || year > 2037 || month < 1 || month > 12 || day < 1 || day > 31 || hour > 23 ||
      minute > 59 || second > 59 || hour < 0 || minute < 0 || second < 0) {
    return false;
  }
  tm parts{};
  parts.tm_year = year - 1900;
  parts.tm_mon = month - 1;
  parts.tm_mday = day;
  parts.tm_hour = hour;
  parts.tm_min = minute;
  parts.tm_sec = second;
  const time_t seconds = timegm(&parts);
  // timegm normalises 31 February into March: such a date was not a date.
  if (parts.tm_mday != day || parts.tm_mon != month - 1) {
    return false;
  }
  *ret_epochMs = static_cast<int64_t>(seconds) * 1000;
  return true;
}

}  // namespace sim::board
