#include "common/calendar.h"

#include <algorithm>
#include <cstdio>
#include <string>
#include <tuple>

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

bool is_leap_year(std::int64_t year) {
  return year % 4 == 0 && (year % 100 != 0 || year % 400 == 0);
}

unsigned last_day_of_month(std::int64_t year, unsigned month) {
  constexpr unsigned kDays[] = {31, 28, 31, 30, 31, 30, 31, 31, 30, 31, 30, 31};
  return month == 2 && is_leap_year(year) ? 29 : kDays[month - 1];
}

// Days since 1970-01-01 in the proleptic Gregorian calendar (H. Hinnant's
// days_from_civil). std::chrono::year stops at 32767, short of the years the
// scheduler must still handle, hence plain 64-bit arithmetic.
std::int64_t days_from_civil(std::int64_t year, unsigned month, unsigned day) {
  year -= month <= 2 ? 1 : 0;
  const std::int64_t era = (year >= 0 ? year : year - 399) / 400;
  const auto year_of_era = static_cast<unsigned>(year - era * 400);
  const unsigned day_of_year = (153 * (month > 2 ? month - 3 : month + 9) + 2) / 5 + day - 1;
  const unsigned day_of_era =
      year_of_era * 365 + year_of_era / 4 - year_of_era / 100 + day_of_year;
  return era * 146097 + static_cast<std::int64_t>(day_of_era) - 719468;
}

std::int64_t seconds_of_day(const LocalDateTime& t) {
  return std::int64_t{t.hour} * 3600 + t.minute * 60 + t.second;
}

auto ordering_key(const LocalDateTime& t) {
  return std::make_tuple(t.year, t.month, t.day, seconds_of_day(t), t.nanosecond);
}

}  // namespace

std::optional<LocalDateTime> next_backup_run(const LocalDateTime& now, TimeOfDay backup_time) {
  LocalDateTime target{now.year, now.month, now.day, backup_time.hour, backup_time.minute, 0, 0};
  if (ordering_key(now) < ordering_key(target)) return target;
  std::int64_t year = target.year;
  unsigned month = target.month + 1;
  if (month > 12) {
    month = 1;
    ++year;
  }
  if (year > kLastSchedulableYear) return std::nullopt;
  target.year = static_cast<int>(year);
  target.month = month;
  target.day = std::min(target.day, last_day_of_month(year, month));
  return target;
}

std::chrono::nanoseconds wall_clock_difference(const LocalDateTime& later,
                                               const LocalDateTime& earlier) {
  const std::int64_t days = days_from_civil(later.year, later.month, later.day) -
                            days_from_civil(earlier.year, earlier.month, earlier.day);
  const std::int64_t seconds = days * 86400 + seconds_of_day(later) - seconds_of_day(earlier);
  return std::chrono::seconds(seconds) +
         std::chrono::nanoseconds(std::int64_t{later.nanosecond} - earlier.nanosecond);
}

std::string backup_file_name(const LocalDateTime& at) {
  char text[64];
  std::snprintf(text, sizeof text, "backup_%04d%02u%02u_%02d%02d%02d.redb", at.year, at.month,
                at.day, at.hour, at.minute, at.second);
  return text;
}

std::string join_backup_path(std::string_view folder, std::string_view name) {
  std::string path(folder);
  if (!path.empty() && path.back() != '/') path.push_back('/');
  path.append(name);
  return path;
}

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
