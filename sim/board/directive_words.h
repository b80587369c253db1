// The words of scenario directives that every part reads the same way: times, dates and numbers.
#pragma once

#include <charconv>
#include <chrono>
#include <cstdint>
#include <string_view>

namespace sim::board {

// The latest moment the board can stand for: the MCU keeps its clock as a signed 32-bit epoch,
// so its year ends at 2037 (2038-01-01 00:00:00 UTC).
inline constexpr int64_t kLastBoardEpochMs = 2145916800000;

// "250ms", "2s", "1.5s", "10m", "1h" -> milliseconds; false for anything that is not a number
// with a unit, or for a time longer than the board's clock can hold (up to 2037).
bool parse_duration(std::string_view text, std::chrono::milliseconds* ret_duration);
// "2024-06-01 12:00:00" or "2024-06-01T12:00:00" (UTC, years 1970..2037) -> ms since 1970.
bool parse_date_time(std::string_view text, int64_t* ret_epochMs);

// A whole number, all of `text`; false otherwise (overflow included).
template <typename Number>
bool parse_number(std::string_view text, Number* ret_value) {
  Number value{};
  const auto [end, error] = std::from_chars(text.data(), text.data() + text.size(), value);
  if (text.empty() || error != std::errc() || end != text.data() + text.size()) {
    return false;
  }
  *ret_value = value;
  return true;
}

}  // namespace sim::board
