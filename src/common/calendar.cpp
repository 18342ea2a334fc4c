#include "common/calendar.h"

#include <string>

namespace quillmere {
namespace {

constexpr std::string_view kTooShortText = "premature end of input";
constexpr std::string_view kInvalidText = "input contains invalid characters";
constexpr std::string_view kOutOfRangeText = "input is out of range";
constexpr std::string_view kTooLongText = "trailing input";

Status failure(std::string_view text) { return Status::Error(std::string(text)); }

bool is_ascii_space(char c) {
  return c == ' ' || c == '\t' || c == '\n' || c == '\v' || c == '\f' || c == '\r';
}
bool is_digit(char c) { return c >= '0' && c <= '9'; }

// Reads one field of 1-2 digits in [0, max] from the front of `text`,
// consuming it. A third digit is left for whatever comes next.
Result<int> read_field(std::string_view& text, int max) {
  while (!text.empty() && is_ascii_space(text.front())) text.remove_prefix(1);
  if (text.empty()) return failure(kTooShortText);
  if (!is_digit(text.front())) return failure(kInvalidText);
  int value = 0;
  for (int digits = 0; digits < 2 && !text.empty() && is_digit(text.front()); ++digits) {
    value = value * 10 + (text.front() - '0');
    text.remove_prefix(1);
  }
  if (value > max) return failure(kOutOfRangeText);
  return value;
}

}  // namespace

Result<TimeOfDay> parse_backup_time(std::string_view text) {
  Result<int> hour = read_field(text, 23);
  if (!hour.ok()) return hour.status();
  if (text.empty()) return failure(kTooShortText);
  if (text.front() != ':') return failure(kInvalidText);
  text.remove_prefix(1);
  Result<int> minute = read_field(text, 59);
  if (!minute.ok()) return minute.status();
  if (!text.empty()) return failure(kTooLongText);
  return TimeOfDay{hour.value(), minute.value()};
}

}  // namespace quillmere
