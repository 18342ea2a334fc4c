// The local clock: the current local date-time for the backup scheduler and
// RFC 3339 time stamps for the audit log. Local means the zone TZ names.
// local_now() reads the zone at every call (any thread). A LocalTimestamps
// belongs to one thread and reads the zone at most once a second of the
// clock readings it is given, so that a record costs no system call beyond
// the clock; a change of TZ or of the zone file shows within a second. No
// thread may change TZ while another reads the zone (setenv is not safe then).
// A child forked at any moment can read the zone: no thread of the engine is
// inside glibc's zone functions at a fork.
#pragma once

#include <time.h>

#include <cstdint>
#include <optional>
#include <string>
#include <string_view>

#include "common/calendar.h"

namespace quillmere {

LocalDateTime local_now();

// RFC 3339 texts of clock readings: "YYYY-MM-DDTHH:MM:SS", a fraction only
// when the nanoseconds are not 0 (3, 6 or 9 digits: the fewest of those that
// hold them exactly), then the local offset as "+HH:MM" or "-HH:MM" (never
// "Z"). The zone is read, and the date, time and offset are formatted, when
// a reading falls in another second than the one before; readings within
// that second only add their fraction.
class LocalTimestamps {
 public:
  // The text of `unix_seconds` and `nanoseconds` (below 1e9), valid until
  // the next call.
  std::string_view format(std::int64_t unix_seconds, std::uint32_t nanoseconds);

  // format() of one reading of the system clock.
  std::string_view now();

 private:
  std::optional<std::int64_t> second_;  // the second whose texts are kept
  std::string date_time_;               // "YYYY-MM-DDTHH:MM:SS" of second_
  std::string offset_;                  // "+HH:MM" of second_
  std::string text_;                    // the last text given
};

}  // namespace quillmere
