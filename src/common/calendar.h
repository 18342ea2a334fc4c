// Calendar arithmetic for the engines' scheduled backups: parsing the daily
// backup time. Pure functions on plain values; any thread.
#pragma once

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

}  // namespace quillmere
