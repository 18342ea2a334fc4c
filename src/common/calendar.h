// Calendar arithmetic for the engines' scheduled backups: parsing the daily
// backup time, finding the next run from a local date-time, naming the
// backup file. Pure functions on plain values, so the scheduler's rules are
// tested without a clock; any thread.
#pragma once

#include <chrono>
#include <cstdint>
#include <optional>
#include <string>
#include <string_view>

#include "common/status.h"

namespace quillmere {

struct TimeOfDay {
  int hour;    // 0-23
  int minute;  // 0-59
};

// Parses "HH:MM" as the "%H:%M" pattern of the date-time library the Python
// API's error texts come from: before each number ASCII whitespace is
// skipped, then one or two digits are read and range-checked at once; ':'
// must follow the hour; nothing may follow the minute. Failures: "premature
// end of input", "input contains invalid characters", "input is out of
// range", "trailing input".
Result<TimeOfDay> parse_backup_time(std::string_view text);

// A wall-clock local date-time without an offset (a naive date-time).
struct LocalDateTime {
  int year;
  unsigned month;  // 1-12
  unsigned day;    // 1-31
  int hour;        // 0-23
  int minute;      // 0-59
  int second;      // 0-59
  std::uint32_t nanosecond;
};

// The last year a backup may be scheduled in: the date-time library whose
// behaviour the scheduler keeps ends its range there.
inline constexpr int kLastSchedulableYear = 262142;

// Today at `backup_time` (seconds and fraction 0) when `now` is still before
// it; otherwise that time one calendar month on, on the same day of the month
// or on the last day of a shorter month. Nothing when that date lies past
// kLastSchedulableYear.
std::optional<LocalDateTime> next_backup_run(const LocalDateTime& now, TimeOfDay backup_time);

// `later - earlier` as if every day had 86400 seconds.
std::chrono::nanoseconds wall_clock_difference(const LocalDateTime& later,
                                               const LocalDateTime& earlier);

// "backup_YYYYMMDD_HHMMSS.redb".
std::string backup_file_name(const LocalDateTime& at);

// `folder` and `name` joined by one '/', unless `folder` is empty or already
// ends with '/'.
std::string join_backup_path(std::string_view folder, std::string_view name);

}  // namespace quillmere
